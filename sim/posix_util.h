// Small POSIX helpers shared by the simulator and the command-line program.
#pragma once

#include <sys/types.h>

#include <string>

namespace camsim {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release();
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

std::string ErrnoText(int error);
std::string DirName(const std::string& path);
std::string BaseName(const std::string& path);
// mkdir -p; existing directories are fine.
bool MakeDirs(const std::string& path, mode_t mode, std::string* error);

// sun_path holds 108 bytes; a longer path is reached through /proc/self/fd of
// a descriptor on its directory.
std::string SocketAddressPath(int dirFd, const std::string& dir, const std::string& name);
// A non-blocking, close-on-exec listening socket bound at <dir>/<name>.
int ListenUnixSocket(int dirFd, const std::string& dir, const std::string& name, int type,
                     std::string* error);
// The next connection waiting on such a listener, non-blocking and close-on-exec
// too; -1 once none waits. One its peer gave up on meanwhile is passed over.
int AcceptConnection(int listener);

}  // namespace camsim
