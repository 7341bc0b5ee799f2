// What a camera does with one frame, faults included, without any transport:
// the Linux simulator and the Windows stand-in both serve frames through this,
// so a frame means the same on either port. Portable: no POSIX or Win32 here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/camsim.h"
#include "sim/faults.h"

namespace camsim {

struct FrameOutcome {
  // The drop fault fired: the transport closes every connection of the camera
  // and sends nothing; Reply and Note are empty.
  bool Dropped = false;
  std::vector<uint8_t> Reply;
  std::string Note;  // why the reply is what it is, for the frame log; may be empty
};

// Keeps the image the camera now holds; false (with why) leaves the write undone.
using SaveImageFn = std::function<bool(std::span<const uint8_t> image, std::string* why)>;

// One request frame (at most the first kMaxFrame bytes matter) against the
// camera's model and faults. A write whose image cannot be saved is undone
// and answered kStatusStorageFailure.
FrameOutcome ServeFrame(CameraModel& model, Faults& faults, std::span<const uint8_t> frame,
                        const SaveImageFn& save);

// "12 00 0a", or "(empty)".
std::string HexBytes(std::span<const uint8_t> bytes);

// The frame log's texts (the part after "<time> <camera>: "). realSize is the
// size the frame had on the wire; frame may hold only its first bytes.
std::string RequestLogText(uint64_t pid, std::span<const uint8_t> frame, size_t realSize);
inline constexpr const char* kDropLogText = "fault drop: connections closed, no reply";
std::string ReplyLogText(std::span<const uint8_t> reply, std::string_view note);
std::string ReplyDroppedLogText(uint64_t pid, std::span<const uint8_t> reply,
                                std::string_view note);
std::string ReplyLostLogText(std::string_view error, std::span<const uint8_t> reply,
                             std::string_view note);

}  // namespace camsim
