// The control protocol: one command per line, answered by any number of lines
// and then "ok" or "error: <why>". Lines come from a socket anyone on the
// machine's account can write to, so nothing in them is trusted.
#include "sim/control.h"

#include <cstdio>

namespace camsim {
namespace {

constexpr size_t kDefaultLogLines = 20;
constexpr long kMany = 1000000;

using Words = std::vector<std::string>;

constexpr const char* kHelp =
    "commands:\n"
    "  status                       one line per camera\n"
    "  plug [ID] | unplug [ID]\n"
    "  dump [ID]                    header and block in hex, decoded\n"
    "  fault [ID] refuse N STATUS   answer the next N commands with STATUS, unexecuted\n"
    "  fault [ID] refuse-at K STATUS  answer the K-th command from now with STATUS\n"
    "  fault [ID] drop K            close every connection at the K-th command from now\n"
    "  fault [ID] short N BYTES     cut the next N read replies to BYTES bytes\n"
    "  fault [ID] short-at K BYTES  cut the K-th command's read reply to BYTES bytes\n"
    "  fault [ID] corrupt N         flip the first data byte of the next N read replies\n"
    "  fault [ID] pipe N on|off     pipe N (0, 1, 2) cannot be opened\n"
    "  fault [ID] delay MS          hold every reply back MS milliseconds\n"
    "  fault [ID] clear\n"
    "  image ID|* save|load PATH    write the image to PATH, or replace it from PATH\n"
    "  log [N]                      the last N frame log lines\n"
    "  samples | help | stop\n";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

Words SplitWords(std::string_view line) {
  Words words;
  std::string word;
  for (char c : line) {
    if (IsBlank(c)) {
      if (!word.empty()) {
        words.push_back(std::move(word));
        word.clear();
      }
    } else {
      word += c;
    }
  }
  if (!word.empty()) {
    words.push_back(std::move(word));
  }
  return words;
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

// Error texts quote what the client sent; keep terminal control codes out.
std::string Quoted(std::string_view text) {
  std::string out = "'";
  for (unsigned char c : text.substr(0, 64)) {
    if (c >= 0x20 && c < 0x7f) {
      out += char(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out + (text.size() > 64 ? "...'" : "'");
}

// Decimal, or hexadecimal after "0x"; nothing else, so that "010" is not octal.
bool ParseNumber(const std::string& text, long min, long max, long* value) {
  int base = 10;
  size_t at = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    at = 2;
  }
  if (at >= text.size() || text.size() - at > 8) {
    return false;
  }
  long result = 0;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    result = result * base + digit;
  }
  if (result < min || result > max) {
    return false;
  }
  *value = result;
  return true;
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

// ---- Commands: each gets the whole line's words, the command name first.

std::string Help(ControlTarget&, const Words&) {
  return std::string(kHelp) + "ok\n";
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

std::string Plug(ControlTarget& target, const Words& words) {
  return OnOneCamera(target, words, [&](ControlCamera& camera) {
    std::string why;
    return target.PlugById(camera.Id, &why) ? "ok\n" : Failure(why);
  });
}

std::string Unplug(ControlTarget& target, const Words& words) {
  return OnOneCamera(target, words, [&](ControlCamera& camera) {
    std::string why;
    return target.UnplugById(camera.Id, &why) ? "ok\n" : Failure(why);
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

// ---- Faults: "fault [ID] FORM ARGS". Each form parses its arguments (args[0]
// is the first) into the camera's faults, or answers its usage.

struct FaultForm {
  const char* Name;
  size_t Arguments;
  // Empty on success, else the error text.
  std::string (*Apply)(ControlTarget&, ControlCamera&, const std::string* args);
};

std::string Refuse(ControlTarget&, ControlCamera& camera, const std::string* args) {
  long n, status;
  if (!ParseNumber(args[0], 0, kMany, &n) || !ParseNumber(args[1], 0, 255, &status)) {
    return "usage: fault [ID] refuse N STATUS (STATUS 0..255, e.g. 0x81)";
  }
  camera.faults->RefuseLeft = int(n);
  camera.faults->RefuseStatus = uint8_t(status);
  return {};
}

std::string RefuseAt(ControlTarget&, ControlCamera& camera, const std::string* args) {
  long k, status;
  if (!ParseNumber(args[0], 0, kMany, &k) || !ParseNumber(args[1], 0, 255, &status)) {
    return "usage: fault [ID] refuse-at K STATUS (1 = the next command, 0 cancels)";
  }
  camera.faults->RefuseIn = int(k);
  camera.faults->RefuseAtStatus = uint8_t(status);
  return {};
}

std::string Drop(ControlTarget&, ControlCamera& camera, const std::string* args) {
  long k;
  if (!ParseNumber(args[0], 0, kMany, &k)) {
    return "usage: fault [ID] drop K (1 = the next command, 0 cancels)";
  }
  camera.faults->DropIn = int(k);
  return {};
}

std::string Short(ControlTarget&, ControlCamera& camera, const std::string* args) {
  long n, bytes;
  if (!ParseNumber(args[0], 0, kMany, &n) || !ParseNumber(args[1], 1, long(kMaxFrame), &bytes)) {
    return "usage: fault [ID] short N BYTES (BYTES 1..64)";
  }
  camera.faults->ShortLeft = int(n);
  camera.faults->ShortBytes = int(bytes);
  return {};
}

std::string ShortAt(ControlTarget&, ControlCamera& camera, const std::string* args) {
  long k, bytes;
  if (!ParseNumber(args[0], 0, kMany, &k) || !ParseNumber(args[1], 1, long(kMaxFrame), &bytes)) {
    return "usage: fault [ID] short-at K BYTES (BYTES 1..64)";
  }
  camera.faults->ShortIn = int(k);
  camera.faults->ShortAtBytes = int(bytes);
  return {};
}

std::string Corrupt(ControlTarget&, ControlCamera& camera, const std::string* args) {
  long n;
  if (!ParseNumber(args[0], 0, kMany, &n)) {
    return "usage: fault [ID] corrupt N";
  }
  camera.faults->CorruptLeft = int(n);
  return {};
}

std::string Pipe(ControlTarget& target, ControlCamera& camera, const std::string* args) {
  long pipe;
  const std::string& state = args[1];
  if (!ParseNumber(args[0], 0, kPipeCount - 1, &pipe) || (state != "on" && state != "off")) {
    return "usage: fault [ID] pipe N on|off (N 0, 1 or 2)";
  }
  if (!target.SetPipeFailedById(camera.Id, int(pipe), state == "on")) {
    return "cannot restore pipe " + std::to_string(pipe) + " (see the log)";
  }
  return {};
}

std::string Delay(ControlTarget&, ControlCamera& camera, const std::string* args) {
  long ms;
  if (!ParseNumber(args[0], 0, 600000, &ms)) {
    return "usage: fault [ID] delay MS (0..600000)";
  }
  camera.faults->DelayMs = int(ms);
  return {};
}

std::string Clear(ControlTarget& target, ControlCamera& camera, const std::string*) {
  bool ok = true;
  for (int p = 0; p < kPipeCount; ++p) {
    ok = target.SetPipeFailedById(camera.Id, p, false) && ok;
  }
  *camera.faults = Faults{};
  return ok ? "" : "faults cleared, but a pipe could not be restored (see the log)";
}

constexpr FaultForm kFaultForms[] = {
    {"refuse", 2, Refuse}, {"refuse-at", 2, RefuseAt}, {"drop", 1, Drop},
    {"short", 2, Short},   {"short-at", 2, ShortAt},   {"corrupt", 1, Corrupt},
    {"pipe", 2, Pipe},     {"delay", 1, Delay},        {"clear", 0, Clear}};

// The form at words[at], if the words from there are that form with its arguments.
const FaultForm* FaultFormAt(const Words& words, size_t at) {
  if (at >= words.size()) {
    return nullptr;
  }
  for (const auto& form : kFaultForms) {
    if (words[at] == form.Name) {
      return words.size() - at - 1 == form.Arguments ? &form : nullptr;
    }
  }
  return nullptr;
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
    return Failure(
        "usage: fault [ID] refuse N STATUS | refuse-at K STATUS | drop K | short N BYTES | "
        "short-at K BYTES | corrupt N | "
        "pipe N on|off | delay MS | clear");
  }
  auto cameras = target.ControlCameras();
  std::string why;
  ControlCamera* camera = FindCamera(cameras, id, &why);
  if (!camera) {
    return Failure(why);
  }
  why = form->Apply(target, *camera, words.data() + at + 1);
  if (!why.empty()) {
    return Failure(why);
  }
  const std::string now = camera->faults->Describe();
  target.LogLine(camera->Id, "faults now " + now);
  return camera->Id + " faults: " + now + "\nok\n";
}

struct Command {
  const char* Name;
  std::string (*Run)(ControlTarget&, const Words&);
};

constexpr Command kCommands[] = {{"help", Help},      {"samples", SamplesCommand},
                                 {"status", Status},  {"plug", Plug},
                                 {"unplug", Unplug},  {"dump", Dump},
                                 {"log", LogCommand}, {"stop", Stop},
                                 {"fault", Fault}};

}  // namespace

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

}  // namespace camsim
