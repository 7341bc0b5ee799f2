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
//
// Only pelwin's administrators may reach the objects, as only administrators
// and SYSTEM may open pelwin's objects on Windows: a read lock needs no more
// than read access, so a file that anyone else may open could be held by
// anyone. The root is made 0700 and each file 0600 (0660 in a root that an
// administrator shared with a group: set-group-ID and group-writable). A root
// or file that is not so (another owner, a link, a directory or other file
// under an object's name, others allowed in) is not pelwin's: it is never used
// and never taken for a hold, and the calls fail with ERROR_ACCESS_DENIED.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "named_objects.h"
#include "posix_faults.h"
#include "posix_internal.h"

namespace {

std::string ObjectRoot() {
  const std::string root = PosixEnv("PELWIN_OBJECT_ROOT");
  return root.empty() ? std::string("/run/pelwin/objects") : PosixAbsolute(root);
}

// The file name of an object's name. Windows' namespace prefixes name one
// namespace here; anything that could leave the root is refused.
bool ObjectFileName(LPCSTR name, const char** file) {
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
  *file = name;
  return true;
}

// The folders on the way are made 0755, as any directory of the system; the
// root itself 0700.
void MakeRoot(const std::string& root) {
  for (std::size_t slash = root.find('/', 1); slash != std::string::npos;
       slash = root.find('/', slash + 1)) {
    mkdir(root.substr(0, slash).c_str(), 0755);
  }
  mkdir(root.c_str(), 0700);
}

bool TrustedOwner(uid_t owner) {
  return owner == 0 || owner == geteuid();
}

struct TRoot {
  int Fd = -1;
  gid_t Group = 0;
  bool Shared = false;  // set-group-ID and open to its group
};

bool Refuse(int fd) {
  if (fd >= 0) {
    close(fd);
  }
  SetLastError(ERROR_ACCESS_DENIED);
  return false;
}

// Opens the root, made when missing and asked to, and checks that it is
// pelwin's: a directory, not a link, owned by root or this user, writable by
// no one else but, in a shared root, its group.
bool OpenRoot(bool create, TRoot* root) {
  const std::string path = ObjectRoot();
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(path.c_str(), flags);
  if (fd < 0 && errno == ENOENT && create) {
    MakeRoot(path);
    fd = open(path.c_str(), flags);
  }
  if (fd < 0) {
    // A link or a file under the root's name is not a root.
    if (errno == ELOOP || errno == ENOTDIR) {
      return Refuse(-1);
    }
    SetLastError(PosixErrorFromErrno(errno));
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || !TrustedOwner(st.st_uid) ||
      (st.st_mode & S_IWOTH) != 0) {
    return Refuse(fd);
  }
  root->Shared = (st.st_mode & S_ISGID) != 0 && (st.st_mode & S_IWGRP) != 0;
  if ((st.st_mode & S_IWGRP) != 0 && !root->Shared) {
    return Refuse(fd);
  }
  root->Fd = fd;
  root->Group = st.st_gid;
  return true;
}

// Makes the object's file with its mode and puts it in place in one step, so
// that no one opens it before its mode is right: the maker's umask would take
// a shared root's group bits, and the other administrators could not open it
// until it is changed. -1 with errno EEXIST when the name is taken.
int MakeObjectFile(const TRoot& root, const char* file) {
  const mode_t mode = root.Shared ? 0660 : 0600;
  const int fd = openat(root.Fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd < 0) {
    return -1;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (fchmod(fd, mode) != 0 ||
      linkat(AT_FDCWD, self.c_str(), root.Fd, file, AT_SYMLINK_FOLLOW) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

// Opens the object's file, made when missing and asked to, and checks that it
// is pelwin's: a plain file that no one but its owner (and, in a shared root,
// its group) may open, owned by root or this user or, in a shared root, of
// the root's group.
int OpenObject(LPCSTR name, bool create, bool readOnly = false) {
  const char* file = nullptr;
  if (!ObjectFileName(name, &file)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  TRoot root;
  if (!OpenRoot(create, &root)) {
    return -1;
  }
  const int flags = (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = create ? MakeObjectFile(root, file) : -1;
  if (fd < 0 && (!create || errno == EEXIST)) {
    fd = openat(root.Fd, file, flags);
  }
  const int saved = errno;
  close(root.Fd);
  if (fd < 0) {
    // A link, a directory or another kind of file under the name is not pelwin's.
    if (saved == ELOOP || saved == EISDIR || saved == ENXIO) {
      Refuse(-1);
      return -1;
    }
    SetLastError(PosixErrorFromErrno(saved));
    return -1;
  }
  struct stat st;
  const bool ours = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                    (st.st_mode & (S_IRWXO | S_ISUID | S_ISGID)) == 0 &&
                    (root.Shared ? st.st_gid == root.Group || TrustedOwner(st.st_uid)
                                 : TrustedOwner(st.st_uid) && (st.st_mode & S_IRWXG) == 0);
  if (!ours) {
    Refuse(fd);
    return -1;
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

HANDLE OpenNamedMutex(const char* name, bool make) {
  if (make) {
    return CreateMutexA(nullptr, FALSE, name);
  }
  const int fd = OpenObject(name, false);
  return fd < 0 ? nullptr : Adopt(fd);
}

HANDLE OpenNamedEvent(const char* name) {
  return CreateEventA(nullptr, TRUE, FALSE, name);
}

TEventLook LookForNamedEvent(const char* name) {
  const int fd = OpenObject(name, false, true);
  if (fd < 0) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND  ? TEventLook::Absent
           : error == ERROR_ACCESS_DENIED ? TEventLook::NotOurs
                                          : TEventLook::Failed;
  }
  bool held = false;
  const bool looked = LockedElsewhere(fd, &held);
  const int saved = errno;
  close(fd);
  if (PosixFaults().PauseAfterEventLookMs > 0) {
    const timespec pause{0, PosixFaults().PauseAfterEventLookMs * 1000000L};
    nanosleep(&pause, nullptr);
  }
  if (!looked) {
    SetLastError(PosixErrorFromErrno(saved));
    return TEventLook::Failed;
  }
  return held ? TEventLook::Held : TEventLook::Absent;
}
