// Any number of cameras, as every port serves them: the cameras a command
// line names, the checks a new camera passes, the control commands' view of
// them, their timers and their frame log. A port makes each camera a
// CameraSlot, the session's port with what only it knows (its connections,
// its interface), and says how to stop. Portable.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/core/camera.h"
#include "sim/core/control.h"
#include "sim/core/frame_log.h"
#include "sim/core/session.h"

namespace camsim {

// One camera to serve: `SAMPLE[=ID]` and where it goes.
struct CameraChoice {
  std::string SampleName;
  std::string Id;        // default: the sample's name
  std::string Instance;  // cam0, cam1, ... among the cameras of its class
  bool Unplugged = false;
};

// `serve`'s words, each SAMPLE[=ID]; false with *problem for none or an unknown sample.
bool ParseCameraChoices(const std::vector<std::string>& words, std::vector<CameraChoice>* choices,
                        std::string* problem);

// One camera of a port: its session, whose port it is, with its image files
// the port's.
class CameraSlot : public SessionPort {
 public:
  CameraSlot(const CameraChoice& choice, const Sample& sample, std::string imagePath,
             std::vector<uint8_t> image, FrameLog& log, std::string_view detail = "");

  bool ImageFileMissing(const std::string& path) override;
  bool ReadImage(const std::string& path, size_t size, std::vector<uint8_t>* image,
                 std::string* error) override;
  bool SaveImage(const std::string& path, std::span<const uint8_t> image,
                 std::string* error) override;

  // Where the program finds the interface, plugged in or not.
  virtual std::string InterfacePath() = 0;
  // The pipes refuse new connections, or take them again, as the camera's
  // pipe faults say, while it is plugged in; false when one cannot be
  // restored (logged).
  bool FollowPipeFaults();
  // The port opens or closes the pipe for the camera (a no-op where the pipes
  // are another camera's); whoever already connected keeps the connection.
  virtual bool SetPipeOpen(int pipe, bool open, std::string* why) = 0;

  const std::string Instance;
  CameraSession Session;  // last: its port is this slot
};

class CameraList : public ControlTarget {
 public:
  // The frame log's one rule: "-" is standard error, "" nowhere, anything
  // else a file appended to. Lines are kept either way.
  bool OpenLog(const std::string& path, std::string* error);

  // Whether a camera of the choice may join (a usable ID and instance, a known
  // sample, an ID and an interface nobody has), with its sample and the image
  // it starts with (StartImage).
  bool Prepare(const CameraChoice& choice, const std::string& imagePath, const Sample** sample,
               std::vector<uint8_t>* image, std::string* error) const;
  void Add(std::unique_ptr<CameraSlot> camera);

  // The camera named exactly id, or nullptr (*error says so).
  CameraSlot* Find(const std::string& id, std::string* error = nullptr) const;
  // In the order they were added.
  const std::vector<std::unique_ptr<CameraSlot>>& All() const { return cameras_; }
  FrameLog& Log() { return log_; }
  void UnplugAll();

  // The replies held back by the delay fault: send those due, and how long
  // until the next is (-1: none held).
  void FlushDue();
  long long MillisecondsToNextDue() const;

  std::vector<ControlCamera> ControlCameras() override;
  bool PlugById(const std::string& id, std::string* why) override;
  bool UnplugById(const std::string& id, std::string* why) override;
  bool FollowPipeFaults(const std::string& id) override;
  size_t LogLineCount() override { return log_.Size(); }
  std::vector<std::string> LastLogLines(size_t count) override { return log_.Last(count); }
  void LogLine(const std::string& who, const std::string& text) override;
  bool SaveImageTo(const std::string& id, const std::string& path, std::string* why) override;
  bool LoadImageFrom(const std::string& id, const std::string& path, std::string* why) override;

 private:
  std::vector<std::unique_ptr<CameraSlot>> cameras_;
  FrameLog log_;
  struct CloseLog {
    void operator()(std::FILE* file) const { file == stderr || std::fclose(file); }
  };
  std::unique_ptr<std::FILE, CloseLog> logFile_;
};

}  // namespace camsim
