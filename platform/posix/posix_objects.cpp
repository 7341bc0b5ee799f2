// Named mutexes and events, machine-wide, as Windows keeps them under
// "Global\": an object lives while some process holds a handle to it, and the
// kernel closes a process's handles when it dies, however it dies.
//
// Each name is a file in the object root ($PELWIN_OBJECT_ROOT, else
// /run/pelwin/objects). What makes an object live is a lock on the file's first
// byte, an open-file-description lock, which Linux drops when the last
// descriptor of that open ends, with the process if need be:
// - an event's handle holds a read lock; the event exists while any is held,
//   which a write-lock query (F_OFD_GETLK) tells without taking anything;
// - a mutex is owned through the write lock. While owned, the file's first
//   byte is 1; an owner that dies leaves it so, which tells the next owner
//   that the mutex was abandoned.
// The files themselves stay: deleting one would race with a process opening
// it, and an object is its lock, not its file.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "posix_faults.h"
#include "posix_internal.h"

namespace {

std::string ObjectRoot() {
  const std::string root = PosixEnv("PELWIN_OBJECT_ROOT");
  return root.empty() ? std::string("/run/pelwin/objects") : PosixAbsolute(root);
}

// The file of a name. Windows' namespace prefixes name one namespace here;
// anything that could leave the root is refused.
bool ObjectPath(LPCSTR name, std::string* path) {
  if (name == nullptr) {
    return false;
  }
  for (const char* prefix : {"Global\\", "Local\\"}) {
    if (std::strncmp(name, prefix, std::strlen(prefix)) == 0) {
      name += std::strlen(prefix);
      break;
    }
  }
  if (*name == '\0' || *name == '.' || std::strpbrk(name, "/\\") != nullptr) {
    return false;
  }
  *path = ObjectRoot() + "/" + name;
  return true;
}

void MakeRoot(const std::string& root) {
  for (std::size_t slash = root.find('/', 1);; slash = root.find('/', slash + 1)) {
    mkdir(root.substr(0, slash).c_str(), 0755);
    if (slash == std::string::npos) {
      return;
    }
  }
}

int OpenObject(LPCSTR name, bool create) {
  std::string path;
  if (!ObjectPath(name, &path)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
  int fd = open(path.c_str(), flags, 0644);
  if (fd < 0 && create && errno == ENOENT) {
    MakeRoot(ObjectRoot());
    fd = open(path.c_str(), flags, 0644);
  }
  if (fd < 0) {
    SetLastError(PosixErrorFromErrno(errno));
  }
  return fd;
}

bool Lock(int fd, short type, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  int result;
  do {
    result = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// Whether another open of the file holds a lock on it.
bool LockedElsewhere(int fd, bool* locked) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) {
    return false;
  }
  *locked = lock.l_type != F_UNLCK;
  return true;
}

HANDLE Adopt(int fd) {
  const HANDLE handle = PosixAdoptHandle(fd);
  if (handle == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
  }
  return handle;
}

// An event's handle: the file with a read lock held on it.
HANDLE HoldEvent(int fd, bool existed) {
  if (!Lock(fd, F_RDLCK, false)) {
    const int saved = errno;
    close(fd);
    SetLastError(PosixErrorFromErrno(saved));
    return nullptr;
  }
  const HANDLE handle = Adopt(fd);
  if (handle != nullptr) {
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  }
  return handle;
}

bool WriteOwned(int fd, bool owned) {
  const char byte = owned ? 1 : 0;
  return pwrite(fd, &byte, 1, 0) == 1;
}

}  // namespace

HANDLE CreateMutexA(void*, BOOL bInitialOwner, LPCSTR lpName) {
  if (bInitialOwner) {
    SetLastError(ERROR_INVALID_PARAMETER);  // not needed by the program
    return nullptr;
  }
  const int fd = OpenObject(lpName, true);
  return fd < 0 ? nullptr : Adopt(fd);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  const int fd = PosixHandleFd(hHandle);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
  while (!Lock(fd, F_WRLCK, dwMilliseconds == INFINITE)) {
    if (errno != EAGAIN && errno != EACCES) {
      SetLastError(PosixErrorFromErrno(errno));
      return WAIT_FAILED;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return WAIT_TIMEOUT;
    }
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  char byte = 0;
  const bool abandoned = pread(fd, &byte, 1, 0) == 1 && byte != 0;
  if (!WriteOwned(fd, true)) {
    SetLastError(PosixErrorFromErrno(errno));
    Lock(fd, F_UNLCK, false);
    return WAIT_FAILED;
  }
  return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

BOOL ReleaseMutex(HANDLE hMutex) {
  const int fd = PosixHandleFd(hMutex);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!WriteOwned(fd, false) || !Lock(fd, F_UNLCK, false)) {
    SetLastError(PosixErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

HANDLE CreateEventA(void*, BOOL, BOOL, LPCSTR lpName) {
  const int fd = OpenObject(lpName, true);
  if (fd < 0) {
    return nullptr;
  }
  bool existed = false;
  LockedElsewhere(fd, &existed);
  return HoldEvent(fd, existed);
}

HANDLE OpenEventA(DWORD, BOOL, LPCSTR lpName) {
  const int fd = OpenObject(lpName, false);
  bool held = false;
  const bool looked = fd >= 0 && LockedElsewhere(fd, &held);
  const DWORD error = fd < 0    ? GetLastError()
                      : !looked ? PosixErrorFromErrno(errno)
                                : ERROR_FILE_NOT_FOUND;
  if (PosixFaults().PauseAfterEventLookMs > 0) {
    const timespec pause{0, PosixFaults().PauseAfterEventLookMs * 1000000L};
    nanosleep(&pause, nullptr);
  }
  if (!held) {
    if (fd >= 0) {
      close(fd);
    }
    SetLastError(error);
    return nullptr;
  }
  return HoldEvent(fd, true);
}
