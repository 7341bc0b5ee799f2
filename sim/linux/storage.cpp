#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "sim/linux/simulator.h"

namespace camsim {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Reset(other.Release());
  }
  return *this;
}

int UniqueFd::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = fd;
}

std::string ErrnoText(int error) {
  return std::strerror(error);
}

std::string DirName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool MakeDirs(const std::string& path, mode_t mode, std::string* error) {
  if (path.empty()) {
    return Fail(error, "empty directory path");
  }
  for (size_t pos = 0; pos != std::string::npos;) {
    pos = path.find('/', pos + 1);
    const std::string part = path.substr(0, pos);
    if (!part.empty() && part.back() != '/' && ::mkdir(part.c_str(), mode) != 0 &&
        errno != EEXIST) {
      return Fail(error, "cannot create " + part + ": " + ErrnoText(errno));
    }
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return Fail(error, path + " is not a directory");
  }
  return true;
}

namespace {

// A close-on-exec socket of the type, and in *address where <dir>/<name> is
// reached: sun_path holds 108 bytes, so a longer path goes through
// /proc/self/fd of dirFd, a descriptor on dir.
int UnixSocket(int dirFd, const std::string& dir, const std::string& name, int type,
               sockaddr_un* address, std::string* error) {
  std::string path = dir + "/" + name;
  if (path.size() >= sizeof address->sun_path) {
    path = "/proc/self/fd/" + std::to_string(dirFd) + "/" + name;
  }
  *address = {};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) {
    Fail(error, "socket path too long: " + dir + "/" + name);
    return -1;
  }
  std::memcpy(address->sun_path, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Fail(error, "socket: " + ErrnoText(errno));
  }
  return fd;
}

// Reads until size bytes, the end of the file or an error: how many came, or -1.
ssize_t ReadUpTo(int fd, void* to, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, static_cast<char*>(to) + done, size - done);
    if (n < 0 && errno != EINTR) {
      return -1;
    }
    if (n == 0) {
      break;
    }
    done += n > 0 ? size_t(n) : 0;
  }
  return ssize_t(done);
}

}  // namespace

int ListenUnixSocket(int dirFd, const std::string& dir, const std::string& name, int type,
                     std::string* error) {
  sockaddr_un address;
  UniqueFd fd(UnixSocket(dirFd, dir, name, type | SOCK_NONBLOCK, &address, error));
  if (fd && (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
             ::listen(fd.Get(), 64) != 0)) {
    Fail(error, "cannot listen at " + dir + "/" + name + ": " + ErrnoText(errno));
    return -1;
  }
  return fd.Release();
}

int AcceptConnection(int listener) {
  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0 || (errno != EINTR && errno != ECONNABORTED)) {
      return fd;
    }
  }
}

int ConnectUnixSocket(const std::string& path, int type, std::string* error) {
  const std::string dir = DirName(path);
  UniqueFd dirFd;
  if (path.size() >= sizeof(sockaddr_un::sun_path)) {
    dirFd.Reset(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd) {
      Fail(error, dir + ": " + ErrnoText(errno));
      return -1;
    }
  }
  sockaddr_un address;
  UniqueFd fd(UnixSocket(dirFd.Get(), dir, BaseName(path), type, &address, error));
  int rc = -1;
  while (fd &&
         (rc = ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address)) != 0 &&
         errno == EINTR) {
  }
  if (fd && rc != 0) {
    Fail(error, path + ": " + ErrnoText(errno));
    return -1;
  }
  return fd.Release();
}

bool ImageFileMissing(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) != 0 && errno == ENOENT;
}

bool LoadImageFile(const std::string& path, size_t expectedSize, std::vector<uint8_t>* image,
                   std::string* error) {
  auto fail = [&](const std::string& why) {
    return Fail(error, path + ": " + why + "; the file is left as it is");
  };
  // Non-blocking, so that a FIFO in its place fails below instead of waiting for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    return fail("cannot open: " + ErrnoText(errno));
  }
  struct stat st;
  if (::fstat(fd.Get(), &st) != 0) {
    return fail("cannot stat: " + ErrnoText(errno));
  }
  if (!S_ISREG(st.st_mode)) {
    return fail("not a regular file");
  }
  if (size_t(st.st_size) != expectedSize) {
    return fail("holds " + std::to_string(st.st_size) + " bytes, this camera's EEPROM has " +
                std::to_string(expectedSize));
  }
  std::vector<uint8_t> bytes(expectedSize);
  const ssize_t n = ReadUpTo(fd.Get(), bytes.data(), expectedSize);
  if (n < 0) {
    return fail("cannot read: " + ErrnoText(errno));
  }
  if (size_t(n) < expectedSize) {
    return fail("shrank while being read");
  }
  *image = std::move(bytes);
  return true;
}

bool SaveImageFile(const std::string& path, std::span<const uint8_t> image, std::string* error) {
  std::string temp = DirName(path) + "/." + BaseName(path) + ".XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) {
    return Fail(error, "cannot create a temporary file beside " + path + ": " + ErrnoText(errno));
  }
  auto fail = [&](const std::string& why) {
    const int saved = errno;
    ::unlink(temp.c_str());
    return Fail(error, why + ErrnoText(saved));
  };
  for (size_t done = 0; done < image.size();) {
    const ssize_t n = ::write(fd.Get(), image.data() + done, image.size() - done);
    if (n < 0 && errno != EINTR) {
      return fail("cannot write " + temp + ": ");
    }
    done += n > 0 ? size_t(n) : 0;
  }
  if (::fsync(fd.Get()) != 0) {
    return fail("cannot write " + temp + ": ");
  }
  fd.Reset();
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    return fail("cannot replace " + path + ": ");
  }
  // The rename itself must survive a power cut too.
  UniqueFd dir(::open(DirName(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) {
    ::fsync(dir.Get());
  }
  return true;
}

std::string RegistryKeyDir(const std::string& root, std::string_view keyPath) {
  std::string dir = root;
  for (char c : keyPath) {
    dir += c == '\\' ? '/' : c;
  }
  if (!keyPath.empty() && keyPath.front() != '\\') {
    dir.insert(root.size(), "/");
  }
  return dir;
}

bool EnsureRegistryKey(const std::string& root, std::string_view keyPath, std::string* error) {
  return MakeDirs(RegistryKeyDir(root, keyPath), 0755, error);
}

std::optional<uint32_t> ReadRegistryDword(const std::string& root, std::string_view keyPath,
                                          std::string_view valueName) {
  // Below the root, a symbolic link is neither a key nor a value: the tool
  // reads them the same way, so both see the same permission.
  UniqueFd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string_view rest = keyPath;
  while (fd && !rest.empty()) {
    const size_t end = rest.find('\\');
    const std::string name(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (name.empty() || name == "." || name == "..") {
      return std::nullopt;
    }
    fd.Reset(::openat(fd.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  if (!fd) {
    return std::nullopt;
  }
  fd.Reset(::openat(fd.Get(), std::string(valueName).c_str(),
                    O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
  if (!fd) {
    return std::nullopt;
  }
  struct stat st;
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return std::nullopt;
  }
  constexpr ssize_t kSize = 15;  // "dword:" + 8 digits + "\n"
  char text[kSize + 1];
  // Eight lower-case hexadecimal digits and nothing else.
  const std::string_view digits(text + 6, 8);
  uint32_t value = 0;
  if (ReadUpTo(fd.Get(), text, sizeof text) != kSize || std::memcmp(text, "dword:", 6) != 0 ||
      text[14] != '\n' || digits.find_first_not_of("0123456789abcdef") != digits.npos ||
      std::from_chars(digits.data(), digits.data() + 8, value, 16).ec != std::errc()) {
    return std::nullopt;
  }
  return value;
}

bool WriteRegistryDword(const std::string& root, std::string_view keyPath,
                        std::string_view valueName, uint32_t value, std::string* error) {
  if (!EnsureRegistryKey(root, keyPath, error)) {
    return false;
  }
  char text[16];
  std::snprintf(text, sizeof text, "dword:%08x\n", unsigned(value));
  const std::string path = RegistryKeyDir(root, keyPath) + "/" + std::string(valueName);
  return SaveImageFile(path, std::span(reinterpret_cast<const uint8_t*>(text), 15), error);
}

std::string DefaultDeviceRoot() {
  const std::string runtime = EnvOr("XDG_RUNTIME_DIR", "");
  return EnvOr("PELWIN_DEVICE_ROOT", runtime.empty()
                                         ? "/tmp/pelwin-" + std::to_string(::getuid()) + "/devices"
                                         : runtime + "/pelwin/devices");
}

std::string DefaultMachineRegistry() {
  return EnvOr("PELWIN_MACHINE_REGISTRY", "/etc/pelwin/registry");
}

std::string DefaultStateDir() {
  const std::string xdg = EnvOr("XDG_STATE_HOME", "");
  const passwd* pw = xdg.empty() ? ::getpwuid(::getuid()) : nullptr;
  const std::string home = EnvOr("HOME", pw && pw->pw_dir ? pw->pw_dir : "/tmp");
  return EnvOr("CAMSIM_STATE", xdg.empty() ? home + "/.local/state/camsim" : xdg + "/camsim");
}

std::string InterfaceDir(const std::string& deviceRoot, Kind kind, const std::string& instance) {
  return deviceRoot + "/" + ClassGuid(kind) + "/" + instance;
}

std::string ControlSocketPath(const std::string& deviceRoot) {
  return deviceRoot + "/.camsim/control.sock";
}

}  // namespace camsim
