// The simulator's state, shared by its parts: the cameras (a CameraList) and
// the public interface (simulator.cpp), the pipes' transport (transport.cpp), the
// interface directories (devices.cpp) and the control socket
// (control_socket.cpp). What a camera does is its session's (sim/core/session.cpp). Every
// member is guarded by Mutex; the server thread holds it while it handles
// events, never while it waits for them.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/core/camera.h"
#include "sim/core/cameras.h"
#include "sim/core/control.h"
#include "sim/core/frame_log.h"
#include "sim/core/session.h"
#include "sim/linux/simulator.h"

namespace camsim {

// One camera: where its interface and listening sockets are while it is
// plugged in. It is its session's port.
struct Camera final : CameraSlot {
  Camera(Simulator::Impl& simulator, const CameraChoice& choice, const Sample& sample,
         std::string imagePath, std::vector<uint8_t> image);

  bool Send(uint64_t connection, std::span<const uint8_t> reply, std::string* why) override;
  void Close(uint64_t connection) override;
  void ReportWaiting() override;
  bool AddInterface(std::string* where, std::string* error) override;
  void RemoveInterface() override;
  void StopListening() override;
  std::optional<uint32_t> ReadMachineDword(const std::string& key, const char* value) override;
  std::string InterfacePath() override;
  bool SetPipeOpen(int pipe, bool open, std::string* why) override;

  Simulator::Impl& simulator;
  UniqueFd DirFd;       // on the interface directory while plugged; survives its renames
  std::string DirPath;  // where it is, or where the unplug moved it
  int Listeners[kPipeCount] = {-1, -1, -1};
};

struct Simulator::Impl final : CameraList {
  enum class Role { Wake, Listener, Pipe, ControlListener, Control };

  // One per descriptor in the epoll set; epoll carries the token, so an event
  // that was already queued for a descriptor closed since finds nothing.
  struct Entry {
    Role role = Role::Wake;
    int fd = -1;
    Camera* camera = nullptr;
    int pipe = 0;
    ControlLines lines;  // control connections
    std::string out;
    bool closeAfterFlush = false;
  };

  explicit Impl(Options options);
  ~Impl() override;

  // Each of these expects Mutex to be held.
  bool AddCamera(const CameraChoice& choice, std::string* error);
  void RequestStop() override;

  // Server side.
  void Run();
  uint64_t Register(Entry entry, uint32_t events);
  void CloseEntry(uint64_t token);
  bool OpenListener(Camera& camera, int pipe, const std::string& dir, std::string* error);
  void CloseListener(Camera& camera, int pipe);
  // Takes the connections waiting on a camera's pipe, or without a camera on
  // the control socket.
  void Accept(int listener, Camera* camera, int pipe);
  void AcceptPending(Camera& camera);
  // A camera connection ends: the client hung up, or reading it failed.
  void EndPipe(uint64_t token, bool byClient);
  void OnPipeEvent(uint64_t token, uint32_t events);
  void OnControlEvent(uint64_t token, uint32_t events);
  void FlushControl(uint64_t token);
  void CloseControl();

  Options options;
  std::mutex Mutex;
  UniqueFd Epoll;
  UniqueFd WakeFd;
  UniqueFd StopFd;
  bool Stopping = false;
  std::map<uint64_t, Entry> Entries;
  uint64_t NextToken = 1;
  uint64_t NextTempName = 1;
  uint64_t ControlToken = 0;
  UniqueFd ControlDirFd;
  std::string ControlPath;
  std::thread Thread;
};

}  // namespace camsim
