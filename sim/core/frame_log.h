// The frame log: every event and every frame of every camera, the last
// kRecentLines of them kept for `camsim log` and Simulator::Log(), and each
// line written to a sink (file or stderr) if there is one. Frames are kept as
// their bytes and formatted only when something reads them: a camera answers
// thousands of frames for each time anybody looks. Portable: both ports keep
// their log with it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/core/camera.h"

namespace camsim {

inline constexpr const char* kDropLogText = "fault drop: connections closed, no reply";

class FrameLog {
 public:
  static constexpr size_t kRecentLines = 2000;

  // Takes every line as it is logged, newline included.
  using Sink = std::function<void(const std::string& line)>;

  // Without a sink the log is only kept.
  explicit FrameLog(Sink sink = {}) : sink_(std::move(sink)) {}

  void Text(const std::string& who, std::string text);
  void Request(const std::string& who, uint64_t pid, std::span<const uint8_t> frame,
               size_t realSize);
  void Reply(const std::string& who, std::span<const uint8_t> reply, const std::string& note);
  // A reply with no data pipe of the requesting process to go to, or one
  // whose sending failed.
  void ReplyDropped(const std::string& who, uint64_t pid, std::span<const uint8_t> reply,
                    std::string_view note);
  void ReplyLost(const std::string& who, std::string_view error, std::span<const uint8_t> reply,
                 std::string_view note);

  size_t Size() const { return count_; }
  // The last count lines, oldest first, as "<time> <who>: <text>".
  std::vector<std::string> Last(size_t count) const;

 private:
  enum class Form : uint8_t { Text, Request, Reply };
  struct Record {
    std::chrono::system_clock::time_point When;
    std::string Who;
    Form form = Form::Text;
    std::string Text;  // the line's text, or a reply's note
    uint64_t Pid = 0;
    size_t RealSize = 0;
    uint8_t Size = 0;
    uint8_t Bytes[kMaxFrame];
  };

  Record& Next(const std::string& who, Form form);
  std::string Format(const Record& record) const;
  void Emit(const Record& record) const;

  Sink sink_;
  std::vector<Record> ring_;  // grows to kRecentLines, then wraps
  size_t next_ = 0;           // where the next record goes
  size_t count_ = 0;
};

}  // namespace camsim
