// Encoding a filter choice into whatever block a camera handed over, then
// decoding it again. One input:
//
//   byte 0     bits 0-2 interface class - 1; bit 3: LinkFlags are the next four
//              bytes instead; bit 4: the link is up
//   one byte   positions: 1 to 8 picks that list item; anything else is followed
//              by four bytes of an arbitrary number of positions
//   one byte   wheel list item, 1 + (byte & 1)
//   the rest   HeaderCopy, OrtekBlockCopy, BlockCopy in that order, zero-padded
#include <algorithm>
#include <cstring>

#include "app/brisa_config.h"
#include "config/records.h"
#include "fuzz_support.h"

namespace {

constexpr std::uint32_t KindOfClass[8] = {KindOrtekKai, KindOrtekKaf,  KindSelvoKai, KindSelvoKaf,
                                          KindSelvoE2v, KindSelvoE2vB, KindTamisA,   KindTamisB};

struct TCopies {
  std::uint8_t Header[HeaderSize];
  std::uint8_t Ortek[OrtekBlockSize];
  std::uint8_t Block[BlockSize];
};

TCopies CopiesOf(const CBrisaConfig& window) {
  TCopies copies;
  std::memcpy(copies.Header, window.HeaderCopy, HeaderSize);
  std::memcpy(copies.Ortek, window.OrtekBlockCopy, OrtekBlockSize);
  std::memcpy(copies.Block, window.BlockCopy, BlockSize);
  return copies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static CBrisaConfig window;

  fuzz::TReader in(data, size);
  const std::uint8_t mode = in.Byte();
  if (mode & 0x08) {
    window.LinkFlags = in.Le32();
  } else {
    window.LinkFlags = KindOfClass[mode & 0x07] | ((mode & 0x10) ? LinkConnected : 0);
  }
  const std::uint8_t positionsByte = in.Byte();
  const std::int32_t positionsItem = positionsByte >= 1 && positionsByte <= 8 ? positionsByte : 0;
  const std::uint32_t positions =
      positionsItem != 0 ? PositionsItems[positionsItem - 1].Value : in.Le32();
  const TListItem& wheelItem = WheelTypeItems[in.Byte() & 1];
  const bool revision2 = wheelItem.Value == 1;
  const std::span<const std::uint8_t> bytes = in.Rest();
  TCopies given{};
  std::memcpy(&given, bytes.data(), std::min(bytes.size(), sizeof given));
  std::memcpy(window.HeaderCopy, given.Header, HeaderSize);
  std::memcpy(window.OrtekBlockCopy, given.Ortek, OrtekBlockSize);
  std::memcpy(window.BlockCopy, given.Block, BlockSize);

  // Whatever the block says must have a text to show.
  const std::uint32_t shown = window.FilterPositionsOf();
  const TListItem& shownText = FilterPositionsText(shown);
  FUZZ_CHECK(shownText.Text != nullptr &&
                 std::strlen(shownText.Text) == static_cast<std::size_t>(shownText.Length),
             "no text for %u positions", shown);
  const std::int32_t shownItem = PositionsItemOf(shown);
  FUZZ_CHECK(shownItem >= 0 && shownItem <= PositionsItemCount, "item %d", shownItem);
  FUZZ_CHECK(WheelTypeText(window.WheelTypeOf()).Text != nullptr, "no wheel text");

  window.SetFilterPositions(positions);
  window.SetWheelType(revision2);

  const bool ortek = (window.LinkFlags & OrtekGroup) != 0;
  const bool tamis = !ortek && (window.LinkFlags & TamisGroup) != 0;
  if (positionsItem != 0) {
    FUZZ_CHECK(window.FilterPositionsOf() == positions, "chose %u positions, decoded %u", positions,
               window.FilterPositionsOf());
  }
  FUZZ_CHECK(window.WheelTypeOf() == revision2, "chose wheel %d, decoded the other", revision2);

  const TCopies after = CopiesOf(window);
  FUZZ_CHECK(std::memcmp(after.Header, given.Header, HeaderSize) == 0, "header copy changed");
  const std::uint8_t* before = ortek ? given.Ortek : given.Block;
  const std::uint8_t* block = ortek ? after.Ortek : after.Block;
  const std::size_t blockSize = ortek ? OrtekBlockSize : BlockSize;
  FUZZ_CHECK(std::memcmp(ortek ? after.Block : after.Ortek, ortek ? given.Block : given.Ortek,
                         ortek ? BlockSize : OrtekBlockSize) == 0,
             "the block of the other layout changed");
  const std::uint8_t flagBits = ortek ? 0x83 : tamis ? 0x02 : 0x04;
  const std::uint8_t countBits = ortek ? 0x0F : 0xFF;
  for (std::size_t i = 0; i < blockSize; ++i) {
    std::uint8_t free = 0;
    if (i == ConfigFlagsOffset) {
      free = flagBits;
    } else if (i == PositionCountOffset) {
      free = countBits;
    }
    FUZZ_CHECK((block[i] & ~free) == (before[i] & ~free),
               "byte %zu went from 0x%02x to 0x%02x (flags 0x%x, %u positions)", i, before[i],
               block[i], window.LinkFlags, positions);
  }
  if (!ortek) {
    FUZZ_CHECK(block[PositionCountOffset] == static_cast<std::uint8_t>(positions),
               "count byte 0x%02x for %u positions", block[PositionCountOffset], positions);
  }
  return 0;
}
