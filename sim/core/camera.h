// camsim: a stand-in for the camera's kernel driver and the camera behind it.
// This is what a camera is, whatever carries it: the kinds with their
// interface classes and image layouts, the sample cameras, and the camera's
// firmware (CameraModel). Portable: no OS calls in sim/core/.
//
// docs/platform-linux.md describes the contract a camera is reached by on
// Linux, docs/camsim.md this program.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/core/faults.h"

namespace camsim {

// Enumerator n is interface class n of the class table; its kind bit is 1 << n.
enum class Kind { OrtekKai = 1, OrtekKaf, SelvoKai, SelvoKaf, SelvoE2v, SelvoE2vB, TamisA, TamisB };
enum class Group { Ortek, Selvo, Tamis };

inline constexpr std::array<Kind, 8> kAllKinds = {Kind::OrtekKai, Kind::OrtekKaf, Kind::SelvoKai,
                                                  Kind::SelvoKaf, Kind::SelvoE2v, Kind::SelvoE2vB,
                                                  Kind::TamisA,   Kind::TamisB};

inline constexpr uint8_t kOpcodeRead = 0x12;
inline constexpr uint8_t kOpcodeWrite = 0x13;
inline constexpr uint8_t kStatusSuccess = 0x80;
inline constexpr uint8_t kStatusInvalidIndex = 0x81;
inline constexpr uint8_t kStatusInvalidParameter = 0x82;
inline constexpr uint8_t kStatusUnknownInstruction = 0x83;
// A write the camera accepted but could not keep (its image file could not be
// saved). The image stays as it was, so the tool must not see success.
inline constexpr uint8_t kStatusStorageFailure = 0x84;
inline constexpr size_t kMaxFrame = 64;
inline constexpr size_t kMaxReadCount = kMaxFrame - 1;
inline constexpr uint32_t kHeaderAddress = 0;
inline constexpr size_t kHeaderSize = 10;

Group GroupOf(Kind kind);
int ClassNumber(Kind kind);            // 1..8
const char* KindName(Kind kind);       // "SelvoKai"
const char* KindTitle(Kind kind);      // "Selvo KAI"
const char* ClassGuid(Kind kind);      // "{3789B7D9-...}"
bool IsLongForm(Kind kind);            // four-byte addresses
size_t EepromSize(Kind kind);          // 256 or 0x40000
uint32_t BlockAddress(Kind kind);      // 10 or 0x3FF80
size_t BlockSize(Kind kind);           // 59 or 61
bool NeedsWritePermission(Kind kind);  // Ortek and Selvo kinds

// The model code of an image's identity header (little-endian at offset 3).
uint16_t ModelCodeOf(std::span<const uint8_t> image);
// The driver service of a model code ("vemcamI"), nullptr for an unknown code.
const char* ServiceName(uint16_t modelCode);
// "SYSTEM\CurrentControlSet\Services\<service>\Parameters"; empty for an unknown code.
std::string ServiceKeyPath(uint16_t modelCode);
inline constexpr const char* kWritePermissionValue = "AllowEEPROMWrite";

struct Sample {
  std::string Name;
  Kind kind;
  uint16_t ModelCode;  // 0 for Tamis kinds: their header is never read
  uint32_t CameraId;
  std::string TypeName;
  uint8_t ConfigFlags;
  uint8_t PositionCount;
  std::string Summary;  // one line for `camsim samples`
};

const std::vector<Sample>& Samples();
const Sample* FindSample(std::string_view name);
std::vector<uint8_t> SampleImage(const Sample& sample);

// The descriptor block as the tool decodes it.
struct BlockFields {
  uint32_t CameraId = 0;
  std::string TypeName;  // up to 14 characters, ends at a zero byte
  uint8_t ConfigFlags = 0;
  uint8_t PositionCount = 0;
  unsigned FilterPositions = 0;
  bool WheelRevision2 = false;
};
BlockFields DecodeBlock(Kind kind, std::span<const uint8_t> block);
const char* PositionsText(unsigned positions);  // "Not installed", "5 positions", ...
const char* WheelText(bool revision2);          // "IFW, EFW revision 1" / "EFW revision 2"
// Hex of header and block with the decoded fields, one item per line.
std::string DescribeImage(Kind kind, std::span<const uint8_t> image);

// The camera's firmware and driver without any transport: one request frame in,
// one reply frame out. Safe for any input.
class CameraModel {
 public:
  struct Reply {
    std::vector<uint8_t> Bytes;  // status byte, then data for a successful read
    bool Changed = false;        // the image was written
    const char* Why = "";        // why a frame was refused, for the frame log
  };

  // Throws std::invalid_argument when the image does not have EepromSize(kind) bytes.
  CameraModel(Kind kind, std::vector<uint8_t> image, bool writeAllowed = false);

  Reply Handle(std::span<const uint8_t> request);

  Kind kind() const { return kind_; }
  const std::vector<uint8_t>& Image() const { return image_; }
  std::vector<uint8_t>& MutableImage() { return image_; }
  // Tamis kinds always allow writes: their driver asks for no permission.
  bool WriteAllowed() const { return writeAllowed_ || !NeedsWritePermission(kind_); }
  void SetWriteAllowed(bool allowed) { writeAllowed_ = allowed; }

 private:
  Kind kind_;
  std::vector<uint8_t> image_;
  bool writeAllowed_;
};

// ---- What a camera answers to one frame (frames.cpp): the firmware above
// and, around it, the camera's faults and its image kept after a write
// (ServeFrame). Both ports serve frames through this, so a frame means the
// same on either.
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

// Sets *error to why when there is an error to set; false, for `return Fail(...)`.
bool Fail(std::string* error, std::string why);
// The text with every byte outside printable ASCII, and '\' if asked, as \xNN.
std::string Escaped(std::string_view text, bool backslash);
// The environment variable's value, or fallback when it is unset or empty.
std::string EnvOr(const char* name, const std::string& fallback);

// Image files hold the raw EEPROM; each port's storage implements these. A
// file of the wrong size or one that cannot be read is an error and is left
// exactly as it is.
bool LoadImageFile(const std::string& path, size_t expectedSize, std::vector<uint8_t>* image,
                   std::string* error);
// A temporary file in the same directory, flushed, then moved over the image:
// a crash leaves either the old image or the new one.
bool SaveImageFile(const std::string& path, std::span<const uint8_t> image, std::string* error);
// No file at path at all; one that cannot be read is not missing.
bool ImageFileMissing(const std::string& path);

}  // namespace camsim
