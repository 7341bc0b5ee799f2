// Device arrival and removal: a plugged camera is an interface directory,
// built under a hidden name and renamed into place, that holds its listening
// sockets; unplugging renames it away before anything in it closes.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sim/simulator_impl.h"

namespace camsim {

namespace {

// An interface directory that is in the way is a leftover of a simulator that
// died if none of its sockets accepts a connection.
bool RemoveLeftover(const std::string& dir, std::string* error) {
  for (int p = 0; p < kPipeCount; ++p) {
    const int fd = ConnectUnixSocket(dir + "/" + std::to_string(p), SOCK_SEQPACKET);
    if (fd >= 0) {
      ::close(fd);
      if (error) {
        *error = dir + " is served by another simulator";
      }
      return false;
    }
  }
  for (int p = 0; p < kPipeCount; ++p) {
    ::unlink((dir + "/" + std::to_string(p)).c_str());
  }
  if (::rmdir(dir.c_str()) != 0) {
    if (error) {
      *error = dir + " is in the way: " + ErrnoText(errno);
    }
    return false;
  }
  return true;
}

}  // namespace

bool Simulator::Impl::PlugCamera(Camera& camera, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) {
      *error = why;
    }
    return false;
  };
  if (camera.Plugged) {
    return fail(camera.Id + " is plugged in already");
  }
  bool allowed = false;
  std::string permission = "not needed";
  if (NeedsWritePermission(camera.kind)) {
    const std::string key = ServiceKeyPath(ModelCodeOf(camera.Model.Image()));
    const auto value = key.empty()
                           ? std::nullopt
                           : ReadRegistryDword(options.MachineRegistry, key, kWritePermissionValue);
    allowed = value && *value != 0;
    permission = allowed ? "allowed" : "not granted";
  }
  camera.Model.SetWriteAllowed(allowed);

  std::string why;
  const std::string classDir = options.DeviceRoot + "/" + ClassGuid(camera.kind);
  if (!MakeDirs(options.DeviceRoot, 0700, &why) || !MakeDirs(classDir, 0755, &why)) {
    return fail(why);
  }
  const std::string finalDir = classDir + "/" + camera.Instance;
  struct stat st;
  if (::lstat(finalDir.c_str(), &st) == 0 && !RemoveLeftover(finalDir, error)) {
    return false;
  }
  // Built under a hidden name and renamed into place, the interface appears to
  // a watcher in one step, with every socket already listening.
  const std::string tempDir = classDir + "/.plug-" + camera.Instance + "-" +
                              std::to_string(::getpid()) + "-" + std::to_string(NextTempName++);
  if (::mkdir(tempDir.c_str(), 0755) != 0) {
    return fail("cannot create " + tempDir + ": " + ErrnoText(errno));
  }
  camera.DirFd.Reset(::open(tempDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  bool ok = bool(camera.DirFd);
  if (!ok) {
    why = tempDir + ": " + ErrnoText(errno);
  }
  for (int p = 0; ok && p < kPipeCount; ++p) {
    if (!camera.faults.PipeFailed[p]) {
      ok = OpenListener(camera, p, tempDir, &why);
    }
  }
  if (ok && ::rename(tempDir.c_str(), finalDir.c_str()) != 0) {
    why = "cannot rename " + tempDir + " to " + finalDir + ": " + ErrnoText(errno);
    ok = false;
  }
  if (!ok) {
    for (int p = 0; p < kPipeCount; ++p) {
      CloseListener(camera, p);
    }
    ::rmdir(tempDir.c_str());
    camera.DirFd.Reset();
    return fail(why);
  }
  camera.DirPath = finalDir;
  camera.Plugged = true;
  Log(camera.Id, "plugged in at " + finalDir + ", EEPROM writes " + permission);
  return true;
}

bool Simulator::Impl::UnplugCamera(Camera& camera, std::string* error) {
  if (!camera.Plugged) {
    if (error) {
      *error = camera.Id + " is not plugged in";
    }
    return false;
  }
  const std::string classDir = DirName(camera.DirPath);
  const std::string hidden = classDir + "/.unplug-" + camera.Instance + "-" +
                             std::to_string(::getpid()) + "-" + std::to_string(NextTempName++);
  std::string dir = hidden;
  if (::rename(camera.DirPath.c_str(), hidden.c_str()) != 0) {
    Log(camera.Id, "warning: cannot rename " + camera.DirPath + ": " + ErrnoText(errno));
    dir = camera.DirPath;
  }
  CloseConnections(camera);
  for (int p = 0; p < kPipeCount; ++p) {
    CloseListener(camera, p);
  }
  if (::rmdir(dir.c_str()) != 0) {
    Log(camera.Id, "warning: cannot remove " + dir + ": " + ErrnoText(errno));
  }
  std::erase_if(Pending, [&](const PendingReply& r) { return r.camera == &camera; });
  camera.DirFd.Reset();
  camera.Plugged = false;
  Log(camera.Id, "unplugged");
  return true;
}

bool Simulator::Impl::SetPipeFailed(Camera& camera, int pipe, bool failed) {
  if (pipe < 0 || pipe >= kPipeCount) {
    return false;
  }
  camera.faults.PipeFailed[pipe] = failed;
  if (!camera.Plugged) {
    return true;
  }
  if (failed && camera.Listeners[pipe] >= 0) {
    // Whoever already connected has opened the pipe: let them in first.
    AcceptOn(camera, pipe);
    CloseListener(camera, pipe);
  } else if (!failed && camera.Listeners[pipe] < 0) {
    std::string why;
    if (!OpenListener(camera, pipe, camera.DirPath, &why)) {
      Log(camera.Id, "cannot restore pipe " + std::to_string(pipe) + ": " + why);
      return false;
    }
  }
  return true;
}

}  // namespace camsim
