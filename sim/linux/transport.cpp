// The POSIX transport of the cameras' pipes: the server loop, listening and
// accepting on each interface's three sockets, messages in and replies out.
// What a message does, and where its reply goes, is the camera's session's
// business (sim/core/session.cpp).
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sim/linux/simulator_impl.h"

namespace camsim {

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
  if (it->second.role == Role::Pipe) {
    it->second.camera->Session.Closed(token, false);
  }
  if (it->second.role == Role::Pipe || it->second.role == Role::Control) {
    ::shutdown(it->second.fd, SHUT_RDWR);
  }
  ::close(it->second.fd);
  Entries.erase(it);
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
    Fail(error, "epoll_ctl: " + ErrnoText(errno));
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

void Simulator::Impl::Accept(int listener, Camera* camera, int pipe) {
  for (int fd; listener >= 0 && (fd = AcceptConnection(listener)) >= 0;) {
    Entry entry;
    entry.role = camera ? Role::Pipe : Role::Control;
    entry.fd = fd;
    entry.camera = camera;
    entry.pipe = pipe;
    const uint64_t token = Register(entry, EPOLLIN | EPOLLRDHUP);
    if (token == 0 && camera) {
      camera->Session.Log("cannot watch a connection: " + ErrnoText(errno));
    }
    if (token == 0) {
      ::close(fd);
    } else if (camera) {
      ucred cred{};
      socklen_t size = sizeof cred;
      ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size);
      camera->Session.Opened(token, pipe, uint64_t(cred.pid));
    }
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
      Accept(camera.Listeners[pipes[i]], &camera, pipes[i]);
    }
  }
}

void Simulator::Impl::EndPipe(uint64_t token, bool byClient) {
  auto it = Entries.find(token);
  if (it != Entries.end()) {
    it->second.camera->Session.Closed(token, byClient);
    CloseEntry(token);
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
        EndPipe(token, false);
      }
      return;
    }
    if (n == 0) {
      // A zero-length message and the end of the stream read alike; only the
      // peer's shutdown tells them apart.
      pollfd pfd{entry.fd, POLLRDHUP, 0};
      if (::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
        EndPipe(token, true);
        return;
      }
    }
    const size_t kept = std::min(size_t(n), sizeof buffer);
    const bool frame = entry.pipe == 0;
    entry.camera->Session.Received(token, std::span(buffer, kept), size_t(n));
    if (frame) {
      // The watch is level-triggered: a further frame wakes the loop again,
      // without a read that only says there is none.
      return;
    }
  }
}

// The session's port, on sockets.

bool Camera::Send(uint64_t connection, std::span<const uint8_t> reply, std::string* why) {
  auto it = simulator.Entries.find(connection);
  if (it == simulator.Entries.end()) {
    return Fail(why, "connection gone");
  }
  if (::send(it->second.fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
    return Fail(why, ErrnoText(errno));
  }
  return true;
}

void Camera::Close(uint64_t connection) {
  simulator.CloseEntry(connection);
}

void Camera::ReportWaiting() {
  simulator.AcceptPending(*this);
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
      timeout = int(std::min<long long>(MillisecondsToNextDue(), 1 << 30));
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
        case Role::ControlListener:
          Accept(it->second.fd, it->second.camera, it->second.pipe);
          break;
        case Role::Pipe:
          OnPipeEvent(token, events[i].events);
          break;
        case Role::Control:
          OnControlEvent(token, events[i].events);
          break;
      }
    }
    FlushDue();
  }
}

}  // namespace camsim
