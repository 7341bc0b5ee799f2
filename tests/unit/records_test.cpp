// Decoding and encoding of the filter configuration in each block layout.
#include <gtest/gtest.h>

#include <cstring>

#include "app/brisa_config.h"
#include "config/records.h"

namespace {

class Records : public ::testing::Test {
 protected:
  CBrisaConfig Window;

  std::uint8_t* Block(std::uint32_t group) {
    Window.LinkFlags = group == OrtekGroup   ? KindOrtekKaf
                       : group == SelvoGroup ? KindSelvoE2v
                                             : KindTamisB;
    return group == OrtekGroup ? Window.OrtekBlockCopy : Window.BlockCopy;
  }
};

TEST_F(Records, OrtekCodesAndNibble) {
  std::uint8_t* block = Block(OrtekGroup);
  block[4] = 0x83;
  block[5] = 0x2C;
  EXPECT_EQ(Window.FilterPositionsOf(), 12u);
  EXPECT_TRUE(Window.WheelTypeOf());
  Window.SetFilterPositions(5);
  Window.SetWheelType(false);
  EXPECT_EQ(block[4], 0x01);
  EXPECT_EQ(block[5], 0x2C);

  block[4] = 0x03;
  block[5] = 0xF0;
  EXPECT_EQ(Window.FilterPositionsOf(), 0u);
  EXPECT_STREQ(FilterPositionsText(Window.FilterPositionsOf()).Text, "Not installed");
  block[5] = 0x0B;
  EXPECT_EQ(Window.FilterPositionsOf(), 11u);
  EXPECT_STREQ(FilterPositionsText(11).Text, "Not installed");
  EXPECT_EQ(PositionsItemOf(11), 0);

  block[4] = 0x00;
  block[5] = 0xA5;
  Window.SetFilterPositions(7);
  EXPECT_EQ(block[5], 0xA7);
  EXPECT_EQ(block[4] & 0x03, 3);
  // Five and six are always the short codes, never code 3 with a count.
  Window.SetFilterPositions(6);
  EXPECT_EQ(block[4] & 0x03, 2);
  EXPECT_EQ(block[5], 0xA7);
  Window.SetFilterPositions(0);
  EXPECT_EQ(block[4] & 0x03, 0);
}

TEST_F(Records, WholeCountLayoutsShowUnknownCountsAsNotInstalled) {
  for (std::uint32_t group : {SelvoGroup, TamisGroup}) {
    std::uint8_t* block = Block(group);
    for (std::uint8_t count : {3, 200, 11}) {
      block[5] = count;
      EXPECT_EQ(Window.FilterPositionsOf(), count);
      EXPECT_STREQ(FilterPositionsText(count).Text, "Not installed");
      EXPECT_EQ(PositionsItemOf(count), 0);
    }
    Window.SetFilterPositions(12);
    EXPECT_EQ(block[5], 12);
  }
}

TEST_F(Records, WheelBitPerLayout) {
  const struct {
    std::uint8_t Flags;
    bool Ortek, Selvo, Tamis;
  } cases[] = {{0x00, false, false, true},
               {0x02, false, false, false},
               {0x04, false, true, true},
               {0x80, true, false, true}};
  for (const auto& c : cases) {
    Block(OrtekGroup)[4] = c.Flags;
    EXPECT_EQ(Window.WheelTypeOf(), c.Ortek) << int(c.Flags);
    Block(SelvoGroup)[4] = c.Flags;
    EXPECT_EQ(Window.WheelTypeOf(), c.Selvo) << int(c.Flags);
    Block(TamisGroup)[4] = c.Flags;
    EXPECT_EQ(Window.WheelTypeOf(), c.Tamis) << int(c.Flags);
  }
  // Without a kind bit the rules fall to the Selvo case.
  Window.LinkFlags = 0;
  Window.BlockCopy[4] = 0x04;
  EXPECT_TRUE(Window.WheelTypeOf());
}

// Every choice, on blocks full of set bits and clear bits: nothing but the
// named bits may change, and decoding gives back the choice.
TEST_F(Records, EncodingTouchesOnlyTheNamedBits) {
  const std::uint32_t values[] = {0, 5, 6, 7, 8, 9, 10, 12};
  for (std::uint32_t group : {OrtekGroup, SelvoGroup, TamisGroup}) {
    const std::size_t size = group == OrtekGroup ? OrtekBlockSize : BlockSize;
    const std::uint8_t flagBits = group == OrtekGroup ? 0x83 : group == SelvoGroup ? 0x04 : 0x02;
    for (std::uint8_t fill : {0x00, 0xFF, 0x5A}) {
      for (std::uint32_t positions : values) {
        for (bool revision2 : {false, true}) {
          std::uint8_t* block = Block(group);
          std::memset(block, fill, size);
          std::uint8_t before[BlockSize];
          std::memcpy(before, block, size);
          Window.SetFilterPositions(positions);
          Window.SetWheelType(revision2);
          EXPECT_EQ(Window.FilterPositionsOf(), positions);
          EXPECT_EQ(Window.WheelTypeOf(), revision2);
          for (std::size_t i = 0; i < size; ++i) {
            if (i == 4) {
              EXPECT_EQ(block[i] & ~flagBits & 0xFF, before[i] & ~flagBits & 0xFF);
            } else if (i == 5) {
              // Ortek: 7 to 12 go to the low nibble; 0, 5 and 6 are codes
              // of ConfigFlags and leave the whole count byte as it was.
              const std::uint8_t kept = group != OrtekGroup ? 0x00 : positions >= 7 ? 0xF0 : 0xFF;
              EXPECT_EQ(block[i] & kept, before[i] & kept) << "positions " << positions;
            } else {
              ASSERT_EQ(block[i], before[i]) << "byte " << i;
            }
          }
        }
      }
    }
  }
}

TEST_F(Records, TextsAndListItems) {
  const char* expected[] = {"Not installed", "5 positions", "6 positions",  "7 positions",
                            "8 positions",   "9 positions", "10 positions", "12 positions"};
  for (int i = 0; i < PositionsItemCount; ++i) {
    EXPECT_STREQ(PositionsItems[i].Text, expected[i]);
    EXPECT_EQ(PositionsItems[i].Length, static_cast<std::int32_t>(std::strlen(expected[i])));
    EXPECT_EQ(PositionsItemOf(PositionsItems[i].Value), i + 1);
  }
  EXPECT_STREQ(WheelTypeText(false).Text, "IFW, EFW revision 1");
  EXPECT_EQ(WheelTypeText(false).Length, 19);
  EXPECT_STREQ(WheelTypeText(true).Text, "EFW revision 2");
  EXPECT_EQ(WheelTypeText(true).Length, 14);
}

TEST_F(Records, CameraIdAndModelCode) {
  const std::uint8_t id[] = {0x39, 0x30, 0x00, 0x00};
  const std::uint8_t max[] = {0xFF, 0xFF, 0xFF, 0xFF};
  char text[32];
  ASSERT_TRUE(Str::CardToStrA(CameraIdOf(id), 31, text, 10, 0));
  EXPECT_STREQ(text, "12345");
  ASSERT_TRUE(Str::CardToStrA(CameraIdOf(max), 31, text, 10, 0));
  EXPECT_STREQ(text, "4294967295");
  const std::uint8_t header[10] = {0, 0, 0, 0xB1, 0x04};
  EXPECT_EQ(ModelCodeOf(header), 1201);
}

}  // namespace
