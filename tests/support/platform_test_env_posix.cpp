#include "platform_test_env_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

PlatformTempDir::PlatformTempDir() {
  char pattern[] = "/tmp/pelwin-platform-XXXXXX";
  if (mkdtemp(pattern))
    Path_ = pattern;
}

PlatformTempDir::~PlatformTempDir() {
  std::error_code ignored;
  if (!Path_.empty())
    std::filesystem::remove_all(Path_, ignored);
}

PlatformScopedEnv::PlatformScopedEnv(const char* name, const char* value) : Name_(name) {
  const char* old = std::getenv(name);
  HadOld_ = old != nullptr;
  if (old)
    Old_ = old;
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

PlatformScopedEnv::~PlatformScopedEnv() {
  if (HadOld_)
    setenv(Name_.c_str(), Old_.c_str(), 1);
  else
    unsetenv(Name_.c_str());
}

PlatformSeqpacketServer::PlatformSeqpacketServer(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string dir = path.substr(0, slash), leaf = path.substr(slash + 1);
  const int dirfd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dirfd < 0)
    return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/%s", dirfd,
                leaf.c_str());
  Fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (Fd_ >= 0 && (bind(Fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                   listen(Fd_, 8) != 0)) {
    close(Fd_);
    Fd_ = -1;
  }
  close(dirfd);
}

PlatformSeqpacketServer::~PlatformSeqpacketServer() {
  if (Fd_ >= 0)
    close(Fd_);
}

int PlatformSeqpacketServer::Accept(int timeoutMs) {
  pollfd p{Fd_, POLLIN, 0};
  if (Fd_ < 0 || poll(&p, 1, timeoutMs) != 1)
    return -1;
  return accept4(Fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

std::string PlatformMakeDirectory(const std::string& path) {
  std::error_code ignored;
  std::filesystem::create_directories(path, ignored);
  return path;
}

PlatformFakeLoop::PlatformFakeLoop() : Previous_(PosixGetLoop()) {
  PosixSetLoop(this);
}

PlatformFakeLoop::~PlatformFakeLoop() {
  if (PosixGetLoop() == this)
    PosixSetLoop(Previous_);
}

void PlatformFakeLoop::WatchFd(int fd, ReadyFn ready, void* data) {
  Watches[fd] = {ready, data};
}

void PlatformFakeLoop::UnwatchFd(int fd) {
  Watches.erase(fd);
}

bool PlatformFakeLoop::DeliverMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  TMessage m{hwnd, msg, wParam, {}, 0, 0, {}};
  if (msg == WM_DEVICECHANGE && lParam) {
    const auto* b = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam);
    m.Size = b->dbcc_size;
    m.DeviceType = b->dbcc_devicetype;
    m.ClassGuid = b->dbcc_classguid;
    m.Name = b->dbcc_name;
  }
  Messages.push_back(m);
  if (OnMessage)
    OnMessage(m);
  return true;
}

int PlatformFakeLoop::Pump(int timeoutMs) {
  std::vector<pollfd> fds;
  for (const auto& [fd, watch] : Watches)
    fds.push_back({fd, POLLIN, 0});
  if (fds.empty() || poll(fds.data(), fds.size(), timeoutMs) <= 0)
    return 0;
  int ran = 0;
  for (const pollfd& p : fds) {
    if (!(p.revents & POLLIN))
      continue;
    // A callback may have changed the watches: run only what is still watched.
    auto it = Watches.find(p.fd);
    if (it == Watches.end())
      continue;
    const TWatch watch = it->second;
    watch.Ready(p.fd, watch.Data);
    ++ran;
  }
  return ran;
}

bool PlatformFakeLoop::PumpUntil(std::size_t count, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Messages.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return false;
    Pump(static_cast<int>(left.count()));
  }
  return true;
}
