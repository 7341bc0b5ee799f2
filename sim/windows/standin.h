// camsim.exe: the Windows build of camsim. The camera model and its frames are
// the portable core that the Linux simulator uses too; what is here is the
// Windows side: the driver stand-in's installation, its control device, and
// the server of the three named pipes behind it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/cameras.h"
#include "sim/camsim.h"

namespace camsim::win {

// The service of the real driver for the sample's model code ("ralcamF"), so
// that pelwin.exe's AllowEEPROMWrite lands where the stand-in reads it. Tamis
// kinds ask for no permission and get a name of ours ("camsimTamisA").
std::string StandinService(const Sample& sample);
// HKLM-relative service key and its Parameters key.
std::string ServiceKey(const std::string& service);
std::string ParametersKey(const std::string& service);

// Installs the stand-in for the sample's kind: the driver file under
// system32\drivers\<service>.sys, its service, and a root-enumerated device
// that Wine gives to it. Installing again starts what is not running.
bool InstallStandin(const Sample& sample, const std::string& driverFile, std::string* error);
// Stops the service and removes the device, the service and the file.
bool RemoveStandin(const Sample& sample, std::string* error);
// Starts the stand-in's service when it is installed but not running (as after
// a restart of the Wine server) and waits for its control device.
bool EnsureStandinRunning(const Sample& sample, std::string* error);

struct StandinStatus {
  bool Started = false;
  bool Plugged = false;
  std::string Interface;  // the interface's kernel name
};

// The control device of an installed, running stand-in.
class StandinControl {
 public:
  StandinControl() = default;
  ~StandinControl();
  StandinControl(const StandinControl&) = delete;
  StandinControl& operator=(const StandinControl&) = delete;

  bool Open(const std::string& service, std::string* error);
  // Each for one of the stand-in's devices: 0, or 1 for a second camera.
  bool Plug(std::string* error, unsigned device = 0);
  bool Unplug(std::string* error, unsigned device = 0);
  bool Status(StandinStatus* status, std::string* error, unsigned device = 0);

 private:
  bool Request(unsigned code, unsigned device, void* out, DWORD outSize, std::string* error);
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::string service_;
};

// "Access denied (5)".
std::string ErrorText(DWORD error);
std::wstring Wide(const std::string& text);
std::string Narrow(const std::wstring& text);

// Where `serve` is reached: one server per Wine server, as the pipe names are.
inline constexpr const char* kControlPipe = "\\\\.\\pipe\\camsim-control";
// Held by the one server: Wine lets a second process serve the same pipe names.
inline constexpr const char* kServeMutex = "camsim-serve";

struct ServeOptions {
  // In the order of the stand-ins' devices: a camera's device is its instance
  // among the cameras of its kind.
  std::vector<CameraSpec> Cameras;
  std::string StateDir;
  std::string LogPath;  // as CameraList::OpenLog takes it
};

// Serves the cameras until `camsim stop`; prints "ready" once they are in place.
int Serve(const ServeOptions& options);

// $CAMSIM_STATE, else %LOCALAPPDATA%\camsim.
std::string DefaultStateDir();

}  // namespace camsim::win
