#include "sim/core/camera.h"

#include <algorithm>
#include <stdexcept>

namespace camsim {

CameraModel::CameraModel(Kind kind, std::vector<uint8_t> image, bool writeAllowed)
    : kind_(kind), image_(std::move(image)), writeAllowed_(writeAllowed) {
  if (image_.size() != EepromSize(kind_)) {
    throw std::invalid_argument("camsim: EEPROM image of the wrong size");
  }
}

// What a camera does with a frame, as its firmware and driver do it: the
// refusals, a read's data, a write into the image.
CameraModel::Reply CameraModel::Handle(std::span<const uint8_t> request) {
  Reply reply;
  auto refuse = [&](uint8_t status, const char* why) {
    reply.Bytes.assign(1, status);
    reply.Why = why;
    return reply;
  };
  if (request.empty()) {
    return refuse(kStatusUnknownInstruction, "empty frame");
  }
  const uint8_t opcode = request[0];
  if (opcode != kOpcodeRead && opcode != kOpcodeWrite) {
    return refuse(kStatusUnknownInstruction, "unknown opcode");
  }
  if (request.size() > kMaxFrame) {
    return refuse(kStatusInvalidParameter, "frame longer than 64 bytes");
  }
  // The firmware knows only its own address form; a frame of the other form is
  // simply the wrong length for it.
  const size_t addressSize = IsLongForm(kind_) ? 4 : 1;
  const size_t fixed = 1 + addressSize + 1;
  if (request.size() < fixed) {
    return refuse(kStatusInvalidParameter, "frame too short for its form");
  }
  const uint32_t address = addressSize == 4
                               ? uint32_t(request[1]) | uint32_t(request[2]) << 8 |
                                     uint32_t(request[3]) << 16 | uint32_t(request[4]) << 24
                               : request[1];
  const size_t count = request[fixed - 1];
  if (count == 0) {
    return refuse(kStatusInvalidParameter, "count 0");
  }
  if (opcode == kOpcodeRead) {
    if (count > kMaxReadCount) {
      return refuse(kStatusInvalidParameter, "read count above 63");
    }
    if (request.size() != fixed) {
      return refuse(kStatusInvalidParameter, "frame length does not match the form");
    }
  } else {
    if (count > kMaxFrame - fixed) {
      return refuse(kStatusInvalidParameter, "write count does not fit a frame");
    }
    if (request.size() != fixed + count) {
      return refuse(kStatusInvalidParameter, "frame length does not match the count");
    }
    if (!WriteAllowed()) {
      return refuse(kStatusInvalidParameter, "no write permission");
    }
  }
  // 64-bit sum: a long-form address near 4 GiB must not wrap into range.
  if (uint64_t(address) + count > image_.size()) {
    return refuse(kStatusInvalidIndex, "address out of range");
  }
  reply.Bytes.assign(1, kStatusSuccess);
  // In range, so within the EEPROM's 0x40000 bytes.
  const auto at = std::ptrdiff_t(address);
  if (opcode == kOpcodeRead) {
    reply.Bytes.insert(reply.Bytes.end(), image_.begin() + at,
                       image_.begin() + at + std::ptrdiff_t(count));
  } else {
    std::copy(request.begin() + std::ptrdiff_t(fixed), request.end(), image_.begin() + at);
    reply.Changed = true;
  }
  return reply;
}

// The same, with the camera's faults and the image kept: a write whose image
// cannot be saved is undone.
FrameOutcome ServeFrame(CameraModel& model, Faults& faults, std::span<const uint8_t> frame,
                        const SaveImageFn& save) {
  FrameOutcome outcome;
  // Every countdown moves with every command, whichever fault fires.
  const bool refuseThis = faults.RefuseIn > 0 && --faults.RefuseIn == 0;
  const bool shortThis = faults.ShortIn > 0 && --faults.ShortIn == 0;
  if (faults.DropIn > 0 && --faults.DropIn == 0) {
    outcome.Dropped = true;
    return outcome;
  }
  std::vector<uint8_t>& reply = outcome.Reply;
  std::string& note = outcome.Note;
  if (refuseThis) {
    reply.assign(1, faults.RefuseAtStatus);
    note = "fault refuse-at, not executed";
    return outcome;
  }
  if (faults.RefuseLeft > 0) {
    --faults.RefuseLeft;
    reply.assign(1, faults.RefuseStatus);
    note = "fault refuse, not executed";
    return outcome;
  }
  const bool isWrite = !frame.empty() && frame[0] == kOpcodeWrite;
  std::vector<uint8_t> before;
  if (isWrite) {
    before = model.Image();
  }
  auto result = model.Handle(frame);
  reply = std::move(result.Bytes);
  note = result.Why;
  std::string why;
  if (result.Changed && !save(model.Image(), &why)) {
    model.MutableImage() = std::move(before);
    reply.assign(1, kStatusStorageFailure);
    note = "write undone, image not saved: " + why;
  }
  const bool readData = !frame.empty() && frame[0] == kOpcodeRead && reply.size() > 1;
  if (readData && faults.CorruptLeft > 0) {
    --faults.CorruptLeft;
    reply[1] ^= 0xFF;
    note = "fault corrupt: first data byte flipped";
  }
  if (readData && (shortThis || faults.ShortLeft > 0)) {
    const int bytes = shortThis ? faults.ShortAtBytes : faults.ShortBytes;
    if (!shortThis) {
      --faults.ShortLeft;
    }
    if (reply.size() > size_t(bytes)) {
      reply.resize(size_t(bytes));
    }
    note += note.empty() ? "" : "; ";
    note += "fault short: " + std::to_string(reply.size()) + " bytes";
  }
  return outcome;
}

// Every frame is logged, so this runs twice per command: no printf here.
std::string HexBytes(std::span<const uint8_t> bytes) {
  if (bytes.empty()) {
    return "(empty)";
  }
  static constexpr char digits[] = "0123456789abcdef";
  std::string out(bytes.size() * 3 - 1, ' ');
  for (size_t i = 0; i < bytes.size(); ++i) {
    out[i * 3] = digits[bytes[i] >> 4];
    out[i * 3 + 1] = digits[bytes[i] & 0x0F];
  }
  return out;
}

}  // namespace camsim
