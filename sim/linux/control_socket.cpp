// The control socket: a SOCK_STREAM socket that takes command lines and
// answers each with ExecuteControl's text. Clients are anyone on the
// machine's account, so lines and pending output are bounded.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sim/linux/simulator_impl.h"

namespace camsim {
namespace {

constexpr size_t kMaxPendingOutput = 1 << 20;

}  // namespace

bool Simulator::ServeControl(const std::string& path, std::string* error) {
  std::lock_guard lock(impl_->Mutex);
  Impl& impl = *impl_;
  if (impl.ControlToken) {
    return Fail(error, "the control socket is open already at " + impl.ControlPath);
  }
  const std::string dir = DirName(path);
  std::string why;
  if (!MakeDirs(dir, 0700, &why)) {
    return Fail(error, why);
  }
  UniqueFd dirFd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd) {
    return Fail(error, dir + ": " + ErrnoText(errno));
  }
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    const int fd = ConnectUnixSocket(path, SOCK_STREAM);
    if (fd >= 0) {
      ::close(fd);
      return Fail(error, "another camsim serves " + path);
    }
    ::unlinkat(dirFd.Get(), BaseName(path).c_str(), 0);
  }
  const int fd = ListenUnixSocket(dirFd.Get(), dir, BaseName(path), SOCK_STREAM, &why);
  if (fd < 0) {
    return Fail(error, why);
  }
  Impl::Entry entry;
  entry.role = Impl::Role::ControlListener;
  entry.fd = fd;
  impl.ControlToken = impl.Register(entry, EPOLLIN);
  if (!impl.ControlToken) {
    ::close(fd);
    ::unlinkat(dirFd.Get(), BaseName(path).c_str(), 0);
    return Fail(error, "epoll_ctl: " + ErrnoText(errno));
  }
  impl.ControlDirFd = std::move(dirFd);
  impl.ControlPath = path;
  impl.LogLine("control", "listening at " + path);
  return true;
}

void Simulator::Impl::OnControlEvent(uint64_t token, uint32_t events) {
  auto it = Entries.find(token);
  if (it == Entries.end()) {
    return;
  }
  Entry& entry = it->second;
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
    while (!entry.closeAfterFlush) {
      char buffer[4096];
      const ssize_t n = ::recv(entry.fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        break;
      }
      if (n <= 0) {
        // A last line without its newline still counts once the client is done.
        if (n == 0) {
          entry.lines.End(*this, &entry.out);
        }
        entry.closeAfterFlush = true;
        break;
      }
      entry.closeAfterFlush =
          !entry.lines.Feed(*this, std::string_view(buffer, size_t(n)), &entry.out);
    }
  }
  FlushControl(token);
}

void Simulator::Impl::FlushControl(uint64_t token) {
  auto it = Entries.find(token);
  if (it == Entries.end()) {
    return;
  }
  Entry& entry = it->second;
  while (!entry.out.empty()) {
    const ssize_t n =
        ::send(entry.fd, entry.out.data(), entry.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    }
    if (n < 0) {
      CloseEntry(token);
      return;
    }
    entry.out.erase(0, size_t(n));
  }
  if (entry.out.size() > kMaxPendingOutput || (entry.out.empty() && entry.closeAfterFlush)) {
    CloseEntry(token);
    return;
  }
  // A client that has finished sending is only waited on for output.
  epoll_event ev{};
  ev.data.u64 = token;
  ev.events = (entry.closeAfterFlush ? 0u : uint32_t(EPOLLIN | EPOLLRDHUP)) |
              (entry.out.empty() ? 0u : uint32_t(EPOLLOUT));
  ::epoll_ctl(Epoll.Get(), EPOLL_CTL_MOD, entry.fd, &ev);
}

void Simulator::Impl::CloseControl() {
  std::vector<uint64_t> tokens;
  for (const auto& [token, entry] : Entries) {
    if (entry.role == Role::Control || entry.role == Role::ControlListener) {
      tokens.push_back(token);
    }
  }
  for (uint64_t token : tokens) {
    auto& entry = Entries.at(token);
    if (!entry.out.empty()) {
      [[maybe_unused]] ssize_t n =
          ::send(entry.fd, entry.out.data(), entry.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    CloseEntry(token);
  }
  if (ControlToken) {
    ::unlinkat(ControlDirFd.Get(), BaseName(ControlPath).c_str(), 0);
    ::rmdir(DirName(ControlPath).c_str());
    ControlToken = 0;
    ControlDirFd.Reset();
  }
}

}  // namespace camsim
