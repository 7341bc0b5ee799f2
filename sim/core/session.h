// One camera behind its driver, on any transport: the frames that arrive on
// its connections, which connection gets each reply, replies held back and
// dropped, the write permission read at plug-in, the image file, the frame
// log. Both ports serve their cameras through this; each brings a SessionPort
// for what only it can do (its connections, its interface, its registry and
// files). Portable: no POSIX or Win32 here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/core/camera.h"
#include "sim/core/control.h"
#include "sim/core/frame_log.h"

namespace camsim {

// Anything longer than a frame is refused anyway; this much is kept for the log.
inline constexpr size_t kReceiveBuffer = 256;

// Letters, digits, '-', '_' and '.'; 1 to 64 of them, the first not a '.'.
bool ValidCameraId(std::string_view id);
inline constexpr const char* kCameraIdRule =
    "letters, digits, '-', '_' and '.', at most 64, and no leading '.'";

// The port's image files (LoadImageFile and SaveImageFile on a real port).
// ReadImage, not LoadImage: <windows.h> would rename that one.
class ImageFiles {
 public:
  virtual ~ImageFiles() = default;
  // No file at path at all; one that cannot be read is not missing.
  virtual bool ImageFileMissing(const std::string& path) = 0;
  virtual bool ReadImage(const std::string& path, size_t size, std::vector<uint8_t>* image,
                         std::string* error) = 0;
  virtual bool SaveImage(const std::string& path, std::span<const uint8_t> image,
                         std::string* error) = 0;
};

// What a session needs of the port that carries it. Connections are the
// port's numbers; the session hears of them through Opened and Closed.
class SessionPort : public ImageFiles {
 public:
  // One reply message on a connection; false with why when it cannot go.
  virtual bool Send(uint64_t connection, std::span<const uint8_t> reply, std::string* why) = 0;
  // Closes a connection the session has already let go of.
  virtual void Close(uint64_t connection) = 0;
  // Reports (Opened) the connections that clients have made but that the
  // port has not seen yet, such as those waiting in a listen queue.
  virtual void ReportWaiting() {}

  // Plug-in: the interface appears, every pipe listening; *where names it.
  virtual bool AddInterface(std::string* where, std::string* error) = 0;
  // Unplug: the interface disappears (before any connection closes, so that
  // the client sees the removal first); StopListening after the connections.
  virtual void RemoveInterface() = 0;
  virtual void StopListening() = 0;

  // A DWORD value under an HKEY_LOCAL_MACHINE key; nothing when the value is
  // missing or not a well-formed DWORD.
  virtual std::optional<uint32_t> ReadMachineDword(const std::string& key, const char* value) = 0;
};

// The image a camera starts with: the file at path as it is, or, when there is
// none, the sample's image, saved there. A file that is there but unusable is
// an error and is never overwritten.
bool StartImage(ImageFiles& files, const Sample& sample, const std::string& path,
                std::vector<uint8_t>* image, std::string* error);

class CameraSession {
 public:
  using Clock = std::chrono::steady_clock;

  // An unplugged camera with its image; logs "added". detail follows the
  // image's path on that line (", driver service ralcamI").
  CameraSession(std::string id, const Sample& sample, std::string imagePath,
                std::vector<uint8_t> image, SessionPort& port, FrameLog& log,
                std::string_view detail = "");
  CameraSession(const CameraSession&) = delete;
  CameraSession& operator=(const CameraSession&) = delete;

  const std::string& Id() const { return id_; }
  const std::string& SampleName() const { return sampleName_; }
  Kind kind() const { return model_.kind(); }
  const std::string& ImagePath() const { return imagePath_; }
  CameraModel& Model() { return model_; }
  const CameraModel& Model() const { return model_; }
  Faults& faults() { return faults_; }
  const Faults& faults() const { return faults_; }
  uint64_t Transfers() const { return transfers_; }
  bool Plugged() const { return plugged_; }
  void Log(const std::string& text);

  // Arrival: the driver reads its write permission, then the interface appears.
  // Here and below, error and why may be null.
  bool Plug(std::string* error);
  // Removal: the interface goes, every connection closes, held-back replies
  // are never sent.
  bool Unplug(std::string* error);

  // A client connected to pipe 0, 1 or 2 from process pid.
  void Opened(uint64_t connection, int pipe, uint64_t pid);
  // The client hung up (logged) or the port gave up the connection (not).
  void Closed(uint64_t connection, bool byClient);
  // One message: its first bytes (at most kReceiveBuffer are kept) and the
  // size it had.
  void Received(uint64_t connection, std::span<const uint8_t> message, size_t size);
  // Every connection closes (the drop fault, unplug), also one still waiting.
  void CloseConnections();

  // Sends the replies held back by the delay fault whose time has come.
  void FlushDue(Clock::time_point now);
  std::optional<Clock::time_point> NextDue() const;

  bool SaveImageTo(const std::string& path, std::string* why);
  // Replaces the image from a file of the EEPROM's size, kept as after a write.
  bool LoadImageFrom(const std::string& path, std::string* why);
  // Changes the image behind the client's back, kept as after a write.
  bool Poke(uint32_t address, std::span<const uint8_t> bytes, std::string* error);

  // As the control commands see the camera.
  ControlCamera Describe(const std::string& instance, const std::string& interfacePath);

 private:
  struct Connection {
    uint64_t id;
    int pipe;
    uint64_t pid;
    uint64_t order;  // of opening: a process's newest data pipe gets its replies
  };
  struct HeldReply {
    Clock::time_point due;
    uint64_t pid;
    std::vector<uint8_t> bytes;
    std::string note;
  };

  void HandleFrame(uint64_t pid, std::span<const uint8_t> frame, size_t size);
  const Connection* DataPipeOf(uint64_t pid) const;
  void Deliver(uint64_t pid, const std::vector<uint8_t>& bytes, const std::string& note);

  std::string id_;
  std::string sampleName_;
  std::string imagePath_;
  CameraModel model_;
  Faults faults_;
  uint64_t transfers_ = 0;
  bool plugged_ = false;
  SessionPort& port_;
  FrameLog& log_;
  std::vector<Connection> connections_;
  uint64_t nextOrder_ = 1;
  std::vector<HeldReply> held_;  // ordered by due time
};

// Milliseconds from now until due, rounded up; -1 without a due time.
long long MillisecondsUntil(std::optional<CameraSession::Clock::time_point> due,
                            CameraSession::Clock::time_point now);

}  // namespace camsim
