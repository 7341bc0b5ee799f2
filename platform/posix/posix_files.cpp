// Files and pipes: interface directories open as directories, pipes are
// AF_UNIX SOCK_SEQPACKET sockets, one message per ReadFile or WriteFile.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "posix_devices.h"
#include "posix_faults.h"
#include "posix_internal.h"

namespace {

// A handle is the descriptor in the low half and a serial number in the high
// half. The table remembers the serial of each descriptor we opened, so a stale
// handle whose descriptor number was reused (by us or by anyone) is refused
// instead of closing or reading someone else's descriptor.
static_assert(sizeof(HANDLE) == 8, "handles carry a 32-bit serial beside the descriptor");

std::mutex g_handles_mutex;
std::vector<std::uint32_t> g_serial_of_fd;  // 0: not ours
std::uint32_t g_last_serial = 0;
std::size_t g_open_count = 0;

HANDLE Adopt(int fd) {
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  try {
    if (static_cast<std::size_t>(fd) >= g_serial_of_fd.size())
      g_serial_of_fd.resize(static_cast<std::size_t>(fd) + 1, 0);
  } catch (const std::bad_alloc&) {
    close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  // Serials stay below 2^31, so a handle is never INVALID_HANDLE_VALUE; never 0,
  // so a handle is never null.
  g_last_serial = g_last_serial % 0x7fffffffu + 1;
  g_serial_of_fd[static_cast<std::size_t>(fd)] = g_last_serial;
  ++g_open_count;
  return reinterpret_cast<HANDLE>((static_cast<std::uintptr_t>(g_last_serial) << 32) |
                                  static_cast<std::uintptr_t>(fd));
}

// Must not allocate: ReadFile and WriteFile run inside the program's commands.
int FdOf(HANDLE handle) {
  const auto bits = reinterpret_cast<std::uintptr_t>(handle);
  const auto serial = static_cast<std::uint32_t>(bits >> 32);
  const auto fd = static_cast<std::uint32_t>(bits & 0xffffffffu);
  if (serial == 0 || fd > INT_MAX)
    return -1;
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  if (fd >= g_serial_of_fd.size() || g_serial_of_fd[fd] != serial)
    return -1;
  return static_cast<int>(fd);
}

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

// The interface paths of a deep device root do not fit in sun_path; the
// directory descriptor's /proc name gives a short path to the same socket.
int ConnectSeqpacket(int dirfd, const std::string& path, const std::string& leaf) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  int n;
  if (path.size() < sizeof address.sun_path)
    n = std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  else
    n = std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/%s", dirfd,
                      leaf.c_str());
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  while (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EINTR)
      continue;
    if (errno == EISCONN)
      break;  // an interrupted connect that completed meanwhile
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace

HANDLE PosixAdoptHandle(int fd) {
  return Adopt(fd);
}

int PosixHandleFd(HANDLE handle) {
  return FdOf(handle);
}

std::size_t PosixOpenHandleCount() {
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  return g_open_count;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD, DWORD, void*, DWORD dwCreationDisposition, DWORD,
                   HANDLE) {
  if (!lpFileName || !*lpFileName)
    return Fail(ERROR_PATH_NOT_FOUND);
  // Nothing on this platform can be created through CreateFileA.
  if (dwCreationDisposition != OPEN_EXISTING)
    return Fail(ERROR_INVALID_PARAMETER);

  std::string path(lpFileName);
  for (char& c : path)
    if (c == '\\')
      c = '/';
  const std::string& suffix = PosixFaults().CreateFileFailSuffix;
  if (!suffix.empty() && path.size() >= suffix.size() &&
      path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
    return Fail(ERROR_FILE_NOT_FOUND);

  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  std::string dir, leaf;
  const auto slash = path.rfind('/');
  if (path == "/") {
    dir = "/";
    leaf = ".";
  } else if (slash == std::string::npos) {
    dir = ".";
    leaf = path;
  } else {
    dir = slash == 0 ? "/" : path.substr(0, slash);
    leaf = path.substr(slash + 1);
  }

  const int dirfd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dirfd < 0)
    return Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : PosixErrorFromErrno(errno));
  struct stat st;
  int fd = -1;
  int error = 0;
  if (fstatat(dirfd, leaf.c_str(), &st, 0) != 0) {
    error = errno;
  } else if (S_ISDIR(st.st_mode)) {
    fd = openat(dirfd, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
      error = errno;
  } else if (S_ISSOCK(st.st_mode)) {
    fd = ConnectSeqpacket(dirfd, path, leaf);
    if (fd < 0)
      error = errno;
  } else {
    // Regular files, fifos and devices are no part of a driver stand-in.
    error = EACCES;
  }
  close(dirfd);
  if (fd < 0)
    return Fail(PosixErrorFromErrno(error));
  return Adopt(fd);
}

namespace {

// What ReadFile and WriteFile check before they touch the descriptor: the
// descriptor behind the handle, or -1 with the error set.
int TransferFd(HANDLE handle, const void* buffer, DWORD size, LPDWORD moved, void* overlapped) {
  if (moved)
    *moved = 0;
  if (overlapped || (!buffer && size)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  const int fd = FdOf(handle);
  if (fd < 0)
    SetLastError(ERROR_INVALID_HANDLE);
  return fd;
}

}  // namespace

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, void* lpOverlapped) {
  const int fd =
      TransferFd(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
  if (fd < 0)
    return FALSE;
  // A zero-length recv would consume (and lose) the next message.
  if (nNumberOfBytesToRead == 0)
    return TRUE;
  for (;;) {
    // A message longer than the buffer is cut; the kernel drops its rest.
    const ssize_t n = recv(fd, lpBuffer, nNumberOfBytesToRead, 0);
    if (n > 0) {
      if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = static_cast<DWORD>(n);
      return TRUE;
    }
    if (n == 0) {
      SetLastError(ERROR_BROKEN_PIPE);
      return FALSE;
    }
    if (errno == EINTR)
      continue;
    SetLastError(PosixErrorFromErrno(errno));
    return FALSE;
  }
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, void* lpOverlapped) {
  const int fd =
      TransferFd(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
  if (fd < 0)
    return FALSE;
  // An empty message reads as a hang-up at the other end; send none.
  if (nNumberOfBytesToWrite == 0)
    return TRUE;
  for (;;) {
    const ssize_t n = send(fd, lpBuffer, nNumberOfBytesToWrite, MSG_NOSIGNAL);
    if (n >= 0) {
      if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = static_cast<DWORD>(n);
      return TRUE;
    }
    if (errno == EINTR)
      continue;
    SetLastError(PosixErrorFromErrno(errno));
    return FALSE;
  }
}

BOOL CloseHandle(HANDLE hObject) {
  int fd = FdOf(hObject);
  if (fd >= 0) {
    std::lock_guard<std::mutex> lock(g_handles_mutex);
    // Checked again under the lock: another thread may have closed it meanwhile.
    const auto serial = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hObject) >> 32);
    if (g_serial_of_fd[static_cast<std::size_t>(fd)] != serial) {
      fd = -1;
    } else {
      g_serial_of_fd[static_cast<std::size_t>(fd)] = 0;
      --g_open_count;
    }
  }
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Linux releases the descriptor even when close reports an error.
  close(fd);
  return TRUE;
}
