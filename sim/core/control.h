// The control protocol's commands, apart from any socket: one command line in,
// its answer out. Portable, so every build of camsim answers them alike; each
// simulator implements ControlTarget to let the commands reach its cameras.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/core/camera.h"
#include "sim/core/faults.h"

namespace camsim {

// One camera as the commands see it. Model and faults point into the
// simulator's camera and stay valid while the command runs.
struct ControlCamera {
  std::string Id;
  std::string SampleName;
  std::string Instance;
  Kind kind = Kind::OrtekKai;
  std::string InterfacePath;
  std::string ImagePath;
  bool Plugged = false;
  uint64_t Transfers = 0;
  const CameraModel* Model = nullptr;
  Faults* faults = nullptr;
};

// What the commands need of a simulator. ExecuteControl calls it on the
// caller's thread: the simulator holds its own lock around the call.
class ControlTarget {
 public:
  virtual ~ControlTarget() = default;

  // Every camera, ordered by id.
  virtual std::vector<ControlCamera> ControlCameras() = 0;
  virtual bool PlugById(const std::string& id, std::string* why) = 0;
  virtual bool UnplugById(const std::string& id, std::string* why) = 0;
  // The camera's pipes refuse new connections, or accept them again, as its
  // pipe faults say; false when one cannot be restored (the port logs why).
  virtual bool FollowPipeFaults(const std::string& id) = 0;
  virtual size_t LogLineCount() = 0;
  // The last count frame log lines, oldest first, without newlines.
  virtual std::vector<std::string> LastLogLines(size_t count) = 0;
  virtual void LogLine(const std::string& who, const std::string& text) = 0;
  virtual void RequestStop() = 0;
  // `image`: the camera's image written to a file, or replaced from one (and
  // kept as after a write).
  virtual bool SaveImageTo(const std::string& id, const std::string& path, std::string* why) = 0;
  virtual bool LoadImageFrom(const std::string& id, const std::string& path, std::string* why) = 0;
};

// One line of the control protocol; the answer ends with "ok\n" or
// "error: ...\n". Nothing in the line is trusted.
std::string ExecuteControl(ControlTarget& target, std::string_view line);

// Sets a fault of the table on the camera named exactly id, logs the faults it
// now has and has the port's pipes follow them; false with why otherwise.
bool SetFault(ControlTarget& target, const std::string& id, const FaultForm& form,
              std::span<const long> values, std::string* why);

inline constexpr size_t kMaxControlLine = 4096;

// One message of a message-mode pipe (the Windows control pipe): one line,
// without its newline. size is the message's full size; bytes may hold only
// its first bytes. False, as for ControlLines::Feed, after a line too long.
bool ExecuteControlMessage(ControlTarget& target, std::string_view bytes, size_t size,
                           std::string* answer);

// The bytes a stream client (the Linux control socket) sends, cut into lines
// at '\n' and each line answered.
class ControlLines {
 public:
  // Appends the answers to every line that bytes completes. False once the
  // connection is to be closed after the answer went out: a line longer than
  // kMaxControlLine is answered with an error and nothing after it.
  bool Feed(ControlTarget& target, std::string_view bytes, std::string* answer);
  // The client sent its last bytes: a last line without its newline counts.
  void End(ControlTarget& target, std::string* answer);

 private:
  std::string pending_;
};

}  // namespace camsim
