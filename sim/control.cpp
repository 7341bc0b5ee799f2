// The control protocol: one command per line, answered by any number of lines
// and then "ok" or "error: <why>". Lines come from a socket anyone on the
// machine's account can write to, so nothing in them is trusted.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "sim/simulator_impl.h"

namespace camsim {
namespace {

constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxPendingOutput = 1 << 20;
constexpr size_t kDefaultLogLines = 20;

struct FaultForm {
  const char* Name;
  size_t Arguments;
};

constexpr FaultForm kFaultForms[] = {{"refuse", 2}, {"refuse-at", 2}, {"drop", 1},
                                     {"short", 2},  {"short-at", 2},  {"corrupt", 1},
                                     {"pipe", 2},   {"delay", 1},     {"clear", 0}};

bool IsFaultForm(const std::vector<std::string>& words, size_t at) {
  if (at >= words.size()) {
    return false;
  }
  for (const auto& form : kFaultForms) {
    if (words[at] == form.Name) {
      return words.size() - at - 1 == form.Arguments;
    }
  }
  return false;
}

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
    "  log [N]                      the last N frame log lines\n"
    "  samples | help | stop\n";

std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  for (char c : line) {
    if (c == ' ' || c == '\t' || c == '\r') {
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

}  // namespace

std::string Simulator::Impl::StatusLine(const Camera& camera) const {
  const char* write = !NeedsWritePermission(camera.kind) ? "not-needed"
                      : camera.Model.WriteAllowed()      ? "allowed"
                                                         : "denied";
  return camera.Id + " sample=" + camera.SampleName + " kind=" + KindName(camera.kind) +
         " class=" + std::to_string(ClassNumber(camera.kind)) + " instance=" + camera.Instance +
         " state=" + (camera.Plugged ? "plugged" : "unplugged") + " write=" + write +
         " transfers=" + std::to_string(camera.Transfers) + " faults=" + camera.faults.Describe();
}

std::string Simulator::Impl::DumpText(const Camera& camera) const {
  std::string out = "camera: " + camera.Id + " (sample " + camera.SampleName + ", " +
                    KindTitle(camera.kind) + ", class " + std::to_string(ClassNumber(camera.kind)) +
                    " " + ClassGuid(camera.kind) + ")\n";
  out += "interface: " + InterfaceDir(options.DeviceRoot, camera.kind, camera.Instance) + "\n";
  out += std::string("plugged: ") + (camera.Plugged ? "yes" : "no") + "\n";
  out += "write permission: ";
  if (!NeedsWritePermission(camera.kind)) {
    out += "not needed\n";
  } else {
    out += camera.Model.WriteAllowed() ? "allowed" : "not granted";
    out += " (read at the last plug-in)\n";
  }
  out += "transfers: " + std::to_string(camera.Transfers) + "\n";
  out += "faults: " + camera.faults.Describe() + "\n";
  out += "image: " + camera.ImagePath + "\n";
  out += DescribeImage(camera.kind, camera.Model.Image());
  return out;
}

std::string Simulator::Impl::Execute(std::string_view line) {
  for (unsigned char c : line) {
    if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7f) {
      return Failure("unreadable command " + Quoted(line));
    }
  }
  const std::vector<std::string> words = Words(line);
  if (words.empty()) {
    return Failure("empty command (try help)");
  }
  const std::string& command = words[0];
  std::string why;
  auto camera = [&](size_t at) -> Camera* {
    if (words.size() > at + 1) {
      why = "too many arguments";
      return nullptr;
    }
    return Find(words.size() > at ? words[at] : std::string(), &why);
  };

  if (command == "help") {
    return std::string(kHelp) + "ok\n";
  }
  if (command == "samples") {
    std::string out;
    for (const auto& sample : Samples()) {
      out += sample.Name + ": " + sample.Summary + "\n";
    }
    return out + "ok\n";
  }
  if (command == "status") {
    if (words.size() > 1) {
      return Failure("status takes no arguments");
    }
    std::string out;
    for (const auto& [id, cam] : Cameras) {
      out += StatusLine(*cam) + "\n";
    }
    return out + "ok\n";
  }
  if (command == "plug" || command == "unplug" || command == "dump") {
    Camera* cam = camera(1);
    if (!cam) {
      return Failure(why);
    }
    if (command == "dump") {
      return DumpText(*cam) + "ok\n";
    }
    const bool ok = command == "plug" ? PlugCamera(*cam, &why) : UnplugCamera(*cam, &why);
    return ok ? "ok\n" : Failure(why);
  }
  if (command == "log") {
    long count = kDefaultLogLines;
    if (words.size() > 2 ||
        (words.size() == 2 && !ParseNumber(words[1], 1, long(Recent.size()) + 1000, &count))) {
      return Failure("usage: log [N]");
    }
    std::string out;
    const size_t first = Recent.size() > size_t(count) ? Recent.size() - size_t(count) : 0;
    for (size_t i = first; i < Recent.size(); ++i) {
      out += Recent[i] + "\n";
    }
    return out + "ok\n";
  }
  if (command == "stop") {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(StopFd.Get(), &one, sizeof one);
    return "ok\n";
  }
  if (command != "fault") {
    return Failure("unknown command " + Quoted(command) + " (try help)");
  }

  // The camera id is optional, so the form decides: "fault clear" is the only
  // camera's, "fault clear clear" the faults of a camera called "clear".
  size_t at;
  std::string id;
  if (IsFaultForm(words, 1)) {
    at = 1;
  } else if (IsFaultForm(words, 2)) {
    at = 2;
    id = words[1];
  } else {
    return Failure(
        "usage: fault [ID] refuse N STATUS | refuse-at K STATUS | drop K | short N BYTES | "
        "short-at K BYTES | corrupt N | "
        "pipe N on|off | delay MS | clear");
  }
  Camera* cam = Find(id, &why);
  if (!cam) {
    return Failure(why);
  }
  const std::string& form = words[at];
  Faults& faults = cam->faults;
  long a = 0, b = 0;
  constexpr long kMany = 1000000;
  if (form == "refuse") {
    if (!ParseNumber(words[at + 1], 0, kMany, &a) || !ParseNumber(words[at + 2], 0, 255, &b)) {
      return Failure("usage: fault [ID] refuse N STATUS (STATUS 0..255, e.g. 0x81)");
    }
    faults.RefuseLeft = int(a);
    faults.RefuseStatus = uint8_t(b);
  } else if (form == "refuse-at") {
    if (!ParseNumber(words[at + 1], 0, kMany, &a) || !ParseNumber(words[at + 2], 0, 255, &b)) {
      return Failure("usage: fault [ID] refuse-at K STATUS (1 = the next command, 0 cancels)");
    }
    faults.RefuseIn = int(a);
    faults.RefuseAtStatus = uint8_t(b);
  } else if (form == "short-at") {
    if (!ParseNumber(words[at + 1], 0, kMany, &a) ||
        !ParseNumber(words[at + 2], 1, long(kMaxFrame), &b)) {
      return Failure("usage: fault [ID] short-at K BYTES (BYTES 1..64)");
    }
    faults.ShortIn = int(a);
    faults.ShortAtBytes = int(b);
  } else if (form == "drop") {
    if (!ParseNumber(words[at + 1], 0, kMany, &a)) {
      return Failure("usage: fault [ID] drop K (1 = the next command, 0 cancels)");
    }
    faults.DropIn = int(a);
  } else if (form == "short") {
    if (!ParseNumber(words[at + 1], 0, kMany, &a) ||
        !ParseNumber(words[at + 2], 1, long(kMaxFrame), &b)) {
      return Failure("usage: fault [ID] short N BYTES (BYTES 1..64)");
    }
    faults.ShortLeft = int(a);
    faults.ShortBytes = int(b);
  } else if (form == "corrupt") {
    if (!ParseNumber(words[at + 1], 0, kMany, &a)) {
      return Failure("usage: fault [ID] corrupt N");
    }
    faults.CorruptLeft = int(a);
  } else if (form == "pipe") {
    const std::string& state = words[at + 2];
    if (!ParseNumber(words[at + 1], 0, kPipeCount - 1, &a) || (state != "on" && state != "off")) {
      return Failure("usage: fault [ID] pipe N on|off (N 0, 1 or 2)");
    }
    if (!SetPipeFailed(*cam, int(a), state == "on")) {
      return Failure("cannot restore pipe " + std::to_string(a) + " (see the log)");
    }
  } else if (form == "delay") {
    if (!ParseNumber(words[at + 1], 0, 600000, &a)) {
      return Failure("usage: fault [ID] delay MS (0..600000)");
    }
    faults.DelayMs = int(a);
  } else {
    bool ok = true;
    for (int p = 0; p < kPipeCount; ++p) {
      ok = SetPipeFailed(*cam, p, false) && ok;
    }
    faults = Faults{};
    if (!ok) {
      return Failure("faults cleared, but a pipe could not be restored (see the log)");
    }
  }
  Log(cam->Id, "faults now " + faults.Describe());
  return cam->Id + " faults: " + faults.Describe() + "\nok\n";
}

bool Simulator::ServeControl(const std::string& path, std::string* error) {
  std::lock_guard lock(impl_->Mutex);
  auto fail = [&](const std::string& why) {
    if (error) {
      *error = why;
    }
    return false;
  };
  Impl& impl = *impl_;
  if (impl.ControlToken) {
    return fail("the control socket is open already at " + impl.ControlPath);
  }
  const std::string dir = DirName(path);
  std::string why;
  if (!MakeDirs(dir, 0700, &why)) {
    return fail(why);
  }
  UniqueFd dirFd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd) {
    return fail(dir + ": " + ErrnoText(errno));
  }
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    const int fd = ConnectUnixSocket(path, SOCK_STREAM);
    if (fd >= 0) {
      ::close(fd);
      return fail("another camsim serves " + path);
    }
    ::unlinkat(dirFd.Get(), BaseName(path).c_str(), 0);
  }
  const int fd = ListenUnixSocket(dirFd.Get(), dir, BaseName(path), SOCK_STREAM, &why);
  if (fd < 0) {
    return fail(why);
  }
  Impl::Entry entry;
  entry.role = Impl::Role::ControlListener;
  entry.fd = fd;
  impl.ControlToken = impl.Register(entry, EPOLLIN);
  if (!impl.ControlToken) {
    ::close(fd);
    ::unlinkat(dirFd.Get(), BaseName(path).c_str(), 0);
    return fail("epoll_ctl: " + ErrnoText(errno));
  }
  impl.ControlDirFd = std::move(dirFd);
  impl.ControlPath = path;
  impl.Log("control", "listening at " + path);
  return true;
}

void Simulator::Impl::OnControlAccept() {
  auto it = Entries.find(ControlToken);
  if (it == Entries.end()) {
    return;
  }
  const int listener = it->second.fd;
  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) {
        continue;
      }
      return;
    }
    Entry entry;
    entry.role = Role::Control;
    entry.fd = fd;
    if (Register(entry, EPOLLIN | EPOLLRDHUP) == 0) {
      ::close(fd);
    }
  }
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
        if (n == 0 && !entry.in.empty()) {
          entry.out += Execute(entry.in);
          entry.in.clear();
        }
        entry.closeAfterFlush = true;
        break;
      }
      entry.in.append(buffer, size_t(n));
      size_t newline;
      while ((newline = entry.in.find('\n')) != std::string::npos) {
        entry.out += Execute(std::string_view(entry.in).substr(0, newline));
        entry.in.erase(0, newline + 1);
      }
      if (entry.in.size() > kMaxLine) {
        entry.out += Failure("line longer than " + std::to_string(kMaxLine) + " bytes");
        entry.in.clear();
        entry.closeAfterFlush = true;
      }
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
