// The registry store on POSIX: keys are directories, a value is a small text
// file "dword:xxxxxxxx\n", replaced atomically on every write.
#include "posix_registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
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
  bool Machine = false;  // below HKEY_LOCAL_MACHINE
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
  if (path.empty()) {
    errno = EINVAL;
    return -1;
  }
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT && create && MakeDirectories(path))
    fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd;
}

// Whether a key is shared by a group of administrators: set-group-ID and
// writable by its group. The keys made in it are too, whatever the maker's
// umask, so that each of them may change what another made.
bool SharedWithGroup(int dirfd) {
  struct stat st;
  return fstat(dirfd, &st) == 0 && (st.st_mode & S_ISGID) != 0 && (st.st_mode & S_IWGRP) != 0;
}

std::atomic<unsigned> g_key_serial{0};

// A key made in a shared one: made under a name of its own, given its mode
// and then put in place, so that no other administrator finds it before its
// mode is right. False with errno EEXIST when the name was taken meanwhile.
bool MakeSharedKey(int dirfd, const char* name) {
  const std::string made =
      ".key-" + std::to_string(getpid()) + "-" + std::to_string(++g_key_serial);
  if (mkdirat(dirfd, made.c_str(), 0700) != 0)
    return false;
  const int fd = openat(dirfd, made.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  const bool placed = fd >= 0 && fchmod(fd, 02775) == 0 &&
                      renameat2(dirfd, made.c_str(), dirfd, name, RENAME_NOREPLACE) == 0;
  const int err = errno;
  if (fd >= 0)
    close(fd);
  if (!placed)
    unlinkat(dirfd, made.c_str(), AT_REMOVEDIR);
  errno = err;
  return placed;
}

// A component that is a symbolic link is refused: the store never leaves its root.
int OpenChild(int dirfd, const char* name, bool create) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(dirfd, name, kFlags);
  if (fd < 0 && errno == ENOENT && create) {
    if (SharedWithGroup(dirfd) ? !MakeSharedKey(dirfd, name) && errno != EEXIST
                               : mkdirat(dirfd, name, 0755) != 0 && errno != EEXIST)
      return -1;
    fd = openat(dirfd, name, kFlags);
  }
  return fd;
}

// The registry's answer to a failed system call, as RegOpenKeyExA,
// RegQueryValueExA and RegDeleteValueA give it. Only what is not there is
// ERROR_FILE_NOT_FOUND: a file or a symbolic link where a key should be is no
// key, for the drivers too. What may not be read or changed is
// ERROR_ACCESS_DENIED, and any other failure keeps its own code; callers that
// must know whether a value is gone rely on that.
DWORD RegistryError(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    default:
      return PosixErrorFromErrno(err);
  }
}

template <typename T>
T Refuse(DWORD error, T result) {
  SetLastError(error);
  return result;
}

// Walks `path` (backslash-separated) down from `start`, which it takes over.
TRegStoreKey* Walk(int start, const char* path, bool create) {
  if (start < 0)
    return Refuse(RegistryError(errno), nullptr);
  if (!path) {
    close(start);
    return Refuse(ERROR_INVALID_PARAMETER, nullptr);
  }
  int fd = start;
  const char* at = path;
  while (*at) {
    const char* end = std::strchr(at, '\\');
    const std::size_t length = end ? static_cast<std::size_t>(end - at) : std::strlen(at);
    // A trailing backslash leaves an empty last component: refused like any other.
    if (!ValidName(at, length) || (end && end[1] == '\0')) {
      close(fd);
      return Refuse(ERROR_INVALID_PARAMETER, nullptr);
    }
    const std::string name(at, length);
    const int child = OpenChild(fd, name.c_str(), create);
    const int err = errno;
    close(fd);
    if (child < 0)
      return Refuse(RegistryError(err), nullptr);
    fd = child;
    at += length + (end ? 1 : 0);
  }
  auto* key = new (std::nothrow) TRegStoreKey{fd};
  if (!key) {
    close(fd);
    return Refuse(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
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

// The process dies here when the tests' plan says this change is its last.
void MaybeDieBeforeChange(const TRegStoreKey* key) {
  int& countdown = PosixFaults().DieBeforeMachineChange;
  if (key != nullptr && key->Machine && countdown > 0 && --countdown == 0)
    raise(SIGKILL);
}

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
  const bool machine = root == HKEY_LOCAL_MACHINE;
  const bool readOnly = machine && PosixFaults().MachineRegistryReadOnly;
  if (readOnly && create)
    return Refuse(ERROR_ACCESS_DENIED, nullptr);
  if (machine && path && *path &&
      PosixFaults().MachineRegistryUnreadable == TPosixFaults::TUnreadable::Keys)
    return Refuse(ERROR_ACCESS_DENIED, nullptr);
  TRegStoreKey* key = Walk(OpenRoot(root, create), path, create);
  if (key) {
    key->ReadOnly = readOnly;
    key->Machine = machine;
  }
  return key;
}

TRegStoreKey* RegStoreOpenSub(TRegStoreKey* key, const char* name, bool create) {
  if (!key)
    return Refuse(ERROR_INVALID_HANDLE, nullptr);
  if (key->ReadOnly && create)
    return Refuse(ERROR_ACCESS_DENIED, nullptr);
  if (key->Machine && PosixFaults().MachineRegistryUnreadable == TPosixFaults::TUnreadable::Keys)
    return Refuse(ERROR_ACCESS_DENIED, nullptr);
  TRegStoreKey* sub = Walk(fcntl(key->Fd, F_DUPFD_CLOEXEC, 0), name, create);
  if (sub) {
    sub->ReadOnly = key->ReadOnly;
    sub->Machine = key->Machine;
  }
  return sub;
}

bool RegStoreGetDword(TRegStoreKey* key, const char* name, std::uint32_t* value) {
  if (!key || !value || !ValidName(name))
    return Refuse(key ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE, false);
  if (key->Machine && PosixFaults().MachineRegistryUnreadable == TPosixFaults::TUnreadable::Values)
    return Refuse(ERROR_ACCESS_DENIED, false);
  // O_NONBLOCK: a fifo planted under a value's name must not hang the program.
  const int fd = openat(key->Fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // A symbolic link is there, but is no value the program or a driver reads.
    return Refuse(errno == ELOOP ? ERROR_UNSUPPORTED_TYPE : RegistryError(errno), false);
  }
  struct stat st;
  char text[kValueFileSize + 1];
  std::size_t size = 0;
  if (fstat(fd, &st) != 0) {
    const int err = errno;
    close(fd);
    return Refuse(RegistryError(err), false);
  }
  // A directory is a subkey, and a subkey is not a value of that name.
  if (S_ISDIR(st.st_mode)) {
    close(fd);
    return Refuse(ERROR_FILE_NOT_FOUND, false);
  }
  bool ok = S_ISREG(st.st_mode) && st.st_size == static_cast<off_t>(kValueFileSize);
  DWORD error = ERROR_UNSUPPORTED_TYPE;
  // One byte more than a value holds, so a file that grew meanwhile is caught.
  while (ok && size < sizeof text) {
    const ssize_t n = read(fd, text + size, sizeof text - size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      ok = false;
      error = RegistryError(errno);
    }
    if (n <= 0)
      break;
    size += static_cast<std::size_t>(n);
  }
  close(fd);
  // Anything but the one form is there, but is not a DWORD value.
  if (!ok || size != kValueFileSize || std::memcmp(text, kPrefix, kPrefixLength) != 0 ||
      text[kValueFileSize - 1] != '\n')
    return Refuse(error, false);
  std::uint32_t result = 0;
  for (std::size_t i = kPrefixLength; i < kPrefixLength + 8; ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0)
      return Refuse(ERROR_UNSUPPORTED_TYPE, false);
    result = (result << 4) | static_cast<std::uint32_t>(digit);
  }
  *value = result;
  return true;
}

bool RegStoreSetDword(TRegStoreKey* key, const char* name, std::uint32_t value) {
  MaybeDieBeforeChange(key);
  if (!key || key->ReadOnly || !ValidName(name))
    return Refuse(!key            ? ERROR_INVALID_HANDLE
                  : key->ReadOnly ? ERROR_ACCESS_DENIED
                                  : ERROR_INVALID_PARAMETER,
                  false);
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
      return Refuse(RegistryError(errno), false);
  }
  if (fd < 0)
    return Refuse(ERROR_GEN_FAILURE, false);
  bool ok = WriteAll(fd, text, kValueFileSize) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && renameat(key->Fd, temp, key->Fd, name) == 0;
  if (!ok) {
    const int err = errno;
    unlinkat(key->Fd, temp, 0);
    return Refuse(RegistryError(err), false);
  }
  // Makes the rename itself durable; the value is in place either way.
  fsync(key->Fd);
  return true;
}

bool RegStoreDeleteValue(TRegStoreKey* key, const char* name) {
  MaybeDieBeforeChange(key);
  if (!key || !ValidName(name))
    return Refuse(key ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE, false);
  // As a key opened for reading only: refused whether the value is there or not.
  if (key->ReadOnly)
    return Refuse(ERROR_ACCESS_DENIED, false);
  if (unlinkat(key->Fd, name, 0) == 0)
    return true;
  // A directory is a subkey, not a value of that name.
  return Refuse(errno == EISDIR ? ERROR_FILE_NOT_FOUND : RegistryError(errno), false);
}

void RegStoreClose(TRegStoreKey* key) {
  if (!key)
    return;
  close(key->Fd);
  delete key;
}

bool RegStoreCanWrite(HKEY root, const char* path) {
  TRegStoreKey* key = RegStoreOpen(root, path, false);
  if (!key)
    return false;
  // A value is written as a temporary file renamed into place: that takes
  // writing and searching the key's directory, as the effective user.
  const bool readOnly = key->ReadOnly;
  const int access = readOnly ? -1 : faccessat(key->Fd, ".", W_OK | X_OK, AT_EACCESS);
  const int err = errno;
  RegStoreClose(key);
  if (readOnly)
    return Refuse(ERROR_ACCESS_DENIED, false);
  return access == 0 || Refuse(RegistryError(err), false);
}

bool RegStoreDeleteEmptyKey(HKEY root, const char* path) {
  if (!path || !*path)
    return Refuse(ERROR_INVALID_PARAMETER, false);
  if (root == HKEY_LOCAL_MACHINE && PosixFaults().MachineRegistryReadOnly)
    return Refuse(ERROR_ACCESS_DENIED, false);
  const char* last = std::strrchr(path, '\\');
  const std::string parentPath = last ? std::string(path, last) : std::string();
  const char* name = last ? last + 1 : path;
  if (!ValidName(name))
    return Refuse(ERROR_INVALID_PARAMETER, false);
  TRegStoreKey* parent = Walk(OpenRoot(root, false), parentPath.c_str(), false);
  if (!parent)
    return GetLastError() == ERROR_FILE_NOT_FOUND;
  // Removing a directory takes it only when it is empty: no value, no subkey.
  const bool gone = unlinkat(parent->Fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
  const int err = errno;
  RegStoreClose(parent);
  if (gone)
    return true;
  return Refuse(err == ENOTEMPTY || err == EEXIST ? ERROR_DIR_NOT_EMPTY : RegistryError(err),
                false);
}
