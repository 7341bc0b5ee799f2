#include "config/records.h"

#include "app/brisa_config.h"
#include "app/texts.h"

#define PELWIN_ITEM(text, value) \
  { text, Len(text), value }

const TListItem PositionsItems[PositionsItemCount] = {
    PELWIN_ITEM("Not installed", 0), PELWIN_ITEM("5 positions", 5),   PELWIN_ITEM("6 positions", 6),
    PELWIN_ITEM("7 positions", 7),   PELWIN_ITEM("8 positions", 8),   PELWIN_ITEM("9 positions", 9),
    PELWIN_ITEM("10 positions", 10), PELWIN_ITEM("12 positions", 12),
};

const TListItem WheelTypeItems[WheelTypeItemCount] = {
    PELWIN_ITEM("IFW, EFW revision 1", 0),
    PELWIN_ITEM("EFW revision 2", 1),
};

#undef PELWIN_ITEM

std::int32_t PositionsItemOf(std::uint32_t positions) {
  for (int i = 0; i < PositionsItemCount; ++i) {
    if (PositionsItems[i].Value == positions) {
      return i + 1;
    }
  }
  return 0;
}

const TListItem& FilterPositionsText(std::uint32_t positions) {
  const std::int32_t item = PositionsItemOf(positions);
  return PositionsItems[item == 0 ? 0 : item - 1];
}

const TListItem& WheelTypeText(bool revision2) {
  return WheelTypeItems[revision2 ? 1 : 0];
}

std::uint16_t ModelCodeOf(const std::uint8_t* header) {
  return static_cast<std::uint16_t>(header[ModelCodeOffset] | (header[ModelCodeOffset + 1] << 8));
}

std::uint32_t CameraIdOf(const std::uint8_t* block) {
  return static_cast<std::uint32_t>(block[CameraIdOffset]) |
         static_cast<std::uint32_t>(block[CameraIdOffset + 1]) << 8 |
         static_cast<std::uint32_t>(block[CameraIdOffset + 2]) << 16 |
         static_cast<std::uint32_t>(block[CameraIdOffset + 3]) << 24;
}

namespace {

constexpr std::uint8_t OrtekPositionCodeMask = 0x03;
constexpr std::uint8_t OrtekRevision2Bit = 0x80;
constexpr std::uint8_t SelvoRevision2Bit = 0x04;
constexpr std::uint8_t TamisRevision1Bit = 0x02;

void SetBit(std::uint8_t* flags, std::uint8_t bit, bool on) {
  *flags = static_cast<std::uint8_t>(on ? (*flags | bit) : (*flags & ~bit));
}

}  // namespace

std::uint8_t* CBrisaConfig::StoredBlock() {
  return (LinkFlags & OrtekGroup) ? OrtekBlockCopy : BlockCopy;
}

const std::uint8_t* CBrisaConfig::StoredBlock() const {
  return (LinkFlags & OrtekGroup) ? OrtekBlockCopy : BlockCopy;
}

std::uint32_t CBrisaConfig::FilterPositionsOf() const {
  const std::uint8_t* block = StoredBlock();
  if (!(LinkFlags & OrtekGroup)) {
    return block[PositionCountOffset];
  }
  switch (block[ConfigFlagsOffset] & OrtekPositionCodeMask) {
    case 0:
      return 0;
    case 1:
      return 5;
    case 2:
      return 6;
    default:
      return block[PositionCountOffset] & 0x0F;
  }
}

bool CBrisaConfig::WheelTypeOf() const {
  const std::uint8_t flags = StoredBlock()[ConfigFlagsOffset];
  if (LinkFlags & OrtekGroup) {
    return (flags & OrtekRevision2Bit) != 0;
  }
  if (LinkFlags & TamisGroup) {
    return (flags & TamisRevision1Bit) == 0;
  }
  return (flags & SelvoRevision2Bit) != 0;
}

void CBrisaConfig::SetFilterPositions(std::uint32_t positions) {
  std::uint8_t* block = StoredBlock();
  if (!(LinkFlags & OrtekGroup)) {
    block[PositionCountOffset] = static_cast<std::uint8_t>(positions);
    return;
  }
  std::uint8_t code;
  switch (positions) {
    case 0:
      code = 0;
      break;
    case 5:
      code = 1;
      break;
    case 6:
      code = 2;
      break;
    default:
      code = 3;
      block[PositionCountOffset] =
          static_cast<std::uint8_t>((block[PositionCountOffset] & 0xF0) | (positions & 0x0F));
      break;
  }
  block[ConfigFlagsOffset] =
      static_cast<std::uint8_t>((block[ConfigFlagsOffset] & ~OrtekPositionCodeMask) | code);
}

void CBrisaConfig::SetWheelType(bool revision2) {
  std::uint8_t* flags = &StoredBlock()[ConfigFlagsOffset];
  if (LinkFlags & OrtekGroup) {
    SetBit(flags, OrtekRevision2Bit, revision2);
  } else if (LinkFlags & TamisGroup) {
    SetBit(flags, TamisRevision1Bit, !revision2);
  } else {
    SetBit(flags, SelvoRevision2Bit, revision2);
  }
}
