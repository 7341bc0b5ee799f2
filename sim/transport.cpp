// The POSIX transport of the cameras' pipes: the server loop, listening and
// accepting on each interface's three sockets, frames in and replies out.
// What a frame does is the frame engine's business (frame_engine.cpp).
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sim/simulator_impl.h"

namespace camsim {
namespace {

// Anything longer than a frame is refused anyway; this much is kept for the log.
constexpr size_t kReceiveBuffer = 256;

}  // namespace

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

void Simulator::Impl::AcceptOn(Camera& camera, int pipe) {
  const int listener = camera.Listeners[pipe];
  if (listener < 0) {
    return;
  }
  for (int fd; (fd = AcceptConnection(listener)) >= 0;) {
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
  History.Request(camera.Id, uint64_t(pid), frame, realSize);
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
  History.Reply(camera.Id, bytes, note);
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

}  // namespace camsim
