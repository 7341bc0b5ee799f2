#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "sim/simulator_impl.h"

namespace camsim {
namespace {

constexpr size_t kRecentLines = 2000;
// Anything longer than a frame is refused anyway; this much is kept for the log.
constexpr size_t kReceiveBuffer = 256;

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] == '.') {
    return false;
  }
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

std::runtime_error SystemFailure(const char* what) {
  return std::runtime_error(std::string("camsim: ") + what + ": " + ErrnoText(errno));
}

}  // namespace

Simulator::Impl::Impl(Options opts) : options(std::move(opts)) {
  if (options.DeviceRoot.empty()) {
    options.DeviceRoot = DefaultDeviceRoot();
  }
  if (options.MachineRegistry.empty()) {
    options.MachineRegistry = DefaultMachineRegistry();
  }
  if (options.StateDir.empty()) {
    options.StateDir = DefaultStateDir();
  }
  if (options.LogPath == "-") {
    LogToStderr = true;
  } else if (!options.LogPath.empty()) {
    LogFd.Reset(::open(options.LogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!LogFd) {
      throw SystemFailure(("cannot open the log " + options.LogPath).c_str());
    }
  }
  Epoll.Reset(::epoll_create1(EPOLL_CLOEXEC));
  WakeFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  StopFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!Epoll || !WakeFd || !StopFd) {
    throw SystemFailure("cannot create the server's descriptors");
  }
  Entry wake;
  wake.role = Role::Wake;
  wake.fd = WakeFd.Get();
  if (Register(wake, EPOLLIN) == 0) {
    throw SystemFailure("epoll_ctl");
  }
  Thread = std::thread([this] { Run(); });
}

Simulator::Impl::~Impl() {
  {
    std::lock_guard lock(Mutex);
    for (auto& [id, camera] : Cameras) {
      if (camera->Plugged) {
        UnplugCamera(*camera, nullptr);
      }
    }
    CloseControl();
    std::vector<uint64_t> left;
    for (const auto& [token, entry] : Entries) {
      if (entry.role != Role::Wake) {
        left.push_back(token);
      }
    }
    for (uint64_t token : left) {
      CloseEntry(token);
    }
    Stopping = true;
  }
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(WakeFd.Get(), &one, sizeof one);
  Thread.join();
}

void Simulator::Impl::Log(const std::string& who, const std::string& text) {
  std::string line = TimeStamp() + " " + who + ": " + text;
  Recent.push_back(line);
  if (Recent.size() > kRecentLines) {
    Recent.pop_front();
  }
  const int fd = LogToStderr ? STDERR_FILENO : LogFd.Get();
  if (fd >= 0) {
    line += '\n';
    [[maybe_unused]] ssize_t n = ::write(fd, line.data(), line.size());
  }
}

uint64_t Simulator::Impl::Register(Entry entry, uint32_t events) {
  const uint64_t token = NextToken++;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = token;
  if (::epoll_ctl(Epoll.Get(), EPOLL_CTL_ADD, entry.fd, &ev) != 0) {
    return 0;
  }
  Entries.emplace(token, std::move(entry));
  return token;
}

void Simulator::Impl::CloseEntry(uint64_t token) {
  auto it = Entries.find(token);
  if (it == Entries.end()) {
    return;
  }
  ::epoll_ctl(Epoll.Get(), EPOLL_CTL_DEL, it->second.fd, nullptr);
  if (it->second.role == Role::Pipe || it->second.role == Role::Control) {
    ::shutdown(it->second.fd, SHUT_RDWR);
  }
  ::close(it->second.fd);
  Entries.erase(it);
}

Camera* Simulator::Impl::Find(const std::string& id, std::string* error) {
  if (id.empty()) {
    if (Cameras.size() == 1) {
      return Cameras.begin()->second.get();
    }
    if (error) {
      if (Cameras.empty()) {
        *error = "no camera";
      } else {
        *error = "several cameras, name one of:";
        for (const auto& [name, camera] : Cameras) {
          *error += " " + name;
        }
      }
    }
    return nullptr;
  }
  auto it = Cameras.find(id);
  if (it == Cameras.end()) {
    if (error) {
      *error = "no camera " + id;
    }
    return nullptr;
  }
  return it->second.get();
}

bool Simulator::Impl::AddCamera(const std::string& id, const std::string& sampleName,
                                const std::string& instance, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) {
      *error = why;
    }
    return false;
  };
  if (!ValidName(id)) {
    return fail("camera id '" + id + "' is not usable: letters, digits, '-', '_', '.' only");
  }
  if (!ValidName(instance)) {
    return fail("instance name '" + instance + "' is not usable");
  }
  const Sample* sample = FindSample(sampleName);
  if (!sample) {
    return fail("no sample camera " + sampleName + " (camsim samples lists them)");
  }
  if (Cameras.count(id)) {
    return fail("camera " + id + " exists already");
  }
  for (const auto& [otherId, other] : Cameras) {
    if (other->kind == sample->kind && other->Instance == instance) {
      return fail("camera " + otherId + " already uses " +
                  InterfaceDir("", sample->kind, instance));
    }
  }
  std::string why;
  if (!MakeDirs(options.StateDir, 0700, &why)) {
    return fail(why);
  }
  const std::string imagePath = options.StateDir + "/" + id + ".eeprom";
  std::vector<uint8_t> image;
  struct stat st;
  if (::stat(imagePath.c_str(), &st) != 0 && errno == ENOENT) {
    image = SampleImage(*sample);
    if (!SaveImageFile(imagePath, image, &why)) {
      return fail(why);
    }
  } else if (!LoadImageFile(imagePath, EepromSize(sample->kind), &image, &why)) {
    return fail(why);
  }
  auto camera = std::make_unique<Camera>(id, *sample, instance,
                                         CameraModel(sample->kind, std::move(image)), imagePath);
  if (NeedsWritePermission(sample->kind)) {
    // Installing the driver creates its service key; the tool only adds a value.
    const uint16_t code = ModelCodeOf(camera->Model.Image());
    const std::string key = ServiceKeyPath(code);
    if (key.empty()) {
      Log(id, "warning: model code " + std::to_string(code) + " has no driver service key");
    } else if (!EnsureRegistryKey(options.MachineRegistry, key, &why)) {
      Log(id, "warning: " + why);
    }
  }
  // An installed driver's interface class exists before its first device
  // arrives, so a watch on it can be set up while nothing is plugged in.
  if (!MakeDirs(options.DeviceRoot, 0700, &why) ||
      !MakeDirs(options.DeviceRoot + "/" + ClassGuid(sample->kind), 0755, &why)) {
    Log(id, "warning: " + why);
  }
  Log(id, "added: sample " + sampleName + ", image " + imagePath);
  Cameras.emplace(id, std::move(camera));
  return true;
}

bool Simulator::Impl::OpenListener(Camera& camera, int pipe, const std::string& dir,
                                   std::string* error) {
  const int fd =
      ListenUnixSocket(camera.DirFd.Get(), dir, std::to_string(pipe), SOCK_SEQPACKET, error);
  if (fd < 0) {
    return false;
  }
  Entry entry;
  entry.role = Role::Listener;
  entry.fd = fd;
  entry.camera = &camera;
  entry.pipe = pipe;
  if (Register(entry, EPOLLIN) == 0) {
    if (error) {
      *error = "epoll_ctl: " + ErrnoText(errno);
    }
    ::close(fd);
    ::unlinkat(camera.DirFd.Get(), std::to_string(pipe).c_str(), 0);
    return false;
  }
  camera.Listeners[pipe] = fd;
  return true;
}

void Simulator::Impl::CloseListener(Camera& camera, int pipe) {
  if (camera.Listeners[pipe] < 0) {
    return;
  }
  for (const auto& [token, entry] : Entries) {
    if (entry.role == Role::Listener && entry.fd == camera.Listeners[pipe]) {
      CloseEntry(token);
      break;
    }
  }
  camera.Listeners[pipe] = -1;
  ::unlinkat(camera.DirFd.Get(), std::to_string(pipe).c_str(), 0);
}

// An interface directory that is in the way is a leftover of a simulator that
// died if none of its sockets accepts a connection.
static bool RemoveLeftover(const std::string& dir, std::string* error) {
  for (int p = 0; p < kPipeCount; ++p) {
    const int fd = ConnectUnixSocket(dir + "/" + std::to_string(p), SOCK_SEQPACKET);
    if (fd >= 0) {
      ::close(fd);
      if (error) {
        *error = dir + " is served by another simulator";
      }
      return false;
    }
  }
  for (int p = 0; p < kPipeCount; ++p) {
    ::unlink((dir + "/" + std::to_string(p)).c_str());
  }
  if (::rmdir(dir.c_str()) != 0) {
    if (error) {
      *error = dir + " is in the way: " + ErrnoText(errno);
    }
    return false;
  }
  return true;
}

bool Simulator::Impl::PlugCamera(Camera& camera, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) {
      *error = why;
    }
    return false;
  };
  if (camera.Plugged) {
    return fail(camera.Id + " is plugged in already");
  }
  bool allowed = false;
  std::string permission = "not needed";
  if (NeedsWritePermission(camera.kind)) {
    const std::string key = ServiceKeyPath(ModelCodeOf(camera.Model.Image()));
    const auto value = key.empty()
                           ? std::nullopt
                           : ReadRegistryDword(options.MachineRegistry, key, kWritePermissionValue);
    allowed = value && *value != 0;
    permission = allowed ? "allowed" : "not granted";
  }
  camera.Model.SetWriteAllowed(allowed);

  std::string why;
  const std::string classDir = options.DeviceRoot + "/" + ClassGuid(camera.kind);
  if (!MakeDirs(options.DeviceRoot, 0700, &why) || !MakeDirs(classDir, 0755, &why)) {
    return fail(why);
  }
  const std::string finalDir = classDir + "/" + camera.Instance;
  struct stat st;
  if (::lstat(finalDir.c_str(), &st) == 0 && !RemoveLeftover(finalDir, error)) {
    return false;
  }
  // Built under a hidden name and renamed into place, the interface appears to
  // a watcher in one step, with every socket already listening.
  const std::string tempDir = classDir + "/.plug-" + camera.Instance + "-" +
                              std::to_string(::getpid()) + "-" + std::to_string(NextTempName++);
  if (::mkdir(tempDir.c_str(), 0755) != 0) {
    return fail("cannot create " + tempDir + ": " + ErrnoText(errno));
  }
  camera.DirFd.Reset(::open(tempDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  bool ok = bool(camera.DirFd);
  if (!ok) {
    why = tempDir + ": " + ErrnoText(errno);
  }
  for (int p = 0; ok && p < kPipeCount; ++p) {
    if (!camera.faults.PipeFailed[p]) {
      ok = OpenListener(camera, p, tempDir, &why);
    }
  }
  if (ok && ::rename(tempDir.c_str(), finalDir.c_str()) != 0) {
    why = "cannot rename " + tempDir + " to " + finalDir + ": " + ErrnoText(errno);
    ok = false;
  }
  if (!ok) {
    for (int p = 0; p < kPipeCount; ++p) {
      CloseListener(camera, p);
    }
    ::rmdir(tempDir.c_str());
    camera.DirFd.Reset();
    return fail(why);
  }
  camera.DirPath = finalDir;
  camera.Plugged = true;
  Log(camera.Id, "plugged in at " + finalDir + ", EEPROM writes " + permission);
  return true;
}

bool Simulator::Impl::UnplugCamera(Camera& camera, std::string* error) {
  if (!camera.Plugged) {
    if (error) {
      *error = camera.Id + " is not plugged in";
    }
    return false;
  }
  const std::string classDir = DirName(camera.DirPath);
  const std::string hidden = classDir + "/.unplug-" + camera.Instance + "-" +
                             std::to_string(::getpid()) + "-" + std::to_string(NextTempName++);
  std::string dir = hidden;
  if (::rename(camera.DirPath.c_str(), hidden.c_str()) != 0) {
    Log(camera.Id, "warning: cannot rename " + camera.DirPath + ": " + ErrnoText(errno));
    dir = camera.DirPath;
  }
  CloseConnections(camera);
  for (int p = 0; p < kPipeCount; ++p) {
    CloseListener(camera, p);
  }
  if (::rmdir(dir.c_str()) != 0) {
    Log(camera.Id, "warning: cannot remove " + dir + ": " + ErrnoText(errno));
  }
  std::erase_if(Pending, [&](const PendingReply& r) { return r.camera == &camera; });
  camera.DirFd.Reset();
  camera.Plugged = false;
  Log(camera.Id, "unplugged");
  return true;
}

bool Simulator::Impl::SetPipeFailed(Camera& camera, int pipe, bool failed) {
  if (pipe < 0 || pipe >= kPipeCount) {
    return false;
  }
  camera.faults.PipeFailed[pipe] = failed;
  if (!camera.Plugged) {
    return true;
  }
  if (failed && camera.Listeners[pipe] >= 0) {
    // Whoever already connected has opened the pipe: let them in first.
    AcceptOn(camera, pipe);
    CloseListener(camera, pipe);
  } else if (!failed && camera.Listeners[pipe] < 0) {
    std::string why;
    if (!OpenListener(camera, pipe, camera.DirPath, &why)) {
      Log(camera.Id, "cannot restore pipe " + std::to_string(pipe) + ": " + why);
      return false;
    }
  }
  return true;
}

bool Simulator::Impl::PokeCamera(Camera& camera, uint32_t address, std::span<const uint8_t> bytes,
                                 std::string* error) {
  auto& image = camera.Model.MutableImage();
  if (uint64_t(address) + bytes.size() > image.size()) {
    if (error) {
      *error = "range outside the EEPROM";
    }
    return false;
  }
  const std::vector<uint8_t> before = image;
  std::copy(bytes.begin(), bytes.end(), image.begin() + address);
  if (!SaveImageFile(camera.ImagePath, image, error)) {
    image = before;
    return false;
  }
  Log(camera.Id, "poked " + std::to_string(bytes.size()) + " bytes at " + std::to_string(address));
  return true;
}

void Simulator::Impl::AcceptOn(Camera& camera, int pipe) {
  const int listener = camera.Listeners[pipe];
  if (listener < 0) {
    return;
  }
  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) {
        continue;
      }
      return;
    }
    ucred cred{};
    socklen_t size = sizeof cred;
    ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size);
    Entry entry;
    entry.role = Role::Pipe;
    entry.fd = fd;
    entry.camera = &camera;
    entry.pipe = pipe;
    entry.pid = cred.pid;
    entry.order = NextOrder++;
    if (Register(entry, EPOLLIN | EPOLLRDHUP) == 0) {
      ::close(fd);
      Log(camera.Id, "cannot watch a connection: " + ErrnoText(errno));
      continue;
    }
    Log(camera.Id, "pipe " + std::to_string(pipe) + " opened by pid " + std::to_string(cred.pid));
  }
}

void Simulator::Impl::AcceptPending(Camera& camera) {
  // A failed accept4 still costs the kernel a socket allocation: ask first
  // which queues hold anything, with one poll for all three.
  pollfd fds[kPipeCount];
  int count = 0;
  int pipes[kPipeCount];
  for (int p = 0; p < kPipeCount; ++p) {
    if (camera.Listeners[p] >= 0) {
      fds[count] = {camera.Listeners[p], POLLIN, 0};
      pipes[count++] = p;
    }
  }
  if (count == 0 || ::poll(fds, nfds_t(count), 0) <= 0) {
    return;
  }
  for (int i = 0; i < count; ++i) {
    if (fds[i].revents & POLLIN) {
      AcceptOn(camera, pipes[i]);
    }
  }
}

void Simulator::Impl::CloseConnections(Camera& camera) {
  // Connections still waiting in a listen queue count as open to the client.
  AcceptPending(camera);
  std::vector<uint64_t> tokens;
  for (const auto& [token, entry] : Entries) {
    if (entry.role == Role::Pipe && entry.camera == &camera) {
      tokens.push_back(token);
    }
  }
  for (uint64_t token : tokens) {
    CloseEntry(token);
  }
  if (!tokens.empty()) {
    Log(camera.Id, "closed " + std::to_string(tokens.size()) + " connection(s)");
  }
}

void Simulator::Impl::OnPipeEvent(uint64_t token, uint32_t events) {
  for (;;) {
    auto it = Entries.find(token);
    if (it == Entries.end()) {
      return;
    }
    Entry& entry = it->second;
    uint8_t buffer[kReceiveBuffer];
    iovec iov{buffer, sizeof buffer};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    const ssize_t n = ::recvmsg(entry.fd, &msg, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      const bool drained = errno == EAGAIN || errno == EWOULDBLOCK;
      if (!drained || (events & (EPOLLHUP | EPOLLERR))) {
        CloseEntry(token);
      }
      return;
    }
    if (n == 0) {
      // A zero-length message and the end of the stream read alike; only the
      // peer's shutdown tells them apart.
      pollfd pfd{entry.fd, POLLRDHUP, 0};
      if (::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
        Camera& camera = *entry.camera;
        Log(camera.Id,
            "pipe " + std::to_string(entry.pipe) + " closed by pid " + std::to_string(entry.pid));
        CloseEntry(token);
        return;
      }
    }
    const size_t kept = std::min(size_t(n), sizeof buffer);
    if (entry.pipe != 0) {
      Log(entry.camera->Id,
          "ignored " + std::to_string(n) + " bytes sent on pipe " + std::to_string(entry.pipe));
      continue;
    }
    HandleFrame(*entry.camera, entry.pid, std::span(buffer, kept), size_t(n));
    // The watch is level-triggered: a further frame wakes the loop again,
    // without a read that only says there is none.
    return;
  }
}

void Simulator::Impl::HandleFrame(Camera& camera, pid_t pid, std::span<const uint8_t> frame,
                                  size_t realSize) {
  Log(camera.Id, RequestLogText(uint64_t(pid), frame, realSize));
  FrameOutcome outcome = ServeFrame(camera.Model, camera.faults, frame,
                                    [&](std::span<const uint8_t> image, std::string* why) {
                                      return SaveImageFile(camera.ImagePath, image, why);
                                    });
  if (outcome.Dropped) {
    Log(camera.Id, kDropLogText);
    CloseConnections(camera);
    return;
  }
  ++camera.Transfers;
  if (camera.faults.DelayMs > 0) {
    PendingReply pending{Clock::now() + std::chrono::milliseconds(camera.faults.DelayMs), &camera,
                         pid, std::move(outcome.Reply), std::move(outcome.Note)};
    auto at = std::upper_bound(
        Pending.begin(), Pending.end(), pending.due,
        [](Clock::time_point due, const PendingReply& other) { return due < other.due; });
    Pending.insert(at, std::move(pending));
    return;
  }
  Deliver(camera, pid, outcome.Reply, outcome.Note);
}

void Simulator::Impl::Deliver(Camera& camera, pid_t pid, const std::vector<uint8_t>& bytes,
                              const std::string& note) {
  const auto findTarget = [&]() -> const Entry* {
    const Entry* target = nullptr;
    for (const auto& [token, entry] : Entries) {
      if (entry.role == Role::Pipe && entry.camera == &camera && entry.pipe == 1 &&
          entry.pid == pid && (!target || entry.order > target->order)) {
        target = &entry;
      }
    }
    return target;
  };
  const Entry* target = findTarget();
  if (!target) {
    // The client opened its data pipe before it sent the request; that
    // connection may still sit in the listen queue.
    AcceptPending(camera);
    target = findTarget();
  }
  if (!target) {
    Log(camera.Id, ReplyDroppedLogText(uint64_t(pid), bytes, note));
    return;
  }
  if (::send(target->fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
    Log(camera.Id, ReplyLostLogText(ErrnoText(errno), bytes, note));
    return;
  }
  Log(camera.Id, ReplyLogText(bytes, note));
}

void Simulator::Impl::FlushDue() {
  const auto now = Clock::now();
  while (!Pending.empty() && Pending.front().due <= now) {
    PendingReply reply = std::move(Pending.front());
    Pending.erase(Pending.begin());
    Deliver(*reply.camera, reply.pid, reply.bytes, reply.note);
  }
}

int Simulator::Impl::NextTimeoutMs() const {
  if (Pending.empty()) {
    return -1;
  }
  const auto left = Pending.front().due - Clock::now();
  if (left <= Clock::duration::zero()) {
    return 0;
  }
  return int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void Simulator::Impl::Run() {
  // The frame log may go to a pipe whose reader has left; in a host process
  // that kept SIGPIPE's default that must cost a log line, not the process.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
  epoll_event events[32];
  for (;;) {
    int timeout;
    {
      std::lock_guard lock(Mutex);
      if (Stopping) {
        return;
      }
      timeout = NextTimeoutMs();
    }
    const int n = ::epoll_wait(Epoll.Get(), events, 32, timeout);
    std::lock_guard lock(Mutex);
    if (Stopping) {
      return;
    }
    for (int i = 0; i < n; ++i) {
      const uint64_t token = events[i].data.u64;
      auto it = Entries.find(token);
      if (it == Entries.end()) {
        continue;
      }
      switch (it->second.role) {
        case Role::Wake: {
          uint64_t value;
          [[maybe_unused]] ssize_t r = ::read(it->second.fd, &value, sizeof value);
          break;
        }
        case Role::Listener:
          AcceptOn(*it->second.camera, it->second.pipe);
          break;
        case Role::Pipe:
          OnPipeEvent(token, events[i].events);
          break;
        case Role::ControlListener:
          OnControlAccept();
          break;
        case Role::Control:
          OnControlEvent(token, events[i].events);
          break;
      }
    }
    FlushDue();
  }
}

// ---------------------------------------------------------------------------

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() = default;

const std::string& Simulator::DeviceRoot() const {
  return impl_->options.DeviceRoot;
}
const std::string& Simulator::MachineRegistry() const {
  return impl_->options.MachineRegistry;
}
const std::string& Simulator::StateDir() const {
  return impl_->options.StateDir;
}

bool Simulator::Add(const std::string& id, const std::string& sample, std::string* error,
                    const std::string& instance) {
  std::lock_guard lock(impl_->Mutex);
  return impl_->AddCamera(id, sample, instance, error);
}

std::vector<std::string> Simulator::Cameras() {
  std::lock_guard lock(impl_->Mutex);
  std::vector<std::string> ids;
  for (const auto& [id, camera] : impl_->Cameras) {
    ids.push_back(id);
  }
  return ids;
}

bool Simulator::Has(const std::string& id) {
  std::lock_guard lock(impl_->Mutex);
  return impl_->Cameras.count(id) != 0;
}

std::optional<Kind> Simulator::KindOf(const std::string& id) {
  std::lock_guard lock(impl_->Mutex);
  auto it = impl_->Cameras.find(id);
  if (it == impl_->Cameras.end()) {
    return std::nullopt;
  }
  return it->second->kind;
}

// Applies fn to the camera named exactly id (no default camera here: a test
// that names the wrong camera should fail, not act on another one).
template <typename Fn>
static auto WithCamera(Simulator::Impl& impl, const std::string& id, Fn fn,
                       std::string* error = nullptr) -> decltype(fn(std::declval<Camera&>())) {
  std::lock_guard lock(impl.Mutex);
  Camera* camera = id.empty() ? nullptr : impl.Find(id, error);
  if (!camera) {
    if (error && id.empty()) {
      *error = "no camera id given";
    }
    return {};
  }
  return fn(*camera);
}

bool Simulator::Plug(const std::string& id, std::string* error) {
  return WithCamera(
      *impl_, id, [&](Camera& camera) { return impl_->PlugCamera(camera, error); }, error);
}

bool Simulator::Unplug(const std::string& id, std::string* error) {
  return WithCamera(
      *impl_, id, [&](Camera& camera) { return impl_->UnplugCamera(camera, error); }, error);
}

bool Simulator::IsPlugged(const std::string& id) {
  return WithCamera(*impl_, id, [](Camera& camera) { return camera.Plugged; });
}

std::string Simulator::InterfacePath(const std::string& id) {
  return WithCamera(*impl_, id, [&](Camera& camera) {
    return InterfaceDir(impl_->options.DeviceRoot, camera.kind, camera.Instance);
  });
}

std::vector<uint8_t> Simulator::Eeprom(const std::string& id) {
  return WithCamera(*impl_, id, [](Camera& camera) { return camera.Model.Image(); });
}

bool Simulator::Poke(const std::string& id, uint32_t address, std::span<const uint8_t> bytes,
                     std::string* error) {
  return WithCamera(
      *impl_, id, [&](Camera& camera) { return impl_->PokeCamera(camera, address, bytes, error); },
      error);
}

bool Simulator::WriteAllowed(const std::string& id) {
  return WithCamera(*impl_, id, [](Camera& camera) { return camera.Model.WriteAllowed(); });
}

bool Simulator::RefuseNext(const std::string& id, int count, uint8_t status) {
  if (count < 0) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.faults.RefuseLeft = count;
    camera.faults.RefuseStatus = status;
    return true;
  });
}

bool Simulator::DropAt(const std::string& id, int command) {
  if (command < 0) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.faults.DropIn = command;
    return true;
  });
}

bool Simulator::RefuseAt(const std::string& id, int command, uint8_t status) {
  if (command < 0) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.faults.RefuseIn = command;
    camera.faults.RefuseAtStatus = status;
    return true;
  });
}

bool Simulator::ShortAt(const std::string& id, int command, int bytes) {
  if (command < 0 || bytes < 1 || bytes > int(kMaxFrame)) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.faults.ShortIn = command;
    camera.faults.ShortAtBytes = bytes;
    return true;
  });
}

bool Simulator::ShortNext(const std::string& id, int count, int bytes) {
  if (count < 0 || bytes < 1 || bytes > int(kMaxFrame)) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.faults.ShortLeft = count;
    camera.faults.ShortBytes = bytes;
    return true;
  });
}

bool Simulator::CorruptNext(const std::string& id, int count) {
  if (count < 0) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.faults.CorruptLeft = count;
    return true;
  });
}

bool Simulator::FailPipe(const std::string& id, int pipe, bool on) {
  return WithCamera(*impl_, id,
                    [&](Camera& camera) { return impl_->SetPipeFailed(camera, pipe, on); });
}

bool Simulator::Delay(const std::string& id, int ms) {
  if (ms < 0) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.faults.DelayMs = ms;
    return true;
  });
}

bool Simulator::ClearFaults(const std::string& id) {
  return WithCamera(*impl_, id, [&](Camera& camera) {
    bool ok = true;
    for (int p = 0; p < kPipeCount; ++p) {
      ok = impl_->SetPipeFailed(camera, p, false) && ok;
    }
    camera.faults = Faults{};
    return ok;
  });
}

uint64_t Simulator::Transfers(const std::string& id) {
  return WithCamera(*impl_, id, [](Camera& camera) { return camera.Transfers; });
}

std::vector<std::string> Simulator::Log() {
  std::lock_guard lock(impl_->Mutex);
  return {impl_->Recent.begin(), impl_->Recent.end()};
}

std::string Simulator::Control(std::string_view line) {
  std::lock_guard lock(impl_->Mutex);
  return impl_->Execute(line);
}

int Simulator::StopRequestedFd() const {
  return impl_->StopFd.Get();
}

}  // namespace camsim
