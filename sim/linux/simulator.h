// The Linux simulator: cameras served on the device root (one directory per
// interface, three SOCK_SEQPACKET sockets in it), the driver's write
// permission read from the machine registry directory, a control socket; and
// what the Linux port keeps in files. docs/camsim.md describes it.
//
// Everything here is thread-safe: integration tests drive the tool on their main
// thread while a Simulator serves its cameras on its own thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/core/camera.h"

namespace camsim {

// Registry directories: a key path (backslash-separated) is nested directories,
// a value is a file holding "dword:" + 8 lower-case hex digits + "\n".
std::string RegistryKeyDir(const std::string& root, std::string_view keyPath);
bool EnsureRegistryKey(const std::string& root, std::string_view keyPath, std::string* error);
// Anything but a well-formed value file is a missing value.
std::optional<uint32_t> ReadRegistryDword(const std::string& root, std::string_view keyPath,
                                          std::string_view valueName);
bool WriteRegistryDword(const std::string& root, std::string_view keyPath,
                        std::string_view valueName, uint32_t value, std::string* error);

// $PELWIN_DEVICE_ROOT, else $XDG_RUNTIME_DIR/pelwin/devices, else /tmp/pelwin-<uid>/devices.
std::string DefaultDeviceRoot();
// $PELWIN_MACHINE_REGISTRY, else /etc/pelwin/registry.
std::string DefaultMachineRegistry();
// $CAMSIM_STATE, else $XDG_STATE_HOME/camsim, else ~/.local/state/camsim.
std::string DefaultStateDir();
std::string InterfaceDir(const std::string& deviceRoot, Kind kind, const std::string& instance);
std::string ControlSocketPath(const std::string& deviceRoot);

// Connects to an AF_UNIX socket of any path length (long paths go through the
// directory's descriptor). Returns the descriptor (close-on-exec) or -1.
int ConnectUnixSocket(const std::string& path, int type, std::string* error = nullptr);

class Simulator {
 public:
  struct Options {
    std::string DeviceRoot;       // empty: DefaultDeviceRoot()
    std::string MachineRegistry;  // empty: DefaultMachineRegistry()
    std::string StateDir;         // empty: DefaultStateDir()
    std::string LogPath;          // frame log; empty: none, "-": stderr
  };

  // Starts the server thread. Throws std::runtime_error when the kernel refuses
  // the descriptors it needs or the log file cannot be opened.
  explicit Simulator(Options options);
  // Unplugs every camera, closes the control socket and stops the thread.
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Installs a camera of a sample (unplugged): loads <state>/<id>.eeprom or
  // creates it from the sample image, and makes the driver's service key exist.
  bool Add(const std::string& id, const std::string& sample, std::string* error,
           const std::string& instance = "cam0");
  std::optional<Kind> KindOf(const std::string& id);
  // Both return once the interface directory is in place / gone.
  bool Plug(const std::string& id, std::string* error = nullptr);
  bool Unplug(const std::string& id, std::string* error = nullptr);
  bool IsPlugged(const std::string& id);
  // <root>/<GUID>/<instance>, whether plugged or not; empty for an unknown id.
  std::string InterfacePath(const std::string& id);

  std::vector<uint8_t> Eeprom(const std::string& id);
  // Changes the EEPROM behind the tool's back; saved like a write. False for an
  // unknown id, a range outside the EEPROM or a failed save (image unchanged).
  bool Poke(const std::string& id, uint32_t address, std::span<const uint8_t> bytes,
            std::string* error = nullptr);
  // The permission read at the last plug (always true for Tamis kinds).
  bool WriteAllowed(const std::string& id);

  // A fault of the table (sim/faults.h), as `camsim fault` sets it: for example
  // Fault("cam", "refuse", {2, 0x81}), Fault("cam", "pipe", {1, 1}) (1: on),
  // Fault("cam", "clear"). False for an unknown id or form, values that do
  // not fit it, or a pipe that cannot be restored.
  bool Fault(const std::string& id, std::string_view form, std::initializer_list<long> values = {});
  uint64_t Transfers(const std::string& id);

  std::vector<std::string> Log();  // the most recent frame log lines

  // One line of the control protocol; the result ends with "ok\n" or "error: ...\n".
  std::string Control(std::string_view line);
  // Serves the control protocol on a SOCK_STREAM socket at path.
  bool ServeControl(const std::string& path, std::string* error = nullptr);
  // Becomes readable once a client sent "stop".
  int StopRequestedFd() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// ---- Small POSIX helpers of the simulator and the command-line program.
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

// A non-blocking, close-on-exec listening socket bound at <dir>/<name>; one
// whose path is too long for an address is reached through dirFd, on dir.
int ListenUnixSocket(int dirFd, const std::string& dir, const std::string& name, int type,
                     std::string* error);
// The next connection waiting on such a listener, non-blocking and close-on-exec
// too; -1 once none waits. One its peer gave up on meanwhile is passed over.
int AcceptConnection(int listener);

}  // namespace camsim
