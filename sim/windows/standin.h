// camsim.exe: the Windows build of camsim. The camera model and its frames are
// the portable core that the Linux simulator uses too; what is here is the
// Windows side: the driver stand-in's installation, its control device, and
// the server of the three named pipes behind it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/core/camera.h"
#include "sim/core/cameras.h"

namespace camsim::win {

// The service of the real driver for the sample's model code ("ralcamF"), so
// that pelwin.exe's AllowEEPROMWrite lands where the stand-in reads it. Tamis
// kinds ask for no permission and get a name of ours ("camsimTamisA").
std::string StandinService(const Sample& sample);

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

// Where `serve` is reached: one server per Wine server, as the pipe names are.
inline constexpr const char* kControlPipe = "\\\\.\\pipe\\camsim-control";
// Held by the one server: Wine lets a second process serve the same pipe names.
inline constexpr const char* kServeMutex = "camsim-serve";

struct ServeOptions {
  // In the order of the stand-ins' devices: a camera's device is its instance
  // among the cameras of its kind.
  std::vector<CameraChoice> Cameras;
  std::string StateDir;
  std::string LogPath;  // as CameraList::OpenLog takes it
};

// ---- camsim.exe's server: the cameras behind the driver stand-ins and the named
// pipes they are reached by. The pipe names are global to the Wine server, so
// every camera's interface leads to the same pipes 0, 1 and 2: a new
// connection is to the first camera plugged in, in the order the cameras were
// given (the order of the stand-ins' devices, in which the program meets
// their interfaces), and each camera keeps the connections it had. The pipes'
// transport is pipes.cpp; the cameras and setup are serve.cpp.

inline constexpr int kControlName = kPipeCount;

struct Connection {
  uint64_t id = 0;  // the session's number for it
  HANDLE pipe = INVALID_HANDLE_VALUE;
  int name = 0;  // 0, 1, 2, or kControlName
  bool connected = false;
  bool pending = false;  // a connect or read is out; the connection lives until it completes
  bool writing = false;  // so is a write
  bool closing = false;
  bool closeAfterWrite = false;
  OVERLAPPED op{};
  OVERLAPPED writeOp{};
  std::deque<std::string> outbox;  // the front one is being written
  std::vector<uint8_t> buffer;
  std::vector<uint8_t> message;  // what arrived of the current message so far
  size_t messageSize = 0;        // its full size, also beyond what is kept
};

class Server;

// One camera on one device of its kind's stand-in.
class StandinCamera final : public CameraSlot {
 public:
  StandinCamera(Server& server, const CameraChoice& choice, const Sample& sample,
                std::string imagePath, std::vector<uint8_t> image, StandinControl& control,
                unsigned device, const std::string& service);

  bool Send(uint64_t connection, std::span<const uint8_t> reply, std::string* why) override;
  void Close(uint64_t connection) override;
  bool AddInterface(std::string* where, std::string* error) override;
  void RemoveInterface() override;
  void StopListening() override;
  std::optional<uint32_t> ReadMachineDword(const std::string& key, const char* value) override;
  std::string InterfacePath() override;
  bool SetPipeOpen(int pipe, bool open, std::string* why) override;

 private:
  Server& server_;
  StandinControl& control_;
  unsigned device_;
};

class Server final : public CameraList {
 public:
  explicit Server(ServeOptions options) : options_(std::move(options)) {}
  ~Server() override;
  // Serves the cameras until `camsim stop`; prints "ready" once they are in place.
  int Run();
  void RequestStop() override;

  // For the cameras.
  // The pipes listen for the camera, unless another camera has them already.
  bool ListenFor(const CameraSlot& camera, std::string* error);
  // Nobody can open the pipes any more, unless another camera is plugged in.
  void StopListeningFor(const CameraSlot& camera);
  bool SetPipeOpen(const CameraSlot& camera, int pipe, bool open, std::string* why);
  void Warn(const std::string& text) { LogLine("camsim", "warning: " + text); }

 private:
  friend class StandinCamera;
  // serve.cpp
  bool Setup(std::string* error);
  bool AddCamera(const CameraChoice& choice, const std::string& state, std::string* error);
  // Whose a new connection is: the first camera plugged in, else the first.
  CameraSession& Answering() const;
  bool OtherPlugged(const CameraSlot& camera) const;

  // pipes.cpp
  bool Listen(int name, bool first, std::string* error);
  void Issue(Connection* c);
  void Close(Connection* c, bool byClient = false);
  Connection* Find(uint64_t id);
  Connection* Lookup(OVERLAPPED* overlapped, bool* write);
  void Reap();
  bool TopUp(int name, std::string* error);
  void KeepListening();
  void OnCompletion(Connection* c, bool ok, DWORD bytes, DWORD error);
  void OnWritten(Connection* c, bool ok);
  void StartWrite(Connection* c);
  bool Complete(DWORD wait, bool draining, DWORD* why);
  void Drain();
  void OnMessage(Connection* c);
  bool WriteMessage(Connection* c, const void* data, size_t size, std::string* error);

  ServeOptions options_;
  bool stopping_ = false;
  std::map<std::string, std::unique_ptr<StandinControl>> controls_;  // by service
  HANDLE port_ = nullptr;
  HANDLE exclusive_ = nullptr;
  std::vector<std::unique_ptr<Connection>> connections_;
  uint64_t nextId_ = 1;
};

}  // namespace camsim::win
