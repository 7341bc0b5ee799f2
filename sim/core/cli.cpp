#include "sim/core/cli.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "sim/core/camera.h"
#include "sim/core/faults.h"

namespace camsim::cli {

namespace {

// The client commands both ports have. '@' in a text is the peer; no text:
// the fault table's help.
struct SharedCommand {
  const char* Name;
  bool Client;  // takes the port's client option
  const char* Arguments;
  const char* Text;
};

constexpr SharedCommand kSharedCommands[] = {
    {"plug", true, "[ID]", "Plugs a camera in (device arrival)."},
    {"unplug", true, "[ID]", "Unplugs a camera (device removal); its connections are closed."},
    {"status", true, "",
     "One line per camera: sample, kind, class, instance, state, write permission,\n"
     "transfers, faults."},
    {"dump", true, "[ID]\n       camsim dump --image FILE --sample NAME",
     "Shows the identity header and descriptor block in hex with the camera ID,\n"
     "type name, filter positions and wheel type; from the @ also the interface,\n"
     "the write permission and whether the camera is plugged in. The second form\n"
     "decodes an image file as a camera of the sample's kind would hold it."},
    {"fault", true, "[ID] FAULT ARGS", nullptr},
    {"log", true, "[N]", "The @'s last N (default 20) log lines."},
    {"samples", false, "", "Lists the sample cameras."},
    {"stop", true, "", "Unplugs every camera and ends the @; returns once it is done."},
};

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The text with each '@' the peer.
std::string WithPeer(std::string text, const char* peer) {
  for (size_t at; (at = text.find('@')) != std::string::npos;) {
    text.replace(at, 1, peer);
  }
  return text;
}

std::string MainUsageText(const Program& program) {
  std::string shared =
      "  plug [ID]                        plug a camera in\n"
      "  unplug [ID]                      unplug it\n"
      "  status                           one line per camera\n"
      "  dump [ID]                        show a camera's header and block\n"
      "  dump --image FILE --sample NAME  decode an image file without a @\n"
      "  fault [ID] FAULT ARGS            inject a fault (camsim fault --help)\n"
      "  log [N]                          the @'s last N frame log lines\n"
      "  samples                          list the sample cameras\n"
      "  stop                             unplug every camera and end the @\n";
  return std::string("usage: camsim COMMAND [ARGS]\n\n") + program.Intro + "\n" +
         program.OwnSummary + WithPeer(shared, program.Peer) + "\n" + program.Outro +
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
          return Fail(problem, "--" + name + " needs a value");
        }
        value = input[++i];
      }
      if (value.empty()) {
        return Fail(problem, "--" + name + " needs a value");
      }
      args->options[name] = value;
    } else {
      return Fail(problem, "unknown option " + word);
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
  const std::string usage = UsageOf(command);
  std::fputs(usage.empty() ? MainUsageText(*this).c_str() : usage.c_str(), stderr);
  return kExitUsage;
}

std::string Program::UsageOf(const std::string& command) const {
  if (auto own = CommandUsage.find(command); own != CommandUsage.end()) {
    return own->second;
  }
  for (const SharedCommand& shared : kSharedCommands) {
    if (command != shared.Name) {
      continue;
    }
    std::string text = "usage: camsim " + command;
    for (const char* part : {shared.Client ? ClientOption : "", shared.Arguments}) {
      text += *part ? std::string(" ") + part : "";
    }
    text += "\n\n";
    if (!shared.Text) {
      return text + FaultHelp("  ");
    }
    return text + WithPeer(shared.Text, Peer) + "\n";
  }
  return {};
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
  if (program.UsageOf(command).empty()) {
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
    std::fputs(program.UsageOf(command).c_str(), stdout);
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

void Answer::Feed(std::string_view bytes) {
  pending_.append(bytes);
  for (size_t newline; !Ended() && (newline = pending_.find('\n')) != std::string::npos;) {
    Line(pending_.substr(0, newline));
    pending_.erase(0, newline + 1);
  }
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
