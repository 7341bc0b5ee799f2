#include "sim/core/frame_log.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>

#include "sim/core/camera.h"

namespace camsim {
namespace {

// Local time with milliseconds, for log lines.
std::string TimeStamp(std::chrono::system_clock::time_point when) {
  const auto sinceEpoch =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  const time_t second = time_t(sinceEpoch / 1000);
  // Log lines come in bursts within one second; the calendar part is made once.
  thread_local time_t cachedSecond = -1;
  thread_local char cached[40];
  thread_local size_t cachedLength = 0;
  if (second != cachedSecond) {
    // std::localtime's result is shared by every thread: copied under a lock.
    static std::mutex zone;
    tm local{};
    {
      std::lock_guard lock(zone);
      if (const tm* now = std::localtime(&second)) {
        local = *now;
      }
    }
    cachedLength = std::strftime(cached, sizeof cached, "%Y-%m-%d %H:%M:%S", &local);
    cachedSecond = second;
  }
  std::string stamp(cached, cachedLength);
  const long ms = long(sinceEpoch % 1000);
  stamp += '.';
  stamp += char('0' + ms / 100);
  stamp += char('0' + ms / 10 % 10);
  stamp += char('0' + ms % 10);
  return stamp;
}

std::string WithNote(std::string text, std::string_view note) {
  if (!note.empty()) {
    text += " (";
    text += note;
    text += ')';
  }
  return text;
}

// The texts of frames (the part after "<time> <camera>: "). realSize is the
// size the frame had on the wire; frame may hold only its first bytes.
std::string RequestLogText(uint64_t pid, std::span<const uint8_t> frame, size_t realSize) {
  std::string text = "request from pid " + std::to_string(pid) + ": " +
                     HexBytes(frame.first(std::min(frame.size(), kMaxFrame)));
  if (realSize > kMaxFrame) {
    text += " ... (" + std::to_string(realSize) + " bytes)";
  }
  return text;
}

std::string ReplyLogText(std::span<const uint8_t> reply, std::string_view note) {
  return WithNote("reply: " + HexBytes(reply), note);
}

}  // namespace

FrameLog::Record& FrameLog::Next(const std::string& who, Form form) {
  if (ring_.size() < kRecentLines) {
    ring_.emplace_back();
  }
  Record& record = ring_[next_];
  next_ = (next_ + 1) % kRecentLines;
  count_ = std::min(count_ + 1, kRecentLines);
  // Assigning into a record the ring reuses keeps its strings' buffers.
  record.When = std::chrono::system_clock::now();
  record.Who = who;
  record.form = form;
  return record;
}

void FrameLog::Text(const std::string& who, std::string text) {
  Record& record = Next(who, Form::Text);
  record.Text = std::move(text);
  Emit(record);
}

void FrameLog::Request(const std::string& who, uint64_t pid, std::span<const uint8_t> frame,
                       size_t realSize) {
  Record& record = Next(who, Form::Request);
  record.Pid = pid;
  record.RealSize = realSize;
  record.Size = uint8_t(std::min(frame.size(), kMaxFrame));
  std::memcpy(record.Bytes, frame.data(), record.Size);
  Emit(record);
}

void FrameLog::Reply(const std::string& who, std::span<const uint8_t> reply,
                     const std::string& note) {
  if (reply.size() > kMaxFrame) {
    Text(who, ReplyLogText(reply, note));
    return;
  }
  Record& record = Next(who, Form::Reply);
  record.Text = note;
  record.Size = uint8_t(reply.size());
  std::memcpy(record.Bytes, reply.data(), reply.size());
  Emit(record);
}

void FrameLog::ReplyDropped(const std::string& who, uint64_t pid, std::span<const uint8_t> reply,
                            std::string_view note) {
  Text(who, WithNote("reply dropped, pid " + std::to_string(pid) +
                         " has no data pipe open: " + HexBytes(reply),
                     note));
}

void FrameLog::ReplyLost(const std::string& who, std::string_view error,
                         std::span<const uint8_t> reply, std::string_view note) {
  Text(who, WithNote("reply lost (" + std::string(error) + "): " + HexBytes(reply), note));
}

std::string FrameLog::Format(const Record& record) const {
  std::string line = TimeStamp(record.When) + " " + record.Who + ": ";
  const std::span<const uint8_t> bytes(record.Bytes, record.Size);
  switch (record.form) {
    case Form::Text:
      return line + record.Text;
    case Form::Request:
      return line + RequestLogText(record.Pid, bytes, record.RealSize);
    case Form::Reply:
      return line + ReplyLogText(bytes, record.Text);
  }
  return line;
}

void FrameLog::Emit(const Record& record) const {
  if (!sink_) {
    return;
  }
  std::string line = Format(record);
  line += '\n';
  sink_(line);
}

std::vector<std::string> FrameLog::Last(size_t count) const {
  count = std::min(count, count_);
  std::vector<std::string> lines;
  lines.reserve(count);
  // The oldest record kept is at next_ once the ring is full, else at 0.
  const size_t oldest = ring_.size() < kRecentLines ? 0 : next_;
  for (size_t i = count_ - count; i < count_; ++i) {
    lines.push_back(Format(ring_[(oldest + i) % kRecentLines]));
  }
  return lines;
}

}  // namespace camsim
