// The registry store on POSIX: keys are directories, a value is a small text
// file "dword:xxxxxxxx\n", replaced atomically on every write.
#include "posix_registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "posix_faults.h"
#include "posix_internal.h"
#include "registry_store.h"

struct TRegStoreKey {
  int Fd;  // the key's directory
  bool ReadOnly = false;
};

namespace {

constexpr char kPrefix[] = "dword:";
constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;
constexpr std::size_t kValueFileSize = kPrefixLength + 8 + 1;

// One path component or value name: nothing that could leave the key.
bool ValidName(const char* name, std::size_t length) {
  if (length == 0)
    return false;
  if (length == 1 && name[0] == '.')
    return false;
  if (length == 2 && name[0] == '.' && name[1] == '.')
    return false;
  return std::memchr(name, '/', length) == nullptr && std::memchr(name, '\0', length) == nullptr;
}

bool ValidName(const char* name) {
  return name && ValidName(name, std::strlen(name));
}

std::string HomeDirectory() {
  std::string home = PosixEnv("HOME");
  if (!home.empty())
    return home;
  passwd entry;
  passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return "/";
}

// Made with the same 0755 as the keys, one component at a time.
bool MakeDirectories(const std::string& path) {
  std::size_t at = 0;
  while (at != std::string::npos) {
    at = path.find('/', at + 1);
    const std::string prefix = path.substr(0, at);
    if (prefix.empty())
      continue;
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
      return false;
  }
  return true;
}

int OpenRoot(HKEY root, bool create) {
  const std::string path = PosixRegistryRoot(root);
  if (path.empty())
    return -1;
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT && create && MakeDirectories(path))
    fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd;
}

// A component that is a symbolic link is refused: the store never leaves its root.
int OpenChild(int dirfd, const char* name, bool create) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(dirfd, name, kFlags);
  if (fd < 0 && errno == ENOENT && create) {
    if (mkdirat(dirfd, name, 0755) != 0 && errno != EEXIST)
      return -1;
    fd = openat(dirfd, name, kFlags);
  }
  return fd;
}

// Walks `path` (backslash-separated) down from `start`, which it takes over.
TRegStoreKey* Walk(int start, const char* path, bool create) {
  if (start < 0)
    return nullptr;
  if (!path) {
    close(start);
    return nullptr;
  }
  int fd = start;
  const char* at = path;
  while (*at) {
    const char* end = std::strchr(at, '\\');
    const std::size_t length = end ? static_cast<std::size_t>(end - at) : std::strlen(at);
    // A trailing backslash leaves an empty last component: refused like any other.
    if (!ValidName(at, length) || (end && end[1] == '\0')) {
      close(fd);
      return nullptr;
    }
    const std::string name(at, length);
    const int child = OpenChild(fd, name.c_str(), create);
    close(fd);
    if (child < 0)
      return nullptr;
    fd = child;
    at += length + (end ? 1 : 0);
  }
  auto* key = new (std::nothrow) TRegStoreKey{fd};
  if (!key)
    close(fd);
  return key;
}

// Lower case only: the drivers read "dword:0000000A" as no value at all, and the
// tool must not believe in a permission the driver does not see.
int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::atomic<unsigned> g_temp_serial{0};

}  // namespace

std::string PosixRegistryRoot(HKEY root) {
  if (root == HKEY_CURRENT_USER) {
    std::string path = PosixEnv("PELWIN_USER_REGISTRY");
    if (!path.empty())
      return PosixAbsolute(path);
    // A relative XDG_CONFIG_HOME is invalid and to be ignored.
    std::string config = PosixEnv("XDG_CONFIG_HOME");
    if (config.empty() || config[0] != '/')
      config = HomeDirectory() + "/.config";
    return config + "/pelwin/registry";
  }
  if (root == HKEY_LOCAL_MACHINE) {
    std::string path = PosixEnv("PELWIN_MACHINE_REGISTRY");
    return path.empty() ? std::string("/etc/pelwin/registry") : PosixAbsolute(path);
  }
  return {};
}

TRegStoreKey* RegStoreOpen(HKEY root, const char* path, bool create) {
  const bool readOnly = root == HKEY_LOCAL_MACHINE && PosixFaults().MachineRegistryReadOnly;
  if (readOnly && create) {
    errno = EACCES;
    return nullptr;
  }
  TRegStoreKey* key = Walk(OpenRoot(root, create), path, create);
  if (key)
    key->ReadOnly = readOnly;
  return key;
}

TRegStoreKey* RegStoreOpenSub(TRegStoreKey* key, const char* name, bool create) {
  if (!key || (key->ReadOnly && create))
    return nullptr;
  TRegStoreKey* sub = Walk(fcntl(key->Fd, F_DUPFD_CLOEXEC, 0), name, create);
  if (sub)
    sub->ReadOnly = key->ReadOnly;
  return sub;
}

bool RegStoreGetDword(TRegStoreKey* key, const char* name, std::uint32_t* value) {
  if (!key || !value || !ValidName(name))
    return false;
  // O_NONBLOCK: a fifo planted under a value's name must not hang the program.
  const int fd = openat(key->Fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat st;
  char text[kValueFileSize + 1];
  std::size_t size = 0;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            st.st_size == static_cast<off_t>(kValueFileSize);
  // One byte more than a value holds, so a file that grew meanwhile is caught.
  while (ok && size < sizeof text) {
    const ssize_t n = read(fd, text + size, sizeof text - size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      ok = false;
    if (n <= 0)
      break;
    size += static_cast<std::size_t>(n);
  }
  close(fd);
  if (!ok || size != kValueFileSize || std::memcmp(text, kPrefix, kPrefixLength) != 0 ||
      text[kValueFileSize - 1] != '\n')
    return false;
  std::uint32_t result = 0;
  for (std::size_t i = kPrefixLength; i < kPrefixLength + 8; ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0)
      return false;
    result = (result << 4) | static_cast<std::uint32_t>(digit);
  }
  *value = result;
  return true;
}

bool RegStoreSetDword(TRegStoreKey* key, const char* name, std::uint32_t value) {
  if (!key || key->ReadOnly || !ValidName(name))
    return false;
  char text[kValueFileSize + 1];
  std::snprintf(text, sizeof text, "dword:%08x\n", static_cast<unsigned>(value));

  // The temporary name does not depend on the value's name, so a long value
  // name cannot push it past the file name limit.
  char temp[64];
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    std::snprintf(temp, sizeof temp, ".pelwin-tmp-%ld-%u", static_cast<long>(getpid()),
                  g_temp_serial.fetch_add(1));
    fd = openat(key->Fd, temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST)
      return false;
  }
  if (fd < 0)
    return false;
  bool ok = WriteAll(fd, text, kValueFileSize) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && renameat(key->Fd, temp, key->Fd, name) == 0;
  if (!ok) {
    unlinkat(key->Fd, temp, 0);
    return false;
  }
  // Makes the rename itself durable; the value is in place either way.
  fsync(key->Fd);
  return true;
}

bool RegStoreDeleteValue(TRegStoreKey* key, const char* name) {
  if (!key || key->ReadOnly || !ValidName(name))
    return false;
  return unlinkat(key->Fd, name, 0) == 0;
}

void RegStoreClose(TRegStoreKey* key) {
  if (!key)
    return;
  close(key->Fd);
  delete key;
}
