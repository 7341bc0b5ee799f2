// `camsim serve` on Windows: one camera behind the driver stand-in.
//
// While the camera is plugged in, the named pipes 0, 1 and 2 (message mode) are
// what pelwin.exe reaches through the interface path + "\0", "\1", "\2". This
// is their transport: every pipe connection and the control pipe are served by
// one thread from one I/O completion port, in the order in which things
// happened. A client opens its data pipe before it sends a request, so the
// data pipe's connection is known by the time the request is read. What a
// message does and which connection gets the reply is the camera session's
// business (sim/session.cpp), as on Linux.
//
// `serve --second ID` adds another camera of the same sample behind the
// stand-in's second device, for "another camera of the same class arrives".
// The pipe names are global, so both cameras' interfaces lead to the same
// pipes: a new connection is to the first camera plugged in, in the order of
// the stand-in's devices (the order in which their interfaces are enumerated,
// and the program takes the first that opens), and each camera keeps the
// connections it had.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sim/control.h"
#include "sim/session.h"
#include "sim/windows/standin.h"
#include "sim/windows/standin_ioctl.h"

namespace camsim::win {
namespace {

// One byte more than a control line may have, so that a longer one shows.
constexpr DWORD kControlBuffer = kMaxControlLine + 1;
constexpr DWORD kPipeBufferSize = 64 * 1024;
// Listening instances kept per pipe name, so that a client opening a pipe again
// at once never finds none (ERROR_PIPE_BUSY).
constexpr int kListenersPerPipe = 2;
constexpr int kControlName = kPipeCount;
// Messages waiting for a client that does not read them; one more is lost.
// A reply never waits on the server thread: the other clients go on.
constexpr size_t kMaxQueuedMessages = 64;
// More connections than any client makes; beyond this a new one is refused.
// The control pipe counts apart, so that `camsim stop` always gets through.
constexpr size_t kMaxCameraConnections = 64;
constexpr size_t kMaxControlConnections = 8;
// How long the answers still on their way may take once the server stops.
constexpr DWORD kDrainMs = 2000;

std::string PipeName(int name) {
  return name == kControlName ? std::string(kControlPipe) : "\\\\.\\pipe\\" + std::to_string(name);
}

struct Connection;

struct Operation {
  OVERLAPPED overlapped{};
  Connection* connection = nullptr;
};

struct Connection {
  uint64_t id = 0;  // the session's number for it
  HANDLE pipe = INVALID_HANDLE_VALUE;
  int name = 0;  // 0, 1, 2, or kControlName
  bool connected = false;
  bool pending = false;  // a connect or read is out; the connection lives until it completes
  bool writing = false;  // so is a write
  bool closing = false;
  bool closeAfterWrite = false;
  Operation op;
  Operation writeOp;
  std::deque<std::string> outbox;  // the front one is being written
  std::vector<uint8_t> buffer;
  std::vector<uint8_t> message;  // what arrived of the current message so far
  size_t messageSize = 0;        // its full size, also beyond what is kept
};

}  // namespace

class Server : public ControlTarget, public SessionPort {
 public:
  explicit Server(const ServeOptions& options) : options_(options) {}
  ~Server() override;
  int Run();

  // The control commands' view of this server's one camera.
  std::vector<ControlCamera> ControlCameras() override;
  bool PlugById(const std::string& id, std::string* why) override;
  bool UnplugById(const std::string& id, std::string* why) override;
  bool SetPipeFailedById(const std::string& id, int pipe, bool failed) override;
  size_t LogLineCount() override { return log_.Size(); }
  std::vector<std::string> LastLogLines(size_t count) override;
  void LogLine(const std::string& who, const std::string& text) override;
  void RequestStop() override;
  bool SaveImageTo(const std::string& id, const std::string& path, std::string* why) override;
  bool LoadImageFrom(const std::string& id, const std::string& path, std::string* why) override;

  // The camera session's port: the pipes, the stand-in, the registry, files.
  bool Send(uint64_t connection, std::span<const uint8_t> reply, std::string* why) override;
  void Close(uint64_t connection) override;
  bool AddInterface(std::string* where, std::string* error) override;
  void RemoveInterface() override;
  void StopListening() override;
  std::optional<uint32_t> ReadMachineDword(const std::string& key, const char* value) override;
  bool ImageFileMissing(const std::string& path) override;
  bool LoadImage(const std::string& path, size_t size, std::vector<uint8_t>* image,
                 std::string* error) override;
  bool SaveImage(const std::string& path, std::span<const uint8_t> image,
                 std::string* error) override;

 private:
  bool Setup(std::string* error);
  void Log(const std::string& text);
  bool Listen(int name, bool first, std::string* error);
  void Issue(Connection* c);
  void Close(Connection* c);
  Connection* Find(uint64_t id);
  Connection* Lookup(OVERLAPPED* overlapped, bool* write);
  void Reap();
  void KeepListening();
  void OnCompletion(Connection* c, bool ok, DWORD bytes, DWORD error);
  void OnWritten(Connection* c, bool ok);
  void StartWrite(Connection* c);
  void Drain();
  void OnMessage(Connection* c);
  bool WriteMessage(Connection* c, const void* data, size_t size, std::string* error);
  bool Plugged() const {
    return (session_ && session_->Plugged()) || (second_ && second_->Plugged());
  }
  CameraSession* SessionOf(const std::string& id) {
    return second_ && id == second_->Id() ? second_.get() : session_.get();
  }
  // The other camera of the two, when there is one and it is plugged in.
  CameraSession* OtherPlugged(const CameraSession* s) {
    CameraSession* other = s == session_.get() ? second_.get() : session_.get();
    return other && other->Plugged() ? other : nullptr;
  }
  unsigned DeviceOf(const CameraSession* s) const { return s == second_.get() ? 1 : 0; }
  // Whose a new connection is: the first camera plugged in, device by device.
  CameraSession* Answering() {
    return second_ && second_->Plugged() && !session_->Plugged() ? second_.get() : session_.get();
  }
  template <typename Visit>
  void ForEachSession(Visit visit) {
    for (CameraSession* s : {session_.get(), second_.get()}) {
      if (s) {
        visit(*s);
      }
    }
  }
  bool SetupSecond(const std::string& state, std::string* error);

  ServeOptions options_;
  const Sample* sample_ = nullptr;
  std::string service_;
  bool stopping_ = false;
  StandinControl control_;
  HANDLE port_ = nullptr;
  HANDLE exclusive_ = nullptr;
  FILE* logFile_ = nullptr;
  FrameLog log_;
  std::unique_ptr<CameraSession> session_;
  std::unique_ptr<CameraSession> second_;  // --second
  CameraSession* changing_ = nullptr;      // being plugged in or unplugged
  std::vector<std::unique_ptr<Connection>> connections_;
  uint64_t nextId_ = 1;
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
  if (exclusive_) {
    CloseHandle(exclusive_);
  }
  if (logFile_ && logFile_ != stderr) {
    std::fclose(logFile_);
  }
}

void Server::Log(const std::string& text) {
  LogLine(options_.Id, text);
}

void Server::LogLine(const std::string& who, const std::string& text) {
  log_.Text(who, text);
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
  c->id = nextId_++;
  c->pipe = pipe;
  c->name = name;
  c->op.connection = c.get();
  c->writeOp.connection = c.get();
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
    ForEachSession([&](CameraSession& s) { s.Closed(c->id, true); });
  }
  Close(c);
}

void Server::Close(Connection* c) {
  if (c->closing) {
    return;
  }
  c->closing = true;
  if (c->name != kControlName) {
    ForEachSession([&](CameraSession& s) { s.Closed(c->id, false); });
  }
  if (c->connected) {
    // The client's next transfer fails at once, also one already waiting.
    DisconnectNamedPipe(c->pipe);
  }
  if (c->pending || c->writing) {
    CancelIoEx(c->pipe, nullptr);
  }
}

void Server::Reap() {
  std::erase_if(connections_, [](const std::unique_ptr<Connection>& c) {
    if (!c->closing || c->pending || c->writing) {
      return false;
    }
    CloseHandle(c->pipe);
    return true;
  });
}

// Every pipe that should open has its listening instances again, once a
// client took one or a connection beyond the limit went away.
void Server::KeepListening() {
  int listening[kPipeCount + 1] = {};
  size_t open[2] = {};  // camera pipes, control pipe
  for (const auto& c : connections_) {
    if (!c->closing) {
      ++open[c->name == kControlName ? 1 : 0];
      listening[c->name] += c->connected ? 0 : 1;
    }
  }
  for (int name = 0; name <= kControlName; ++name) {
    const bool control = name == kControlName;
    const bool wanted = control || (Plugged() && !Answering()->faults().PipeFailed[name]);
    size_t& count = open[control ? 1 : 0];
    const size_t most = control ? kMaxControlConnections : kMaxCameraConnections;
    for (std::string why; wanted && listening[name] < kListenersPerPipe && count < most;
         ++listening[name], ++count) {
      if (!Listen(name, false, &why)) {
        Log("warning: " + why);
        break;
      }
    }
  }
}

Connection* Server::Find(uint64_t id) {
  for (auto& c : connections_) {
    if (c->id == id) {
      return c->closing ? nullptr : c.get();
    }
  }
  return nullptr;
}

Connection* Server::Lookup(OVERLAPPED* overlapped, bool* write) {
  for (auto& c : connections_) {
    *write = &c->writeOp.overlapped == overlapped;
    if (*write || &c->op.overlapped == overlapped) {
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
    if (c->name != kControlName) {
      ULONG pid = 0;
      GetNamedPipeClientProcessId(c->pipe, &pid);
      Answering()->Opened(c->id, c->name, pid);
    }
    Issue(c);
    return;
  }
  if (ok || error == ERROR_MORE_DATA) {
    const size_t room = c->buffer.size() - std::min(c->buffer.size(), c->message.size());
    c->message.insert(c->message.end(), c->buffer.begin(),
                      c->buffer.begin() + std::ptrdiff_t(std::min<size_t>(bytes, room)));
    c->messageSize += bytes;
    if (ok) {
      OnMessage(c);
      c->message.clear();
      c->messageSize = 0;
    }
    // After a line too long nothing more is read: the answer goes, then the pipe.
    if (!c->closing && !c->closeAfterWrite) {
      Issue(c);
    }
    return;
  }
  if (c->name != kControlName) {
    ForEachSession([&](CameraSession& s) { s.Closed(c->id, true); });
  }
  Close(c);
}

void Server::OnMessage(Connection* c) {
  if (c->name == kControlName) {
    // One message is one line.
    std::string answer;
    const std::string_view bytes(reinterpret_cast<const char*>(c->message.data()),
                                 c->message.size());
    const bool keep = ExecuteControlMessage(*this, bytes, c->messageSize, &answer);
    std::string why;
    if (!WriteMessage(c, answer.data(), answer.size(), &why)) {
      Close(c);
    } else if (!keep) {
      c->closeAfterWrite = true;
    }
    return;
  }
  // Each camera knows its own connections and passes over the others'.
  ForEachSession([&](CameraSession& s) { s.Received(c->id, c->message, c->messageSize); });
}

// A message goes out through the completion port like everything else: the
// server thread never waits for a client to read. A client that has let
// kMaxQueuedMessages pile up loses the next one.
bool Server::WriteMessage(Connection* c, const void* data, size_t size, std::string* error) {
  if (c->outbox.size() >= kMaxQueuedMessages) {
    *error = "the client does not read its replies";
    return false;
  }
  c->outbox.emplace_back(static_cast<const char*>(data), size);
  if (c->writing) {
    return true;
  }
  StartWrite(c);
  if (!c->writing) {
    *error = ErrorText(GetLastError());
    return false;
  }
  return true;
}

// Writes the oldest message of the outbox; its completion packet starts the next.
void Server::StartWrite(Connection* c) {
  c->writeOp.overlapped = OVERLAPPED{};
  const std::string& message = c->outbox.front();
  if (WriteFile(c->pipe, message.data(), DWORD(message.size()), nullptr, &c->writeOp.overlapped) ||
      GetLastError() == ERROR_IO_PENDING) {
    c->writing = true;
    return;
  }
  c->outbox.clear();
}

void Server::OnWritten(Connection* c, bool ok) {
  c->writing = false;
  if (!c->outbox.empty()) {
    c->outbox.pop_front();
  }
  if (c->closing) {
    return;
  }
  if (ok && !c->outbox.empty()) {
    StartWrite(c);
  }
  if (!ok || (c->outbox.empty() && c->closeAfterWrite)) {
    Close(c);
  }
}

// The answer to `stop`, and any other still on its way, goes out before the
// pipes close with the process.
void Server::Drain() {
  const ULONGLONG end = GetTickCount64() + kDrainMs;
  for (;;) {
    const bool writing = std::any_of(connections_.begin(), connections_.end(),
                                     [](const auto& c) { return c->writing; });
    const ULONGLONG now = GetTickCount64();
    if (!writing || now >= end) {
      return;
    }
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    const BOOL ok = GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, DWORD(end - now));
    if (!overlapped) {
      return;
    }
    bool write = false;
    if (Connection* c = Lookup(overlapped, &write)) {
      if (write) {
        OnWritten(c, ok);
      } else {
        c->pending = false;
      }
    }
  }
}

bool Server::Send(uint64_t connection, std::span<const uint8_t> reply, std::string* why) {
  Connection* c = Find(connection);
  if (!c) {
    *why = "the connection is gone";
    return false;
  }
  return WriteMessage(c, reply.data(), reply.size(), why);
}

void Server::Close(uint64_t connection) {
  if (Connection* c = Find(connection)) {
    Close(c);
  }
}

// With the other camera plugged in, the pipes are there already.
bool Server::AddInterface(std::string* where, std::string* error) {
  std::string why;
  error = error ? error : &why;
  const bool listening = OtherPlugged(changing_) != nullptr;
  for (int name = 0; name < kPipeCount && !listening; ++name) {
    for (int i = 0; i < kListenersPerPipe && !changing_->faults().PipeFailed[name]; ++i) {
      if (!Listen(name, false, error)) {
        StopListening();
        return false;
      }
    }
  }
  if (!control_.Plug(error, DeviceOf(changing_))) {
    StopListening();
    return false;
  }
  StandinStatus status;
  control_.Status(&status, &why, DeviceOf(changing_));
  *where = status.Interface;
  return true;
}

void Server::RemoveInterface() {
  std::string why;
  if (!control_.Unplug(&why, DeviceOf(changing_))) {
    Log("warning: " + why);
  }
}

// The pipes' listening instances go: nobody can open them any more. They stay
// while the other camera is plugged in.
void Server::StopListening() {
  if (OtherPlugged(changing_)) {
    return;
  }
  for (auto& c : connections_) {
    if (c->name != kControlName && !c->connected) {
      Close(c.get());
    }
  }
}

std::optional<uint32_t> Server::ReadMachineDword(const std::string& key, const char* value) {
  DWORD data = 0, type = 0, size = sizeof data;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_ANY, &type, &data, &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof data) {
    return std::nullopt;
  }
  return data;
}

bool Server::ImageFileMissing(const std::string& path) {
  return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
         GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool Server::LoadImage(const std::string& path, size_t size, std::vector<uint8_t>* image,
                       std::string* error) {
  return LoadImageFile(path, size, image, error);
}

bool Server::SaveImage(const std::string& path, std::span<const uint8_t> image,
                       std::string* error) {
  return SaveImageFile(path, image, error);
}

std::vector<ControlCamera> Server::ControlCameras() {
  std::vector<ControlCamera> cameras;
  ForEachSession([&](CameraSession& s) {
    StandinStatus status;
    std::string why;
    // As the program sees it: \\?\ for the kernel's \??\.
    std::string path = control_.Status(&status, &why, DeviceOf(&s)) ? status.Interface : why;
    if (path.compare(0, 4, "\\??\\") == 0) {
      path.replace(0, 4, "\\\\?\\");
    }
    cameras.push_back(s.Describe("cam" + std::to_string(DeviceOf(&s)), path));
  });
  return cameras;
}

// The commands only name cameras that ControlCameras lists.
bool Server::PlugById(const std::string& id, std::string* why) {
  changing_ = SessionOf(id);
  return changing_->Plug(why);
}

bool Server::UnplugById(const std::string& id, std::string* why) {
  changing_ = SessionOf(id);
  return changing_->Unplug(why);
}

// A failed pipe has no listening instance: opening it fails as a pipe that is
// not there. Whoever connected already keeps the connection.
bool Server::SetPipeFailedById(const std::string& id, int pipe, bool failed) {
  if (pipe < 0 || pipe >= kPipeCount) {
    return false;
  }
  CameraSession* s = SessionOf(id);
  const bool was = s->faults().PipeFailed[pipe];
  s->faults().PipeFailed[pipe] = failed;
  // The pipes are those of the camera that takes new connections.
  if (!s->Plugged() || s != Answering() || was == failed) {
    return true;
  }
  if (failed) {
    for (auto& c : connections_) {
      if (c->name == pipe && !c->connected) {
        Close(c.get());
      }
    }
    return true;
  }
  std::string why;
  for (int i = 0; i < kListenersPerPipe; ++i) {
    if (!Listen(pipe, false, &why)) {
      Log("cannot restore pipe " + std::to_string(pipe) + ": " + why);
      return false;
    }
  }
  return true;
}

std::vector<std::string> Server::LastLogLines(size_t count) {
  return log_.Last(count);
}

void Server::RequestStop() {
  ForEachSession([&](CameraSession& s) {
    if (s.Plugged()) {
      changing_ = &s;
      s.Unplug(nullptr);
    }
  });
  stopping_ = true;
}

bool Server::Setup(std::string* error) {
  sample_ = FindSample(options_.SampleName);
  if (!sample_) {
    *error = "no sample camera " + options_.SampleName + " (camsim samples lists them)";
    return false;
  }
  service_ = StandinService(*sample_);
  if (options_.LogPath.empty()) {
    logFile_ = stderr;
  } else if (!(logFile_ = std::fopen(options_.LogPath.c_str(), "a"))) {
    *error = "cannot open the log " + options_.LogPath;
    return false;
  }
  log_ = FrameLog([file = logFile_](const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
  });
  port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  if (!port_) {
    *error = "cannot make the completion port: " + ErrorText(GetLastError());
    return false;
  }
  // The pipe names are the Wine server's: a second server would share them.
  // Wine 8 does not refuse a second first instance of a pipe, so a mutex tells.
  exclusive_ = CreateMutexA(nullptr, FALSE, kServeMutex);
  if (!exclusive_ || GetLastError() == ERROR_ALREADY_EXISTS) {
    *error = "another camsim serves this Wine server";
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
  const std::string imagePath = state + "\\" + options_.Id + ".eeprom";
  std::vector<uint8_t> image;
  if (!StartImage(*this, *sample_, imagePath, &image, error)) {
    return false;
  }

  if (!EnsureStandinRunning(*sample_, error) || !control_.Open(service_, error)) {
    return false;
  }
  // A server that died left its cameras plugged in, with nobody behind the pipes.
  for (unsigned device = 0; device < CAMSIM_STANDIN_DEVICES; ++device) {
    StandinStatus status;
    if (control_.Status(&status, error, device) && status.Plugged) {
      control_.Unplug(error, device);
    }
  }
  session_ = std::make_unique<CameraSession>(options_.Id, *sample_, imagePath, std::move(image),
                                             *this, log_, ", driver service " + service_);
  changing_ = session_.get();
  if (!options_.SecondId.empty() && !SetupSecond(state, error)) {
    return false;
  }
  return options_.Unplugged || session_->Plug(error);
}

// The second camera starts unplugged, with an image of its own.
bool Server::SetupSecond(const std::string& state, std::string* error) {
  const std::string imagePath = state + "\\" + options_.SecondId + ".eeprom";
  std::vector<uint8_t> image;
  if (!StartImage(*this, *sample_, imagePath, &image, error)) {
    return false;
  }
  second_ = std::make_unique<CameraSession>(options_.SecondId, *sample_, imagePath,
                                            std::move(image), *this, log_,
                                            ", driver service " + service_ + ", second device");
  return true;
}

bool Server::SaveImageTo(const std::string& id, const std::string& path, std::string* why) {
  return SessionOf(id)->SaveImageTo(path, why);
}

bool Server::LoadImageFrom(const std::string& id, const std::string& path, std::string* why) {
  return SessionOf(id)->LoadImageFrom(path, why);
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
    const auto now = CameraSession::Clock::now();
    long long wait = MillisecondsUntil(session_->NextDue(), now);
    if (second_) {
      const long long other = MillisecondsUntil(second_->NextDue(), now);
      wait = wait < 0 || (other >= 0 && other < wait) ? other : wait;
    }
    const BOOL ok = GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped,
                                              wait < 0 ? INFINITE : DWORD(wait));
    const DWORD why = ok ? ERROR_SUCCESS : GetLastError();
    if (!overlapped && why == WAIT_TIMEOUT) {
      ForEachSession([](CameraSession& s) { s.FlushDue(CameraSession::Clock::now()); });
      continue;
    }
    if (!overlapped) {
      std::fprintf(stderr, "camsim: the completion port failed: %s\n", ErrorText(why).c_str());
      return 1;
    }
    bool write = false;
    if (Connection* c = Lookup(overlapped, &write)) {
      if (write) {
        OnWritten(c, ok);
      } else {
        OnCompletion(c, ok, bytes, why);
      }
    }
    ForEachSession([](CameraSession& s) { s.FlushDue(CameraSession::Clock::now()); });
    Reap();
    KeepListening();
  }
  Drain();
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
