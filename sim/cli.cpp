#include "sim/cli.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "sim/camsim.h"
#include "sim/faults.h"

namespace camsim::cli {

namespace {

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::string MainUsageText(const Program& program) {
  return std::string("usage: camsim COMMAND [ARGS]\n\n") + program.MainUsage +
         "`camsim COMMAND --help` describes a command. Exit status: 0 ok, 1 error, 2 usage.\n";
}

int ListSamples() {
  for (const auto& sample : Samples()) {
    std::printf("%-11s %-9s class %d  %s\n", sample.Name.c_str(), KindName(sample.kind),
                ClassNumber(sample.kind), sample.Summary.c_str());
  }
  return kExitOk;
}

// dump --image FILE --sample NAME: the image as a camera of the sample's kind holds it.
int DumpImage(const Program& program, const Arguments& args) {
  auto image = args.options.find("image");
  auto sampleName = args.options.find("sample");
  if (image == args.options.end() || sampleName == args.options.end() || !args.words.empty()) {
    return program.Usage("dump", "--image FILE goes with --sample NAME and no ID");
  }
  const Sample* sample = FindSample(sampleName->second);
  if (!sample) {
    return program.Usage("dump", "no sample camera " + sampleName->second);
  }
  std::vector<uint8_t> bytes;
  std::string error;
  if (!LoadImageFile(image->second, EepromSize(sample->kind), &bytes, &error)) {
    std::fprintf(stderr, "camsim: %s\n", error.c_str());
    return kExitError;
  }
  std::printf("image: %s (as %s, %s)\n", image->second.c_str(), sample->Name.c_str(),
              KindTitle(sample->kind));
  std::fputs(DescribeImage(sample->kind, bytes).c_str(), stdout);
  return kExitOk;
}

}  // namespace

bool Parse(const std::vector<std::string>& input, const OptionSet& options, Arguments* args,
           std::string* problem) {
  bool optionsDone = false;
  for (size_t i = 0; i < input.size(); ++i) {
    const std::string& word = input[i];
    if (optionsDone || word.size() < 2 || word.compare(0, 2, "--") != 0) {
      args->words.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsDone = true;
      continue;
    }
    if (word == "--help") {
      args->help = true;
      continue;
    }
    std::string name = word.substr(2), value;
    const auto equals = name.find('=');
    const bool inlineValue = equals != std::string::npos;
    if (inlineValue) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    if (Contains(options.flags, name) && !inlineValue) {
      args->options[name].assign(1, '1');
    } else if (Contains(options.valued, name)) {
      if (!inlineValue) {
        if (i + 1 >= input.size()) {
          *problem = "--" + name + " needs a value";
          return false;
        }
        value = input[++i];
      }
      if (value.empty()) {
        *problem = "--" + name + " needs a value";
        return false;
      }
      args->options[name] = value;
    } else {
      *problem = "unknown option " + word;
      return false;
    }
  }
  return true;
}

bool Readable(const std::string& word) {
  if (word.empty()) {
    return false;
  }
  for (unsigned char c : word) {
    if (c <= 0x20 || c == 0x7f) {
      return false;
    }
  }
  return true;
}

int Program::Usage(const std::string& command, const std::string& problem) const {
  std::fprintf(stderr, "camsim: %s\n", problem.c_str());
  auto it = CommandUsage.find(command);
  std::fputs(it != CommandUsage.end() ? it->second.c_str() : MainUsageText(*this).c_str(), stderr);
  return kExitUsage;
}

int Run(const Program& program, int argc, char** argv) {
  if (argc < 2) {
    std::fputs(MainUsageText(program).c_str(), stderr);
    return kExitUsage;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(MainUsageText(program).c_str(), stdout);
    return kExitOk;
  }
  if (!program.CommandUsage.count(command)) {
    return program.Usage("", "unknown command " + command);
  }
  OptionSet options;
  options.valued = program.CommonOptions;
  if (command == "dump") {
    options.valued.insert(options.valued.end(), {"image", "sample"});
  }
  if (auto own = program.CommandOptions.find(command); own != program.CommandOptions.end()) {
    options.valued.insert(options.valued.end(), own->second.valued.begin(),
                          own->second.valued.end());
    options.flags = own->second.flags;
  }
  Arguments args;
  std::string problem;
  if (!Parse(std::vector<std::string>(argv + 2, argv + argc), options, &args, &problem)) {
    return program.Usage(command, problem);
  }
  if (args.help) {
    std::fputs(program.CommandUsage.at(command).c_str(), stdout);
    return kExitOk;
  }
  for (const auto& word : args.words) {
    if (!Readable(word)) {
      return program.Usage(command, "arguments hold no blanks or control characters");
    }
  }
  if (auto own = program.OwnCommands.find(command); own != program.OwnCommands.end()) {
    return own->second(program, command, args);
  }
  const size_t count = args.words.size();
  if (command == "samples") {
    return count != 0 ? program.Usage(command, "samples takes no arguments") : ListSamples();
  }
  if (command == "dump" && (args.options.count("image") || args.options.count("sample"))) {
    return DumpImage(program, args);
  }
  if ((command == "status" || command == "stop") && count != 0) {
    return program.Usage(command, command + " takes no arguments");
  }
  if ((command == "plug" || command == "unplug" || command == "dump" || command == "log") &&
      count > 1) {
    return program.Usage(command, "too many arguments");
  }
  if (command == "fault") {
    auto fits = [&](size_t at) {
      const FaultForm* form = at < count ? FindFaultForm(args.words[at]) : nullptr;
      return form && count - at - 1 == form->Count;
    };
    if (!fits(0) && !fits(1)) {
      return program.Usage(command, count == 0 ? "name a fault" : "no such fault form");
    }
  }
  return program.Send(program, command, args);
}

std::string CommandLine(const std::string& command, const std::vector<std::string>& words) {
  std::string line = command;
  for (const auto& word : words) {
    line += ' ';
    line += word;
  }
  return line;
}

void Answer::Line(const std::string& text) {
  if (text == "ok") {
    status_ = kExitOk;
  } else if (text.compare(0, 7, "error: ") == 0) {
    std::fprintf(stderr, "camsim: %s\n", text.c_str() + 7);
    status_ = kExitError;
  } else {
    std::printf("%s\n", text.c_str());
  }
}

int Answer::Finish(const char* peer) const {
  std::fflush(stdout);
  if (status_ < 0) {
    std::fprintf(stderr, "camsim: the %s closed the connection without an answer\n", peer);
    return kExitError;
  }
  return status_;
}

}  // namespace camsim::cli
