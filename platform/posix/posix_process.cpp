// Processes: a process handle is a descriptor on the process's /proc directory.
// Linux ties that descriptor to the process it was opened for, so once the
// process has gone every read through it fails, even if its id has been given
// to another process meanwhile: a handle never speaks for a stranger, as on
// Windows, where an id is not reused while a handle to the process is open.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "posix_internal.h"

namespace {

// 1601-01-01 to 1970-01-01 in 100-nanosecond intervals.
constexpr std::uint64_t kEpochOffset = 116444736000000000ull;

bool ReadSmallFile(int dirfd, const char* path, std::string* text) {
  const int fd = openat(dirfd, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  char buffer[1024];
  text->clear();
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      const int saved = errno;
      close(fd);
      errno = saved;
      return false;
    }
    if (n == 0)
      break;
    text->append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return true;
}

// The fields of /proc/<pid>/stat after the command name, which may itself hold
// spaces and parentheses: field 3 (the state) is the first of them.
struct TStat {
  char State = '?';
  unsigned long long UserTicks = 0;    // field 14
  unsigned long long KernelTicks = 0;  // field 15
  unsigned long long StartTicks = 0;   // field 22, since boot
  int ExitCode = 0;                    // field 52, the wait status (Linux 3.5 and later)
};

bool ReadStat(int dirfd, TStat* stat) {
  std::string text;
  if (!ReadSmallFile(dirfd, "stat", &text))
    return false;
  const std::size_t nameEnd = text.rfind(')');
  if (nameEnd == std::string::npos || nameEnd + 2 >= text.size())
    return false;
  const char* at = text.c_str() + nameEnd + 2;
  stat->State = *at;
  int field = 3;
  while (*at != '\0') {
    const char* next = std::strchr(at, ' ');
    if (field == 14)
      stat->UserTicks = std::strtoull(at, nullptr, 10);
    else if (field == 15)
      stat->KernelTicks = std::strtoull(at, nullptr, 10);
    else if (field == 22)
      stat->StartTicks = std::strtoull(at, nullptr, 10);
    else if (field == 52)
      stat->ExitCode = static_cast<int>(std::strtol(at, nullptr, 10));
    if (next == nullptr)
      break;
    at = next + 1;
    ++field;
  }
  return field >= 22;
}

bool BootSeconds(unsigned long long* seconds) {
  std::string text;
  if (!ReadSmallFile(AT_FDCWD, "/proc/stat", &text))
    return false;
  const std::size_t at = text.find("\nbtime ");
  if (at == std::string::npos)
    return false;
  *seconds = std::strtoull(text.c_str() + at + 7, nullptr, 10);
  return true;
}

void ToFileTime(std::uint64_t intervals, FILETIME* time) {
  if (time == nullptr)
    return;
  time->dwLowDateTime = static_cast<DWORD>(intervals & 0xffffffffu);
  time->dwHighDateTime = static_cast<DWORD>(intervals >> 32);
}

std::uint64_t TicksToIntervals(unsigned long long ticks) {
  const long perSecond = sysconf(_SC_CLK_TCK);
  return perSecond > 0 ? ticks * (10000000ull / static_cast<unsigned long long>(perSecond)) : 0;
}

}  // namespace

DWORD GetCurrentProcessId() {
  return static_cast<DWORD>(getpid());
}

HANDLE OpenProcess(DWORD, BOOL, DWORD dwProcessId) {
  // Windows answers an id without a process as an invalid parameter.
  if (dwProcessId == 0 || dwProcessId > 0x7fffffffu) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%u", static_cast<unsigned>(dwProcessId));
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(errno == ENOENT ? ERROR_INVALID_PARAMETER : PosixErrorFromErrno(errno));
    return nullptr;
  }
  const HANDLE handle = PosixAdoptHandle(fd);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  const int fd = PosixHandleFd(hProcess);
  if (fd < 0 || lpExitCode == nullptr) {
    SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  TStat stat;
  if (ReadStat(fd, &stat) && stat.State != 'Z' && stat.State != 'X') {
    *lpExitCode = STILL_ACTIVE;
    return TRUE;
  }
  // Ended: a zombie still tells how; one already reaped no longer does.
  const int status = stat.State == 'Z' ? stat.ExitCode : 0;
  *lpExitCode = (status & 0x7f) != 0 ? 128u + static_cast<DWORD>(status & 0x7f)
                                     : static_cast<DWORD>((status >> 8) & 0xff);
  return TRUE;
}

BOOL GetProcessTimes(HANDLE hProcess, FILETIME* lpCreationTime, FILETIME* lpExitTime,
                     FILETIME* lpKernelTime, FILETIME* lpUserTime) {
  const int fd = PosixHandleFd(hProcess);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  TStat stat;
  unsigned long long boot = 0;
  if (!ReadStat(fd, &stat) || !BootSeconds(&boot)) {
    // The process has been reaped; its times went with it.
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  ToFileTime(kEpochOffset + boot * 10000000ull + TicksToIntervals(stat.StartTicks), lpCreationTime);
  ToFileTime(0, lpExitTime);
  ToFileTime(TicksToIntervals(stat.KernelTicks), lpKernelTime);
  ToFileTime(TicksToIntervals(stat.UserTicks), lpUserTime);
  return TRUE;
}
