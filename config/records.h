// Where the filter configuration lies in the camera's descriptor block, and the
// texts that name it.
#pragma once

#include <cstdint>

constexpr std::uint32_t HeaderAddress = 0;
constexpr std::uint32_t ShortBlockAddress = 10;
constexpr std::uint32_t TamisBlockAddress = 0x3FF80;
constexpr std::uint32_t TamisSecondPartAddress = 0x3FFB0;
constexpr std::uint32_t TamisFirstPartSize = 48;
constexpr std::uint32_t TamisSecondPartSize = 13;

constexpr std::uint32_t ModelCodeOffset = 3;
constexpr std::uint32_t CameraIdOffset = 0;
constexpr std::uint32_t ConfigFlagsOffset = 4;
constexpr std::uint32_t PositionCountOffset = 5;
constexpr std::uint32_t OrtekTypeNameOffset = 14;
constexpr std::uint32_t TypeNameOffset = 16;
constexpr std::int32_t TypeNameLength = 14;

struct TListItem {
  const char* Text;
  std::int32_t Length;
  std::uint32_t Value;
};

constexpr int PositionsItemCount = 8;
constexpr int WheelTypeItemCount = 2;
// The positions list, item 1 first; Value is the number of positions.
extern const TListItem PositionsItems[PositionsItemCount];
// The wheel list; Value 1 is revision 2.
extern const TListItem WheelTypeItems[WheelTypeItemCount];

// "5 positions" … "12 positions", or "Not installed" for any other number.
const TListItem& FilterPositionsText(std::uint32_t positions);
const TListItem& WheelTypeText(bool revision2);
// The positions-list item (1 to 8) that shows `positions`, 0 for none.
std::int32_t PositionsItemOf(std::uint32_t positions);

std::uint16_t ModelCodeOf(const std::uint8_t* header);
std::uint32_t CameraIdOf(const std::uint8_t* block);
