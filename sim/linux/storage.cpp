#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
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
    if (error) {
      *error = "empty directory path";
    }
    return false;
  }
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    const std::string part = path.substr(0, pos);
    if (part.empty() || part.back() == '/') {
      continue;
    }
    if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) {
      if (error) {
        *error = "cannot create " + part + ": " + ErrnoText(errno);
      }
      return false;
    }
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (error) {
      *error = path + " is not a directory";
    }
    return false;
  }
  return true;
}

std::string SocketAddressPath(int dirFd, const std::string& dir, const std::string& name) {
  std::string direct = dir + "/" + name;
  if (direct.size() < sizeof(sockaddr_un::sun_path)) {
    return direct;
  }
  return "/proc/self/fd/" + std::to_string(dirFd) + "/" + name;
}

namespace {

bool FillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) {
    return false;
  }
  std::memcpy(address->sun_path, path.data(), path.size());
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += n;
    size -= size_t(n);
  }
  return true;
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::string(value) : fallback;
}

std::string HomeDir() {
  if (const char* home = std::getenv("HOME"); home && *home) {
    return home;
  }
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
    return pw->pw_dir;
  }
  return "/tmp";
}

}  // namespace

int ListenUnixSocket(int dirFd, const std::string& dir, const std::string& name, int type,
                     std::string* error) {
  sockaddr_un address;
  if (!FillAddress(SocketAddressPath(dirFd, dir, name), &address)) {
    if (error) {
      *error = "socket path too long even through /proc: " + dir + "/" + name;
    }
    return -1;
  }
  UniqueFd fd(::socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    if (error) {
      *error = "socket: " + ErrnoText(errno);
    }
    return -1;
  }
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.Get(), 64) != 0) {
    if (error) {
      *error = "cannot listen at " + dir + "/" + name + ": " + ErrnoText(errno);
    }
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
  UniqueFd dirFd;
  std::string addressPath = path;
  if (path.size() >= sizeof(sockaddr_un::sun_path)) {
    dirFd.Reset(::open(DirName(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd) {
      if (error) {
        *error = DirName(path) + ": " + ErrnoText(errno);
      }
      return -1;
    }
    addressPath = SocketAddressPath(dirFd.Get(), DirName(path), BaseName(path));
  }
  sockaddr_un address;
  if (!FillAddress(addressPath, &address)) {
    if (error) {
      *error = "socket path too long: " + path;
    }
    return -1;
  }
  UniqueFd fd(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
  if (!fd) {
    if (error) {
      *error = "socket: " + ErrnoText(errno);
    }
    return -1;
  }
  int rc;
  do {
    rc = ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (error) {
      *error = path + ": " + ErrnoText(errno);
    }
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
    if (error) {
      *error = path + ": " + why + "; the file is left as it is";
    }
    return false;
  };
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
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
  size_t done = 0;
  while (done < expectedSize) {
    const ssize_t n = ::read(fd.Get(), bytes.data() + done, expectedSize - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return fail("cannot read: " + ErrnoText(errno));
    }
    if (n == 0) {
      return fail("shrank while being read");
    }
    done += size_t(n);
  }
  *image = std::move(bytes);
  return true;
}

bool SaveImageFile(const std::string& path, std::span<const uint8_t> image, std::string* error) {
  std::string temp = DirName(path) + "/." + BaseName(path) + ".XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) {
    if (error) {
      *error = "cannot create a temporary file beside " + path + ": " + ErrnoText(errno);
    }
    return false;
  }
  if (!WriteAll(fd.Get(), image.data(), image.size()) || ::fsync(fd.Get()) != 0) {
    const int saved = errno;
    ::unlink(temp.c_str());
    if (error) {
      *error = "cannot write " + temp + ": " + ErrnoText(saved);
    }
    return false;
  }
  fd.Reset();
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    ::unlink(temp.c_str());
    if (error) {
      *error = "cannot replace " + path + ": " + ErrnoText(saved);
    }
    return false;
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
  constexpr size_t kSize = 15;  // "dword:" + 8 digits + "\n"
  char text[kSize + 1];
  size_t done = 0;
  while (done < sizeof text) {
    const ssize_t n = ::read(fd.Get(), text + done, sizeof text - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    done += size_t(n);
  }
  if (done != kSize || std::memcmp(text, "dword:", 6) != 0 || text[14] != '\n') {
    return std::nullopt;
  }
  uint32_t value = 0;
  for (int i = 6; i < 14; ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      value = value << 4 | uint32_t(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      value = value << 4 | uint32_t(c - 'a' + 10);
    } else {
      return std::nullopt;
    }
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
  if (const char* root = std::getenv("PELWIN_DEVICE_ROOT"); root && *root) {
    return root;
  }
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    return std::string(runtime) + "/pelwin/devices";
  }
  return "/tmp/pelwin-" + std::to_string(::getuid()) + "/devices";
}

std::string DefaultMachineRegistry() {
  return EnvOr("PELWIN_MACHINE_REGISTRY", "/etc/pelwin/registry");
}

std::string DefaultStateDir() {
  if (const char* state = std::getenv("CAMSIM_STATE"); state && *state) {
    return state;
  }
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) {
    return std::string(xdg) + "/camsim";
  }
  return HomeDir() + "/.local/state/camsim";
}

std::string InterfaceDir(const std::string& deviceRoot, Kind kind, const std::string& instance) {
  return deviceRoot + "/" + ClassGuid(kind) + "/" + instance;
}

std::string ControlSocketPath(const std::string& deviceRoot) {
  return deviceRoot + "/.camsim/control.sock";
}

}  // namespace camsim
