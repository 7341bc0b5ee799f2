// `camsim serve` on Windows: one camera behind the driver stand-in.
//
// While the camera is plugged in, the named pipes 0, 1 and 2 (message mode) are
// what pelwin.exe reaches through the interface path + "\0", "\1", "\2". Every
// pipe connection and the control pipe are served by one thread from one I/O
// completion port, in the order in which things happened: a client opens its
// data pipe before it sends a request, so the data pipe's connection is known
// by the time the request is read, and the reply goes to the newest data pipe
// of the requesting process, as on Linux.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sim/frame_engine.h"
#include "sim/windows/standin.h"

namespace camsim::win {
namespace {

constexpr size_t kRecentLines = 2000;
// Anything longer than a frame is refused anyway; this much is kept for the log.
constexpr DWORD kReceiveBuffer = 256;
constexpr DWORD kControlBuffer = 4096;
constexpr DWORD kPipeBufferSize = 64 * 1024;
// Listening instances kept per pipe name, so that a client opening a pipe again
// at once never finds none (ERROR_PIPE_BUSY).
constexpr int kListenersPerPipe = 2;
constexpr int kControlName = kPipeCount;
// A client that does not read its replies must not hold the camera up.
constexpr DWORD kWriteTimeoutMs = 5000;
// More connections than any client makes; beyond this a new one is refused.
constexpr size_t kMaxConnections = 64;

std::string TimeStamp() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  return buf;
}

std::string PipeName(int name) {
  return name == kControlName ? std::string(kControlPipe) : "\\\\.\\pipe\\" + std::to_string(name);
}

struct Connection;

struct Operation {
  OVERLAPPED overlapped{};
  Connection* connection = nullptr;
};

struct Connection {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  int name = 0;  // 0, 1, 2, or kControlName
  bool connected = false;
  bool pending = false;  // an operation is out; the connection lives until it completes
  bool closing = false;
  DWORD pid = 0;
  uint64_t order = 0;
  Operation op;
  std::vector<uint8_t> buffer;
  std::vector<uint8_t> message;  // what arrived of the current message so far
  size_t messageSize = 0;        // its full size, also beyond what is kept
};

}  // namespace

class Server {
 public:
  explicit Server(const ServeOptions& options) : options_(options) {}
  ~Server();
  int Run();

 private:
  bool Setup(std::string* error);
  void Log(const std::string& text);
  bool Listen(int name, bool first, std::string* error);
  void Issue(Connection* c);
  void Close(Connection* c);
  // Every connection of the camera; with listeners too, the pipes go away.
  void CloseCameraConnections(bool listenersToo);
  Connection* Lookup(OVERLAPPED* overlapped);
  void Reap();
  void OnCompletion(Connection* c, bool ok, DWORD bytes, DWORD error);
  void OnMessage(Connection* c);
  void HandleFrame(Connection* c);
  void Deliver(DWORD pid, const std::vector<uint8_t>& bytes, const std::string& note);
  bool WriteMessage(Connection* c, const void* data, size_t size, std::string* error);
  std::string Execute(const std::string& line);
  bool PlugIn(std::string* error);
  bool Unplug(std::string* error);
  std::string StatusLine() const;
  std::string DumpText();
  bool SaveImage(std::span<const uint8_t> image, std::string* why);

  ServeOptions options_;
  const Sample* sample_ = nullptr;
  std::string service_;
  std::string imagePath_;
  std::unique_ptr<CameraModel> model_;
  Faults faults_;
  uint64_t transfers_ = 0;
  bool plugged_ = false;
  bool stopping_ = false;
  StandinControl control_;
  HANDLE port_ = nullptr;
  HANDLE writeEvent_ = nullptr;
  FILE* log_ = nullptr;
  std::deque<std::string> recent_;
  std::vector<std::unique_ptr<Connection>> connections_;
  uint64_t nextOrder_ = 1;
};

Server::~Server() {
  for (auto& c : connections_) {
    if (c->pipe != INVALID_HANDLE_VALUE) {
      CloseHandle(c->pipe);
    }
  }
  if (port_) {
    CloseHandle(port_);
  }
  if (writeEvent_) {
    CloseHandle(writeEvent_);
  }
  if (log_ && log_ != stderr) {
    std::fclose(log_);
  }
}

void Server::Log(const std::string& text) {
  std::string line = TimeStamp() + " " + options_.Id + ": " + text;
  if (log_) {
    std::fprintf(log_, "%s\n", line.c_str());
    std::fflush(log_);
  }
  recent_.push_back(std::move(line));
  if (recent_.size() > kRecentLines) {
    recent_.pop_front();
  }
}

bool Server::Listen(int name, bool first, std::string* error) {
  const bool control = name == kControlName;
  const DWORD mode =
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  HANDLE pipe = CreateNamedPipeA(
      PipeName(name).c_str(), mode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
      PIPE_UNLIMITED_INSTANCES, kPipeBufferSize, kPipeBufferSize, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    const DWORD why = GetLastError();
    if (error) {
      *error = first && why == ERROR_ACCESS_DENIED
                   ? "another camsim serves this Wine server (" + PipeName(name) + " is taken)"
                   : "cannot make the pipe " + PipeName(name) + ": " + ErrorText(why);
    }
    return false;
  }
  if (!CreateIoCompletionPort(pipe, port_, 0, 0)) {
    if (error) {
      *error = "CreateIoCompletionPort: " + ErrorText(GetLastError());
    }
    CloseHandle(pipe);
    return false;
  }
  auto c = std::make_unique<Connection>();
  c->pipe = pipe;
  c->name = name;
  c->op.connection = c.get();
  c->buffer.resize(control ? kControlBuffer : kReceiveBuffer);
  Connection* raw = c.get();
  connections_.push_back(std::move(c));
  Issue(raw);
  return true;
}

// Starts the connection's next operation: waiting for a client, then reading
// one message after the other. Every started operation ends in one completion
// packet, also when it finishes at once.
void Server::Issue(Connection* c) {
  c->op.overlapped = OVERLAPPED{};
  if (!c->connected) {
    if (ConnectNamedPipe(c->pipe, &c->op.overlapped) || GetLastError() == ERROR_IO_PENDING) {
      c->pending = true;
      return;
    }
    if (GetLastError() == ERROR_PIPE_CONNECTED) {
      // The client came between the pipe's creation and this call: no packet.
      c->pending = PostQueuedCompletionStatus(port_, 0, 0, &c->op.overlapped);
      if (c->pending) {
        return;
      }
    }
    Log("cannot wait on " + PipeName(c->name) + ": " + ErrorText(GetLastError()));
    Close(c);
    return;
  }
  if (ReadFile(c->pipe, c->buffer.data(), DWORD(c->buffer.size()), nullptr, &c->op.overlapped) ||
      GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA) {
    c->pending = true;
    return;
  }
  if (c->name != kControlName) {
    Log("pipe " + std::to_string(c->name) + " closed by pid " + std::to_string(c->pid));
  }
  Close(c);
}

void Server::Close(Connection* c) {
  if (c->closing) {
    return;
  }
  c->closing = true;
  if (c->connected) {
    // The client's next transfer fails at once, also one already waiting.
    DisconnectNamedPipe(c->pipe);
  }
  if (c->pending) {
    CancelIoEx(c->pipe, &c->op.overlapped);
  }
}

void Server::Reap() {
  std::erase_if(connections_, [](const std::unique_ptr<Connection>& c) {
    if (!c->closing || c->pending) {
      return false;
    }
    CloseHandle(c->pipe);
    return true;
  });
}

void Server::CloseCameraConnections(bool listenersToo) {
  size_t closed = 0;
  for (auto& c : connections_) {
    if (c->name == kControlName || c->closing || (!c->connected && !listenersToo)) {
      continue;
    }
    closed += c->connected ? 1 : 0;
    Close(c.get());
  }
  if (closed) {
    Log("closed " + std::to_string(closed) + " connection(s)");
  }
}

Connection* Server::Lookup(OVERLAPPED* overlapped) {
  for (auto& c : connections_) {
    if (&c->op.overlapped == overlapped) {
      return c.get();
    }
  }
  return nullptr;
}

void Server::OnCompletion(Connection* c, bool ok, DWORD bytes, DWORD error) {
  c->pending = false;
  if (c->closing) {
    return;
  }
  if (!c->connected) {
    if (!ok && error != ERROR_PIPE_CONNECTED) {
      Close(c);
      return;
    }
    c->connected = true;
    ULONG pid = 0;
    GetNamedPipeClientProcessId(c->pipe, &pid);
    c->pid = pid;
    c->order = nextOrder_++;
    if (c->name != kControlName) {
      Log("pipe " + std::to_string(c->name) + " opened by pid " + std::to_string(c->pid));
    }
    const size_t open = size_t(std::count_if(connections_.begin(), connections_.end(),
                                             [](const auto& x) { return !x->closing; }));
    std::string why;
    if ((c->name == kControlName || plugged_) && open < kMaxConnections &&
        !Listen(c->name, false, &why)) {
      Log("warning: " + why);
    }
    Issue(c);
    return;
  }
  if (ok || error == ERROR_MORE_DATA) {
    const size_t room = c->buffer.size() - std::min(c->buffer.size(), c->message.size());
    c->message.insert(c->message.end(), c->buffer.begin(),
                      c->buffer.begin() + std::min<size_t>(bytes, room));
    c->messageSize += bytes;
    if (ok) {
      OnMessage(c);
      c->message.clear();
      c->messageSize = 0;
    }
    if (!c->closing) {
      Issue(c);
    }
    return;
  }
  if (c->name != kControlName) {
    Log("pipe " + std::to_string(c->name) + " closed by pid " + std::to_string(c->pid));
  }
  Close(c);
}

void Server::OnMessage(Connection* c) {
  if (c->name == kControlName) {
    const std::string line(c->message.begin(), c->message.end());
    const std::string answer = Execute(line);
    std::string why;
    if (!WriteMessage(c, answer.data(), answer.size(), &why)) {
      Close(c);
    }
    return;
  }
  if (c->name != 0) {
    Log("ignored " + std::to_string(c->messageSize) + " bytes sent on pipe " +
        std::to_string(c->name));
    return;
  }
  HandleFrame(c);
}

void Server::HandleFrame(Connection* c) {
  const std::span<const uint8_t> frame(c->message.data(), c->message.size());
  Log(RequestLogText(c->pid, frame, c->messageSize));
  FrameOutcome outcome = ServeFrame(
      *model_, faults_, frame,
      [this](std::span<const uint8_t> image, std::string* why) { return SaveImage(image, why); });
  if (outcome.Dropped) {
    Log(kDropLogText);
    CloseCameraConnections(false);
    return;
  }
  ++transfers_;
  Deliver(c->pid, outcome.Reply, outcome.Note);
}

void Server::Deliver(DWORD pid, const std::vector<uint8_t>& bytes, const std::string& note) {
  Connection* target = nullptr;
  for (auto& c : connections_) {
    if (c->name == 1 && c->connected && !c->closing && c->pid == pid &&
        (!target || c->order > target->order)) {
      target = c.get();
    }
  }
  if (!target) {
    Log(ReplyDroppedLogText(pid, bytes, note));
    return;
  }
  std::string why;
  if (!WriteMessage(target, bytes.data(), bytes.size(), &why)) {
    Log(ReplyLostLogText(why, bytes, note));
    return;
  }
  Log(ReplyLogText(bytes, note));
}

// Replies are written outside the completion port (the event's low bit keeps
// the packet away), and waited for: a message pipe with room takes them at once.
bool Server::WriteMessage(Connection* c, const void* data, size_t size, std::string* error) {
  OVERLAPPED overlapped{};
  ResetEvent(writeEvent_);
  overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(writeEvent_) | 1);
  DWORD moved = 0;
  if (!WriteFile(c->pipe, data, DWORD(size), nullptr, &overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    *error = ErrorText(GetLastError());
    return false;
  }
  if (WaitForSingleObject(writeEvent_, kWriteTimeoutMs) != WAIT_OBJECT_0) {
    CancelIoEx(c->pipe, &overlapped);
    GetOverlappedResult(c->pipe, &overlapped, &moved, TRUE);
    *error = "the client does not read its replies";
    return false;
  }
  if (!GetOverlappedResult(c->pipe, &overlapped, &moved, FALSE)) {
    *error = ErrorText(GetLastError());
    return false;
  }
  return true;
}

bool Server::SaveImage(std::span<const uint8_t> image, std::string* why) {
  return SaveImageFile(imagePath_, image, why);
}

bool Server::PlugIn(std::string* error) {
  if (plugged_) {
    *error = options_.Id + " is plugged in already";
    return false;
  }
  // The driver reads its permission when the camera arrives, and keeps it
  // until the camera goes: a change in between counts from the next plug-in.
  bool allowed = false;
  std::string permission = "not needed";
  if (NeedsWritePermission(sample_->kind)) {
    DWORD value = 0, type = 0, size = sizeof value;
    allowed =
        RegGetValueA(HKEY_LOCAL_MACHINE, ParametersKey(service_).c_str(), kWritePermissionValue,
                     RRF_RT_ANY, &type, &value, &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof value && value != 0;
    permission = allowed ? "allowed" : "not granted";
  }
  model_->SetWriteAllowed(allowed);
  for (int name = 0; name < kPipeCount; ++name) {
    for (int i = 0; i < kListenersPerPipe; ++i) {
      if (!Listen(name, false, error)) {
        CloseCameraConnections(true);
        return false;
      }
    }
  }
  if (!control_.Plug(error)) {
    CloseCameraConnections(true);
    return false;
  }
  plugged_ = true;
  StandinStatus status;
  std::string why;
  control_.Status(&status, &why);
  Log("plugged in at " + status.Interface + ", EEPROM writes " + permission);
  return true;
}

bool Server::Unplug(std::string* error) {
  if (!plugged_) {
    *error = options_.Id + " is not plugged in";
    return false;
  }
  std::string why;
  if (!control_.Unplug(&why)) {
    Log("warning: " + why);
  }
  plugged_ = false;
  CloseCameraConnections(true);
  Log("unplugged");
  return true;
}

std::string Server::StatusLine() const {
  const char* write = !NeedsWritePermission(sample_->kind) ? "not-needed"
                      : model_->WriteAllowed()             ? "allowed"
                                                           : "denied";
  return options_.Id + " sample=" + sample_->Name + " kind=" + KindName(sample_->kind) +
         " class=" + std::to_string(ClassNumber(sample_->kind)) +
         " instance=cam0 state=" + (plugged_ ? "plugged" : "unplugged") + " write=" + write +
         " transfers=" + std::to_string(transfers_) + " faults=" + faults_.Describe();
}

std::string Server::DumpText() {
  StandinStatus status;
  std::string why;
  control_.Status(&status, &why);
  std::string out = "camera: " + options_.Id + " (sample " + sample_->Name + ", " +
                    KindTitle(sample_->kind) + ", class " +
                    std::to_string(ClassNumber(sample_->kind)) + " " + ClassGuid(sample_->kind) +
                    ")\n";
  out += "interface: " + status.Interface + "\n";
  out += "driver service: " + service_ + "\n";
  out += std::string("plugged: ") + (plugged_ ? "yes" : "no") + "\n";
  out += "write permission: ";
  if (!NeedsWritePermission(sample_->kind)) {
    out += "not needed\n";
  } else {
    out += model_->WriteAllowed() ? "allowed" : "not granted";
    out += " (read at the last plug-in)\n";
  }
  out += "transfers: " + std::to_string(transfers_) + "\n";
  out += "faults: " + faults_.Describe() + "\n";
  out += "image: " + imagePath_ + "\n";
  out += DescribeImage(sample_->kind, model_->Image());
  return out;
}

bool Server::Setup(std::string* error) {
  sample_ = FindSample(options_.SampleName);
  if (!sample_) {
    *error = "no sample camera " + options_.SampleName + " (camsim samples lists them)";
    return false;
  }
  service_ = StandinService(*sample_);
  if (options_.LogPath.empty()) {
    log_ = stderr;
  } else if (!(log_ = std::fopen(options_.LogPath.c_str(), "a"))) {
    *error = "cannot open the log " + options_.LogPath;
    return false;
  }
  port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  writeEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!port_ || !writeEvent_) {
    *error = "cannot make the completion port: " + ErrorText(GetLastError());
    return false;
  }
  if (!Listen(kControlName, true, error)) {
    return false;
  }

  const std::string state = options_.StateDir.empty() ? DefaultStateDir() : options_.StateDir;
  for (size_t at = state.find_first_of("\\/", 3); at != std::string::npos;
       at = state.find_first_of("\\/", at + 1)) {
    CreateDirectoryA(state.substr(0, at).c_str(), nullptr);
  }
  CreateDirectoryA(state.c_str(), nullptr);
  imagePath_ = state + "\\" + options_.Id + ".eeprom";
  std::vector<uint8_t> image;
  if (GetFileAttributesA(imagePath_.c_str()) == INVALID_FILE_ATTRIBUTES &&
      GetLastError() == ERROR_FILE_NOT_FOUND) {
    image = SampleImage(*sample_);
    if (!SaveImageFile(imagePath_, image, error)) {
      return false;
    }
  } else if (!LoadImageFile(imagePath_, EepromSize(sample_->kind), &image, error)) {
    return false;
  }
  model_ = std::make_unique<CameraModel>(sample_->kind, std::move(image));

  if (!EnsureStandinRunning(*sample_, error) || !control_.Open(service_, error)) {
    return false;
  }
  // A server that died left its camera plugged in, with nobody behind the pipes.
  StandinStatus status;
  if (control_.Status(&status, error) && status.Plugged) {
    control_.Unplug(error);
  }
  Log("added: sample " + sample_->Name + ", image " + imagePath_ + ", driver service " + service_);
  return options_.Unplugged || PlugIn(error);
}

namespace {

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  for (char c : line) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
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

// Decimal, or hexadecimal after "0x"; nothing else.
bool ParseNumber(const std::string& text, long min, long max, long* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const size_t start = hex ? 2 : 0;
  if (start >= text.size() || text.size() - start > 8) {
    return false;
  }
  long result = 0;
  for (size_t at = start; at < text.size(); ++at) {
    const char c = text[at];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    result = result * (hex ? 16 : 10) + digit;
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

}  // namespace

// The control pipe's commands: those of the Linux daemon that make sense for
// one camera behind a driver, and the image commands.
std::string Server::Execute(const std::string& line) {
  for (unsigned char c : line) {
    if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7f) {
      return Failure("unreadable command");
    }
  }
  const std::vector<std::string> words = Words(line);
  if (words.empty()) {
    return Failure("empty command");
  }
  const std::string& command = words[0];
  // An ID, where one may be given, must be this server's camera.
  auto cameraOk = [&](size_t at, std::string* why) {
    if (words.size() > at + 1) {
      *why = "too many arguments";
      return false;
    }
    if (words.size() == at + 1 && words[at] != options_.Id) {
      *why = "no camera " + words[at];
      return false;
    }
    return true;
  };
  std::string why;
  if (command == "status") {
    return words.size() == 1 ? StatusLine() + "\nok\n" : Failure("status takes no arguments");
  }
  if (command == "plug" || command == "unplug" || command == "dump") {
    if (!cameraOk(1, &why)) {
      return Failure(why);
    }
    if (command == "dump") {
      return DumpText() + "ok\n";
    }
    const bool ok = command == "plug" ? PlugIn(&why) : Unplug(&why);
    return ok ? "ok\n" : Failure(why);
  }
  if (command == "log") {
    long count = 20;
    if (words.size() > 2 ||
        (words.size() == 2 && !ParseNumber(words[1], 1, long(kRecentLines), &count))) {
      return Failure("usage: log [N]");
    }
    std::string out;
    const size_t first = recent_.size() > size_t(count) ? recent_.size() - size_t(count) : 0;
    for (size_t i = first; i < recent_.size(); ++i) {
      out += recent_[i] + "\n";
    }
    return out + "ok\n";
  }
  if (command == "stop") {
    if (plugged_) {
      Unplug(&why);
    }
    stopping_ = true;
    return "ok\n";
  }
  if (command == "image") {
    // image ID|* save|load PATH: the path is the rest of the line, blanks and all.
    if (words.size() < 4 || (words[2] != "save" && words[2] != "load")) {
      return Failure("usage: image ID|* save|load PATH");
    }
    if (words[1] != "*" && words[1] != options_.Id) {
      return Failure("no camera " + words[1]);
    }
    const size_t at = line.find(words[2], line.find(words[1]) + words[1].size());
    std::string path = line.substr(at + 5);
    while (!path.empty() && (path.back() == '\r' || path.back() == '\n')) {
      path.pop_back();
    }
    if (words[2] == "save") {
      return SaveImageFile(path, model_->Image(), &why) ? "ok\n" : Failure(why);
    }
    std::vector<uint8_t> image;
    if (!LoadImageFile(path, EepromSize(sample_->kind), &image, &why) ||
        !SaveImageFile(imagePath_, image, &why)) {
      return Failure(why);
    }
    model_->MutableImage() = std::move(image);
    Log("image loaded from " + path);
    return "ok\n";
  }
  if (command != "fault") {
    return Failure("unknown command '" + command + "'");
  }
  // fault [ID] FORM ARGS: the form's argument count tells whether an ID came.
  static const std::pair<const char*, size_t> kForms[] = {
      {"refuse", 2},   {"refuse-at", 2}, {"drop", 1}, {"short", 2},
      {"short-at", 2}, {"corrupt", 1},   {"clear", 0}};
  auto isForm = [&](size_t at) {
    for (const auto& [name, arguments] : kForms) {
      if (at < words.size() && words[at] == name) {
        return words.size() - at - 1 == arguments;
      }
    }
    return false;
  };
  size_t at;
  if (isForm(1)) {
    at = 1;
  } else if (isForm(2)) {
    at = 2;
    if (words[1] != options_.Id) {
      return Failure("no camera " + words[1]);
    }
  } else {
    return Failure(
        "usage: fault [ID] refuse N STATUS | refuse-at K STATUS | drop K | short N BYTES | "
        "short-at K BYTES | corrupt N | clear");
  }
  const std::string& form = words[at];
  long a = 0, b = 0;
  constexpr long kMany = 1000000;
  const bool first = form == "clear" || ParseNumber(words[at + 1], 0, kMany, &a);
  if (form == "refuse" || form == "refuse-at") {
    if (!first || !ParseNumber(words[at + 2], 0, 255, &b)) {
      return Failure("usage: fault [ID] " + form + " N STATUS (STATUS 0..255, e.g. 0x81)");
    }
    (form == "refuse" ? faults_.RefuseLeft : faults_.RefuseIn) = int(a);
    (form == "refuse" ? faults_.RefuseStatus : faults_.RefuseAtStatus) = uint8_t(b);
  } else if (form == "short" || form == "short-at") {
    if (!first || !ParseNumber(words[at + 2], 1, long(kMaxFrame), &b)) {
      return Failure("usage: fault [ID] " + form + " N BYTES (BYTES 1..64)");
    }
    (form == "short" ? faults_.ShortLeft : faults_.ShortIn) = int(a);
    (form == "short" ? faults_.ShortBytes : faults_.ShortAtBytes) = int(b);
  } else if (form == "drop" || form == "corrupt") {
    if (!first) {
      return Failure("usage: fault [ID] " + form + " N");
    }
    (form == "drop" ? faults_.DropIn : faults_.CorruptLeft) = int(a);
  } else {
    faults_ = Faults{};
  }
  Log("faults now " + faults_.Describe());
  return options_.Id + " faults: " + faults_.Describe() + "\nok\n";
}

int Server::Run() {
  std::string error;
  if (!Setup(&error)) {
    std::fprintf(stderr, "camsim: %s\n", error.c_str());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  while (!stopping_) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    const BOOL ok = GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, INFINITE);
    const DWORD why = ok ? ERROR_SUCCESS : GetLastError();
    if (!overlapped) {
      std::fprintf(stderr, "camsim: the completion port failed: %s\n", ErrorText(why).c_str());
      return 1;
    }
    if (Connection* c = Lookup(overlapped)) {
      OnCompletion(c, ok, bytes, why);
    }
    Reap();
  }
  return 0;
}

int Serve(const ServeOptions& options) {
  Server server(options);
  return server.Run();
}

std::string DefaultStateDir() {
  char buffer[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("CAMSIM_STATE", buffer, MAX_PATH);
  if (n > 0 && n < MAX_PATH) {
    return std::string(buffer, n);
  }
  n = GetEnvironmentVariableA("LOCALAPPDATA", buffer, MAX_PATH);
  if (n > 0 && n < MAX_PATH) {
    return std::string(buffer, n) + "\\camsim";
  }
  return "C:\\camsim";
}

}  // namespace camsim::win
