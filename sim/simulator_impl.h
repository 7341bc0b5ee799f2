// The simulator's state, shared by its parts: the cameras and the public
// interface (simulator.cpp), the pipes' transport (transport.cpp), plug and
// unplug (devices.cpp) and the control socket (control_socket.cpp). Every
// member is guarded by Mutex; the server thread holds it while it handles
// events, never while it waits for them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/camsim.h"
#include "sim/control.h"
#include "sim/frame_engine.h"
#include "sim/frame_log.h"
#include "sim/posix_util.h"

namespace camsim {

struct Camera {
  Camera(std::string id, const Sample& sample, std::string instance, CameraModel model,
         std::string imagePath)
      : Id(std::move(id)),
        SampleName(sample.Name),
        Instance(std::move(instance)),
        kind(sample.kind),
        Model(std::move(model)),
        ImagePath(std::move(imagePath)) {}

  std::string Id;
  std::string SampleName;
  std::string Instance;
  Kind kind;
  CameraModel Model;
  std::string ImagePath;
  bool Plugged = false;
  UniqueFd DirFd;  // on the interface directory while plugged; survives its renames
  std::string DirPath;
  int Listeners[kPipeCount] = {-1, -1, -1};
  Faults faults;
  uint64_t Transfers = 0;
};

struct Simulator::Impl final : ControlTarget {
  using Clock = std::chrono::steady_clock;

  enum class Role { Wake, Listener, Pipe, ControlListener, Control };

  // One per descriptor in the epoll set; epoll carries the token, so an event
  // that was already queued for a descriptor closed since finds nothing.
  struct Entry {
    Role role = Role::Wake;
    int fd = -1;
    Camera* camera = nullptr;
    int pipe = 0;
    pid_t pid = 0;
    uint64_t order = 0;  // of acceptance: the newest data pipe of a process wins
    ControlLines lines;  // control connections
    std::string out;
    bool closeAfterFlush = false;
  };

  struct PendingReply {
    Clock::time_point due;
    Camera* camera;
    pid_t pid;
    std::vector<uint8_t> bytes;
    std::string note;
  };

  explicit Impl(Options options);
  ~Impl() override;

  // Each of these expects Mutex to be held.
  // The camera named exactly id; the control commands choose the default camera.
  Camera* Find(const std::string& id, std::string* error);
  bool AddCamera(const std::string& id, const std::string& sample, const std::string& instance,
                 std::string* error);
  bool PlugCamera(Camera& camera, std::string* error);
  bool UnplugCamera(Camera& camera, std::string* error);
  bool SetPipeFailed(Camera& camera, int pipe, bool failed);
  bool PokeCamera(Camera& camera, uint32_t address, std::span<const uint8_t> bytes,
                  std::string* error);
  void Log(const std::string& who, const std::string& text);

  // The control commands' view (ExecuteControl runs with Mutex held).
  std::vector<ControlCamera> ControlCameras() override;
  bool PlugById(const std::string& id, std::string* why) override;
  bool UnplugById(const std::string& id, std::string* why) override;
  bool SetPipeFailedById(const std::string& id, int pipe, bool failed) override;
  size_t LogLineCount() override;
  std::vector<std::string> LastLogLines(size_t count) override;
  void LogLine(const std::string& who, const std::string& text) override;
  void RequestStop() override;
  bool SaveImageTo(const std::string& id, const std::string& path, std::string* why) override;
  bool LoadImageFrom(const std::string& id, const std::string& path, std::string* why) override;

  // Server side.
  void Run();
  uint64_t Register(Entry entry, uint32_t events);
  void CloseEntry(uint64_t token);
  bool OpenListener(Camera& camera, int pipe, const std::string& dir, std::string* error);
  void CloseListener(Camera& camera, int pipe);
  void AcceptOn(Camera& camera, int pipe);
  void AcceptPending(Camera& camera);
  void CloseConnections(Camera& camera);
  void OnPipeEvent(uint64_t token, uint32_t events);
  void HandleFrame(Camera& camera, pid_t pid, std::span<const uint8_t> frame, size_t realSize);
  void Deliver(Camera& camera, pid_t pid, const std::vector<uint8_t>& bytes,
               const std::string& note);
  void FlushDue();
  int NextTimeoutMs() const;
  void OnControlAccept();
  void OnControlEvent(uint64_t token, uint32_t events);
  void FlushControl(uint64_t token);
  void CloseControl();

  Options options;
  std::mutex Mutex;
  UniqueFd Epoll;
  UniqueFd WakeFd;
  UniqueFd StopFd;
  UniqueFd LogFd;
  bool Stopping = false;
  std::map<std::string, std::unique_ptr<Camera>> Cameras;
  std::map<uint64_t, Entry> Entries;
  uint64_t NextToken = 1;
  uint64_t NextOrder = 1;
  uint64_t NextTempName = 1;
  std::vector<PendingReply> Pending;  // ordered by due time
  FrameLog History;
  uint64_t ControlToken = 0;
  UniqueFd ControlDirFd;
  std::string ControlPath;
  std::thread Thread;
};

}  // namespace camsim
