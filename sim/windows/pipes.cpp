// camsim.exe's transport: the named pipes 0, 1 and 2 (message mode) that
// pelwin.exe reaches through an interface path + "\0", "\1", "\2", and the
// control pipe. Every connection is served by one thread from one I/O
// completion port, in the order in which things happened. A client opens its
// data pipe before it sends a request, so the data pipe's connection is known
// by the time the request is read. What a message does and which connection
// gets the reply is the camera session's business (sim/core/session.cpp), as on
// Linux; a reply reaches its client through StandinCamera::Send.
#include <algorithm>
#include <cstdio>

#include "sim/core/control.h"
#include "sim/windows/standin.h"

namespace camsim::win {
namespace {

// One byte more than a control line may have, so that a longer one shows.
constexpr DWORD kControlBuffer = kMaxControlLine + 1;
constexpr DWORD kPipeBufferSize = 64 * 1024;
// Listening instances kept per pipe name, so that a client opening a pipe again
// at once never finds none (ERROR_PIPE_BUSY).
constexpr int kListenersPerPipe = 2;
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

}  // namespace

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
    return Fail(error,
                first && why == ERROR_ACCESS_DENIED
                    ? "another camsim serves this Wine server (" + PipeName(name) + " is taken)"
                    : "cannot make the pipe " + PipeName(name) + ": " + ErrorText(why));
  }
  if (!CreateIoCompletionPort(pipe, port_, 0, 0)) {
    Fail(error, "CreateIoCompletionPort: " + ErrorText(GetLastError()));
    CloseHandle(pipe);
    return false;
  }
  auto c = std::make_unique<Connection>();
  c->id = nextId_++;
  c->pipe = pipe;
  c->name = name;
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
  c->op = OVERLAPPED{};
  if (!c->connected) {
    if (ConnectNamedPipe(c->pipe, &c->op) || GetLastError() == ERROR_IO_PENDING) {
      c->pending = true;
      return;
    }
    if (GetLastError() == ERROR_PIPE_CONNECTED) {
      // The client came between the pipe's creation and this call: no packet.
      c->pending = PostQueuedCompletionStatus(port_, 0, 0, &c->op);
      if (c->pending) {
        return;
      }
    }
    Warn("cannot wait on " + PipeName(c->name) + ": " + ErrorText(GetLastError()));
    Close(c);
    return;
  }
  if (ReadFile(c->pipe, c->buffer.data(), DWORD(c->buffer.size()), nullptr, &c->op) ||
      GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA) {
    c->pending = true;
    return;
  }
  Close(c, true);
}

// Every camera forgets the connection (when the client hung up, the one that
// had it logs so), then it closes.
void Server::Close(Connection* c, bool byClient) {
  if (c->closing) {
    return;
  }
  c->closing = true;
  if (c->name != kControlName) {
    for (const auto& camera : All()) {
      camera->Session.Closed(c->id, byClient);
    }
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

// Tops the pipe's listening instances up to kListenersPerPipe, as far as the
// connections of its sort (camera pipes, control pipe) may go.
bool Server::TopUp(int name, std::string* error) {
  const bool control = name == kControlName;
  int listening = 0;
  size_t open = 0;
  for (const auto& c : connections_) {
    if (!c->closing && (c->name == kControlName) == control) {
      ++open;
      listening += c->name == name && !c->connected ? 1 : 0;
    }
  }
  const size_t most = control ? kMaxControlConnections : kMaxCameraConnections;
  for (; listening < kListenersPerPipe && open < most; ++listening, ++open) {
    if (!Listen(name, false, error)) {
      return false;
    }
  }
  return true;
}

// Every pipe that should open has its listening instances again, once a
// client took one or a connection beyond the limit went away.
void Server::KeepListening() {
  const CameraSession& answering = Answering();
  for (int name = 0; name <= kControlName; ++name) {
    const bool wanted =
        name == kControlName || (answering.Plugged() && !answering.faults().PipeFailed[name]);
    std::string why;
    if (wanted && !TopUp(name, &why)) {
      Warn(why);
    }
  }
}

bool Server::ListenFor(const CameraSlot& camera, std::string* error) {
  for (int name = 0; name < kPipeCount && !OtherPlugged(camera); ++name) {
    if (!camera.Session.faults().PipeFailed[name] && !TopUp(name, error)) {
      StopListeningFor(camera);
      return false;
    }
  }
  return true;
}

void Server::StopListeningFor(const CameraSlot& camera) {
  if (OtherPlugged(camera)) {
    return;
  }
  for (auto& c : connections_) {
    if (c->name != kControlName && !c->connected) {
      Close(c.get());
    }
  }
}

// A failed pipe has no listening instance: opening it fails as a pipe that is
// not there. The pipes are those of the camera that takes new connections.
bool Server::SetPipeOpen(const CameraSlot& camera, int pipe, bool open, std::string* why) {
  if (&camera.Session != &Answering()) {
    return true;
  }
  for (auto& c : connections_) {
    if (!open && c->name == pipe && !c->connected) {
      Close(c.get());
    }
  }
  return open ? TopUp(pipe, why) : true;
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
    *write = &c->writeOp == overlapped;
    if (*write || &c->op == overlapped) {
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
      Answering().Opened(c->id, c->name, pid);
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
  Close(c, true);
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
  for (const auto& camera : All()) {
    camera->Session.Received(c->id, c->message, c->messageSize);
  }
}

// A message goes out through the completion port like everything else: the
// server thread never waits for a client to read. A client that has let
// kMaxQueuedMessages pile up loses the next one.
bool Server::WriteMessage(Connection* c, const void* data, size_t size, std::string* error) {
  if (c->outbox.size() >= kMaxQueuedMessages) {
    return Fail(error, "the client does not read its replies");
  }
  c->outbox.emplace_back(static_cast<const char*>(data), size);
  if (c->writing) {
    return true;
  }
  StartWrite(c);
  if (!c->writing) {
    return Fail(error, ErrorText(GetLastError()));
  }
  return true;
}

// Writes the oldest message of the outbox; its completion packet starts the next.
void Server::StartWrite(Connection* c) {
  c->writeOp = OVERLAPPED{};
  const std::string& message = c->outbox.front();
  if (WriteFile(c->pipe, message.data(), DWORD(message.size()), nullptr, &c->writeOp) ||
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
  auto writing = [&] {
    return std::any_of(connections_.begin(), connections_.end(),
                       [](const auto& c) { return c->writing; });
  };
  DWORD why;
  for (ULONGLONG now;
       writing() && (now = GetTickCount64()) < end && Complete(DWORD(end - now), true, &why);) {
  }
}

// Waits up to wait ms for one operation to end, and hands its end on (once the
// server drains, only a write's); false when none ended, *why says why.
bool Server::Complete(DWORD wait, bool draining, DWORD* why) {
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  OVERLAPPED* overlapped = nullptr;
  const BOOL ok = GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, wait);
  *why = ok ? ERROR_SUCCESS : GetLastError();
  bool write = false;
  Connection* c = overlapped ? Lookup(overlapped, &write) : nullptr;
  if (c && write) {
    OnWritten(c, ok);
  } else if (c && draining) {
    c->pending = false;
  } else if (c) {
    OnCompletion(c, ok, bytes, *why);
  }
  return overlapped != nullptr;
}

// A reply reaches its client here: one message queued on the connection.
bool StandinCamera::Send(uint64_t connection, std::span<const uint8_t> reply, std::string* why) {
  Connection* c = server_.Find(connection);
  if (!c) {
    return Fail(why, "the connection is gone");
  }
  return server_.WriteMessage(c, reply.data(), reply.size(), why);
}

void StandinCamera::Close(uint64_t connection) {
  if (Connection* c = server_.Find(connection)) {
    server_.Close(c);
  }
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
    const long long wait = MillisecondsToNextDue();
    DWORD why;
    if (!Complete(wait < 0 ? INFINITE : DWORD(wait), false, &why) && why != WAIT_TIMEOUT) {
      std::fprintf(stderr, "camsim: the completion port failed: %s\n", ErrorText(why).c_str());
      return 1;
    }
    FlushDue();
    Reap();
    KeepListening();
  }
  Drain();
  return 0;
}

}  // namespace camsim::win
