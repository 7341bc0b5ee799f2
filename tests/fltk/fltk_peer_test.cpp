// The FLTK peer's parts that need no X server: text conversion for FLTK and
// the choice among the embedded icon sizes.
#include <FL/Fl_RGB_Image.H>
#include <gtest/gtest.h>

#include <algorithm>

#include "fltk_peers.h"

namespace {

TEST(FltkText, TurnsWindows1252IntoUtf8) {
  EXPECT_EQ(FltkUtf8("SV-KAF 1600", 11), "SV-KAF 1600");
  // The euro sign and the other letters of 0x80-0x9F are not Latin-1.
  EXPECT_EQ(FltkUtf8("\x80\x8a\x9f", 3), "\xE2\x82\xAC\xC5\xA0\xC5\xB8");
  EXPECT_EQ(FltkUtf8("\xA0\xE9\xFF", 3), "\xC2\xA0\xC3\xA9\xC3\xBF");
  // Undefined bytes keep their C1 code points rather than vanish.
  EXPECT_EQ(FltkUtf8("\x81", 1), "\xC2\x81");
}

TEST(FltkText, StopsAtTheLengthAndAtNul) {
  EXPECT_EQ(FltkUtf8("abcd", 2), "ab");
  EXPECT_EQ(FltkUtf8("ab\0cd", 5), "ab");
  EXPECT_EQ(FltkUtf8(nullptr, 4), "");
}

TEST(FltkText, LabelsShowEveryCharacter) {
  // A camera's name may hold FLTK's symbol and shortcut marks.
  EXPECT_EQ(FltkLiteralLabel("R&D @KAF"), "R&&D @@KAF");
  EXPECT_EQ(FltkLiteralLabel("\xE9"), "\xC3\xA9");
  EXPECT_EQ(FltkLiteralLabel(nullptr), "");
}

TEST(FltkIcons, PicksTheSmallestEmbeddedSizeThatIsLargeEnough) {
  ASSERT_GT(FltkIconDataCount, 0) << "the build embedded no icon";
  int largest = 0;
  for (int i = 0; i < FltkIconDataCount; ++i) {
    largest = std::max(largest, FltkIconData[i].Size);
    const Fl_RGB_Image* exact = FltkProgramIcon(FltkIconData[i].Size);
    ASSERT_NE(exact, nullptr);
    EXPECT_EQ(exact->w(), FltkIconData[i].Size);
    EXPECT_EQ(exact->d(), 4);
  }
  const Fl_RGB_Image* tiny = FltkProgramIcon(1);
  ASSERT_NE(tiny, nullptr);
  for (int i = 0; i < FltkIconDataCount; ++i) {
    EXPECT_LE(tiny->w(), FltkIconData[i].Size);
  }
  // Larger than any embedded size: the largest, never nothing.
  const Fl_RGB_Image* huge = FltkProgramIcon(largest + 1);
  ASSERT_NE(huge, nullptr);
  EXPECT_EQ(huge->w(), largest);
  // The same picture each time: windows and boxes may keep the pointer.
  EXPECT_EQ(FltkProgramIcon(largest), huge);
}

TEST(FltkIcons, EmbedsTheWindowAndAboutBoxSizes) {
  for (int size : {16, 32, 48}) {
    const Fl_RGB_Image* icon = FltkProgramIcon(size);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->w(), size) << "no " << size << " pixel icon embedded";
  }
}

}  // namespace
