// Device arrival and removal on Linux: a plugged camera is an interface
// directory, built under a hidden name and renamed into place, that holds its
// listening sockets; unplugging renames it away before anything in it closes.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sim/linux/simulator_impl.h"

namespace camsim {

namespace {

// An interface directory that is in the way is a leftover of a simulator that
// died if none of its sockets accepts a connection.
bool RemoveLeftover(const std::string& dir, std::string* error) {
  for (int p = 0; p < kPipeCount; ++p) {
    const int fd = ConnectUnixSocket(dir + "/" + std::to_string(p), SOCK_SEQPACKET);
    if (fd >= 0) {
      ::close(fd);
      return Fail(error, dir + " is served by another simulator");
    }
  }
  for (int p = 0; p < kPipeCount; ++p) {
    ::unlink((dir + "/" + std::to_string(p)).c_str());
  }
  return ::rmdir(dir.c_str()) == 0 || Fail(error, dir + " is in the way: " + ErrnoText(errno));
}

}  // namespace

bool Camera::AddInterface(std::string* where, std::string* error) {
  const Simulator::Options& options = simulator.options;
  const std::string classDir = options.DeviceRoot + "/" + ClassGuid(Session.kind());
  if (!MakeDirs(options.DeviceRoot, 0700, error) || !MakeDirs(classDir, 0755, error)) {
    return false;
  }
  const std::string finalDir = classDir + "/" + Instance;
  struct stat st;
  if (::lstat(finalDir.c_str(), &st) == 0 && !RemoveLeftover(finalDir, error)) {
    return false;
  }
  // Built under a hidden name and renamed into place, the interface appears to
  // a watcher in one step, with every socket already listening.
  const std::string tempDir = classDir + "/.plug-" + Instance + "-" + std::to_string(::getpid()) +
                              "-" + std::to_string(simulator.NextTempName++);
  if (::mkdir(tempDir.c_str(), 0755) != 0) {
    return Fail(error, "cannot create " + tempDir + ": " + ErrnoText(errno));
  }
  std::string why;
  DirFd.Reset(::open(tempDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  bool ok = DirFd || Fail(&why, tempDir + ": " + ErrnoText(errno));
  for (int p = 0; ok && p < kPipeCount; ++p) {
    if (!Session.faults().PipeFailed[p]) {
      ok = simulator.OpenListener(*this, p, tempDir, &why);
    }
  }
  ok = ok && (::rename(tempDir.c_str(), finalDir.c_str()) == 0 ||
              Fail(&why, "cannot rename " + tempDir + " to " + finalDir + ": " + ErrnoText(errno)));
  if (!ok) {
    for (int p = 0; p < kPipeCount; ++p) {
      simulator.CloseListener(*this, p);
    }
    ::rmdir(tempDir.c_str());
    DirFd.Reset();
    return Fail(error, why);
  }
  DirPath = finalDir;
  *where = finalDir;
  return true;
}

void Camera::RemoveInterface() {
  const std::string hidden = DirName(DirPath) + "/.unplug-" + Instance + "-" +
                             std::to_string(::getpid()) + "-" +
                             std::to_string(simulator.NextTempName++);
  if (::rename(DirPath.c_str(), hidden.c_str()) != 0) {
    Session.Log("warning: cannot rename " + DirPath + ": " + ErrnoText(errno));
    return;
  }
  DirPath = hidden;
}

void Camera::StopListening() {
  for (int p = 0; p < kPipeCount; ++p) {
    simulator.CloseListener(*this, p);
  }
  if (::rmdir(DirPath.c_str()) != 0) {
    Session.Log("warning: cannot remove " + DirPath + ": " + ErrnoText(errno));
  }
  DirFd.Reset();
}

}  // namespace camsim
