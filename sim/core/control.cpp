// The control protocol: one command per line, answered by any number of lines
// and then "ok" or "error: <why>". Lines come from a socket anyone on the
// machine's account can write to, so nothing in them is trusted.
#include "sim/core/control.h"

#include <algorithm>

namespace camsim {
namespace {

constexpr size_t kDefaultLogLines = 20;

using Words = std::vector<std::string>;

std::string HelpText() {
  return "commands:\n"
         "  status                       one line per camera\n"
         "  plug [ID] | unplug [ID]\n"
         "  dump [ID]                    header and block in hex, decoded\n" +
         FaultHelp("  fault [ID] ") +
         "  image ID|* save|load PATH    write the image to PATH, or replace it from PATH\n"
         "  log [N]                      the last N frame log lines\n"
         "  samples | help | stop\n";
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

// Where the word after position at ends: past its first blank-delimited word.
// npos when no word follows.
size_t WordEnd(std::string_view line, size_t at) {
  while (at < line.size() && IsBlank(line[at])) {
    ++at;
  }
  if (at >= line.size()) {
    return std::string_view::npos;
  }
  while (at < line.size() && !IsBlank(line[at])) {
    ++at;
  }
  return at;
}

Words SplitWords(std::string_view line) {
  Words words;
  for (size_t at = 0, end; (end = WordEnd(line, at)) != std::string_view::npos; at = end) {
    const size_t start = line.find_first_not_of(" \t\r", at);
    words.emplace_back(line.substr(start, end - start));
  }
  return words;
}

// Error texts quote what the client sent; keep terminal control codes out.
std::string Quoted(std::string_view text) {
  std::string out(1, '\'');
  out += Escaped(text.substr(0, 64), false);
  out += text.size() > 64 ? "...'" : "'";
  return out;
}

std::string Failure(const std::string& why) {
  return "error: " + why + "\n";
}

// The camera a command names; an omitted id means the only camera there is.
ControlCamera* FindCamera(std::vector<ControlCamera>& cameras, const std::string& id,
                          std::string* why) {
  if (id.empty()) {
    if (cameras.size() == 1) {
      return &cameras.front();
    }
    if (cameras.empty()) {
      *why = "no camera";
    } else {
      *why = "several cameras, name one of:";
      for (const auto& camera : cameras) {
        *why += " " + camera.Id;
      }
    }
    return nullptr;
  }
  for (auto& camera : cameras) {
    if (camera.Id == id) {
      return &camera;
    }
  }
  *why = "no camera " + id;
  return nullptr;
}

// `camsim status`'s line and `camsim dump`'s text for one camera.
std::string StatusLine(const ControlCamera& camera) {
  const char* write = !NeedsWritePermission(camera.kind) ? "not-needed"
                      : camera.Model->WriteAllowed()     ? "allowed"
                                                         : "denied";
  return camera.Id + " sample=" + camera.SampleName + " kind=" + KindName(camera.kind) +
         " class=" + std::to_string(ClassNumber(camera.kind)) + " instance=" + camera.Instance +
         " state=" + (camera.Plugged ? "plugged" : "unplugged") + " write=" + write +
         " transfers=" + std::to_string(camera.Transfers) + " faults=" + camera.faults->Describe();
}

std::string DumpText(const ControlCamera& camera) {
  std::string out = "camera: " + camera.Id + " (sample " + camera.SampleName + ", " +
                    KindTitle(camera.kind) + ", class " + std::to_string(ClassNumber(camera.kind)) +
                    " " + ClassGuid(camera.kind) + ")\n";
  out += "interface: " + camera.InterfacePath + "\n";
  out += std::string("plugged: ") + (camera.Plugged ? "yes" : "no") + "\n";
  out += "write permission: ";
  if (!NeedsWritePermission(camera.kind)) {
    out += "not needed\n";
  } else {
    out += camera.Model->WriteAllowed() ? "allowed" : "not granted";
    out += " (read at the last plug-in)\n";
  }
  out += "transfers: " + std::to_string(camera.Transfers) + "\n";
  out += "faults: " + camera.faults->Describe() + "\n";
  out += "image: " + camera.ImagePath + "\n";
  out += DescribeImage(camera.kind, camera.Model->Image());
  return out;
}

// ---- Commands: each gets the whole line's words, the command name first.

std::string Help(ControlTarget&, const Words&) {
  return HelpText() + "ok\n";
}

std::string SamplesCommand(ControlTarget&, const Words&) {
  std::string out;
  for (const auto& sample : Samples()) {
    out += sample.Name + ": " + sample.Summary + "\n";
  }
  return out + "ok\n";
}

std::string Status(ControlTarget& target, const Words& words) {
  if (words.size() > 1) {
    return Failure("status takes no arguments");
  }
  std::string out;
  for (const auto& camera : target.ControlCameras()) {
    out += StatusLine(camera) + "\n";
  }
  return out + "ok\n";
}

// plug, unplug and dump: "<command> [ID]".
template <typename Act>
std::string OnOneCamera(ControlTarget& target, const Words& words, Act act) {
  if (words.size() > 2) {
    return Failure("too many arguments");
  }
  auto cameras = target.ControlCameras();
  std::string why;
  ControlCamera* camera = FindCamera(cameras, words.size() > 1 ? words[1] : "", &why);
  if (!camera) {
    return Failure(why);
  }
  return act(*camera);
}

// plug and unplug.
std::string Plug(ControlTarget& target, const Words& words) {
  return OnOneCamera(target, words, [&](ControlCamera& camera) {
    std::string why;
    const bool done =
        words[0] == "plug" ? target.PlugById(camera.Id, &why) : target.UnplugById(camera.Id, &why);
    return done ? "ok\n" : Failure(why);
  });
}

std::string Dump(ControlTarget& target, const Words& words) {
  return OnOneCamera(target, words,
                     [](ControlCamera& camera) { return DumpText(camera) + "ok\n"; });
}

std::string LogCommand(ControlTarget& target, const Words& words) {
  long count = kDefaultLogLines;
  const size_t total = target.LogLineCount();
  if (words.size() > 2 ||
      (words.size() == 2 && !ParseNumber(words[1], 1, long(total) + 1000, &count))) {
    return Failure("usage: log [N]");
  }
  std::string out;
  for (const auto& line : target.LastLogLines(size_t(count))) {
    out += line + "\n";
  }
  return out + "ok\n";
}

// "image ID|* save|load PATH" ('*': the only camera). The path is the rest of
// the line after one blank, blanks and all: a client sends a full path.
std::string Image(ControlTarget& target, std::string_view line) {
  const Words words = SplitWords(line);
  const size_t verbEnd = WordEnd(line, WordEnd(line, WordEnd(line, 0)));
  if (words.size() < 4 || (words[2] != "save" && words[2] != "load") ||
      verbEnd == std::string_view::npos || verbEnd + 1 >= line.size()) {
    return Failure("usage: image ID|* save|load PATH");
  }
  const std::string path(line.substr(verbEnd + 1));
  auto cameras = target.ControlCameras();
  std::string why;
  ControlCamera* camera = FindCamera(cameras, words[1] == "*" ? "" : words[1], &why);
  if (!camera) {
    return Failure(why);
  }
  const bool done = words[2] == "save" ? target.SaveImageTo(camera->Id, path, &why)
                                       : target.LoadImageFrom(camera->Id, path, &why);
  return done ? "ok\n" : Failure(why);
}

std::string Stop(ControlTarget& target, const Words&) {
  target.RequestStop();
  return "ok\n";
}

// "fault [ID] FORM ARGS", the forms those of the fault table.
// The form at words[at], if the words from there are that form with its arguments.
const FaultForm* FaultFormAt(const Words& words, size_t at) {
  const FaultForm* form = at < words.size() ? FindFaultForm(words[at]) : nullptr;
  return form && words.size() - at - 1 == form->Count ? form : nullptr;
}

std::string Fault(ControlTarget& target, const Words& words) {
  // The camera id is optional, so the form decides: "fault clear" is the only
  // camera's, "fault clear clear" the faults of a camera called "clear".
  size_t at = 1;
  std::string id;
  const FaultForm* form = FaultFormAt(words, 1);
  if (!form) {
    form = FaultFormAt(words, 2);
    at = 2;
    id = words.size() > 1 ? words[1] : "";
  }
  if (!form) {
    return Failure("usage: fault [ID] FAULT ARGS (help lists the faults)");
  }
  long values[2] = {};
  if (!ParseFaultArguments(*form, words.data() + at + 1, values)) {
    return Failure(FaultUsage(*form));
  }
  auto cameras = target.ControlCameras();
  std::string why;
  ControlCamera* camera = FindCamera(cameras, id, &why);
  if (!camera || !SetFault(target, camera->Id, *form, std::span(values, form->Count), &why)) {
    return Failure(why);
  }
  return camera->Id + " faults: " + camera->faults->Describe() + "\nok\n";
}

struct Command {
  const char* Name;
  std::string (*Run)(ControlTarget&, const Words&);
};

constexpr Command kCommands[] = {{"help", Help},      {"samples", SamplesCommand},
                                 {"status", Status},  {"plug", Plug},
                                 {"unplug", Plug},    {"dump", Dump},
                                 {"log", LogCommand}, {"stop", Stop},
                                 {"fault", Fault}};

}  // namespace

bool SetFault(ControlTarget& target, const std::string& id, const FaultForm& form,
              std::span<const long> values, std::string* why) {
  auto cameras = target.ControlCameras();
  auto camera = std::find_if(cameras.begin(), cameras.end(),
                             [&](const ControlCamera& c) { return c.Id == id; });
  if (camera == cameras.end()) {
    return Fail(why, "no camera " + id);
  }
  if (!ApplyFault(form, values, camera->faults)) {
    return Fail(why, FaultUsage(form));
  }
  const bool followed = target.FollowPipeFaults(id);
  target.LogLine(id, "faults now " + camera->faults->Describe());
  return followed || Fail(why, "a pipe could not be restored (see the log)");
}

std::string ExecuteControl(ControlTarget& target, std::string_view line) {
  for (unsigned char c : line) {
    if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7f) {
      return Failure("unreadable command " + Quoted(line));
    }
  }
  const Words words = SplitWords(line);
  if (words.empty()) {
    return Failure("empty command (try help)");
  }
  if (words[0] == "image") {
    return Image(target, line);
  }
  for (const auto& command : kCommands) {
    if (words[0] == command.Name) {
      return command.Run(target, words);
    }
  }
  return Failure("unknown command " + Quoted(words[0]) + " (try help)");
}

bool ControlLines::Feed(ControlTarget& target, std::string_view bytes, std::string* answer) {
  pending_.append(bytes);
  size_t start = 0;
  for (size_t newline; (newline = pending_.find('\n', start)) != std::string::npos;
       start = newline + 1) {
    *answer += ExecuteControl(target, std::string_view(pending_).substr(start, newline - start));
  }
  pending_.erase(0, start);
  if (pending_.size() > kMaxControlLine) {
    *answer += Failure("line longer than " + std::to_string(kMaxControlLine) + " bytes");
    pending_.clear();
    return false;
  }
  return true;
}

void ControlLines::End(ControlTarget& target, std::string* answer) {
  if (!pending_.empty()) {
    *answer += ExecuteControl(target, pending_);
    pending_.clear();
  }
}

bool ExecuteControlMessage(ControlTarget& target, std::string_view bytes, size_t size,
                           std::string* answer) {
  if (size > kMaxControlLine) {
    *answer += Failure("line longer than " + std::to_string(kMaxControlLine) + " bytes");
    return false;
  }
  *answer += ExecuteControl(target, bytes);
  return true;
}

}  // namespace camsim
