// The control protocol's commands, apart from any socket: one command line in,
// its answer out. Portable, so every build of camsim answers them alike; each
// simulator implements ControlTarget to let the commands reach its cameras.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/camsim.h"
#include "sim/frame_engine.h"

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
  // Pipe 0, 1 or 2 refuses (failed) or accepts new connections again; false
  // when it cannot be restored (the simulator logs why).
  virtual bool SetPipeFailedById(const std::string& id, int pipe, bool failed) = 0;
  virtual size_t LogLineCount() = 0;
  // The last count frame log lines, oldest first, without newlines.
  virtual std::vector<std::string> LastLogLines(size_t count) = 0;
  virtual void LogLine(const std::string& who, const std::string& text) = 0;
  virtual void RequestStop() = 0;
};

// One line of the control protocol; the answer ends with "ok\n" or
// "error: ...\n". Nothing in the line is trusted.
std::string ExecuteControl(ControlTarget& target, std::string_view line);

// `camsim status`'s line and `camsim dump`'s text for one camera.
std::string StatusLine(const ControlCamera& camera);
std::string DumpText(const ControlCamera& camera);

}  // namespace camsim
