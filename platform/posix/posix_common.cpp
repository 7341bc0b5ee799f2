// Last-error slot, fault plan, event loop hook and the errno translation that
// every other file of the POSIX layer relies on.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "posix_faults.h"
#include "posix_internal.h"
#include "posix_loop.h"

namespace {
thread_local DWORD g_last_error = ERROR_SUCCESS;
std::atomic<CPosixLoop*> g_loop{nullptr};
}  // namespace

DWORD GetLastError() {
  return g_last_error;
}

void SetLastError(DWORD dwErrCode) {
  g_last_error = dwErrCode;
}

TPosixFaults& PosixFaults() {
  static TPosixFaults faults;
  return faults;
}

void PosixSetLoop(CPosixLoop* loop) {
  g_loop.store(loop);
}

CPosixLoop* PosixGetLoop() {
  return g_loop.load();
}

DWORD PosixErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
    case ECONNREFUSED:  // a socket file whose server is gone: the pipe is not there
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case EPROTOTYPE:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
    case ENOBUFS:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case EMSGSIZE:
      return ERROR_INVALID_PARAMETER;
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
      return ERROR_BROKEN_PIPE;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOTSOCK:
    case EOPNOTSUPP:
      return ERROR_INVALID_FUNCTION;
    default:
      return ERROR_GEN_FAILURE;
  }
}

std::string PosixEnv(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string PosixAbsolute(const std::string& path) {
  if (path.empty() || path[0] == '/')
    return path;
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd))
    return path;
  std::string result(cwd);
  if (result.back() != '/')
    result += '/';
  return result + path;
}

bool PosixEqualNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z')
      ca = static_cast<unsigned char>(ca - 'A' + 'a');
    if (cb >= 'A' && cb <= 'Z')
      cb = static_cast<unsigned char>(cb - 'A' + 'a');
    if (ca != cb)
      return false;
    if (ca == 0)
      return true;
  }
}
