#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "toolkit.h"

namespace {

// A buffer with guard bytes behind the capacity, to catch writes past the NUL.
struct TGuarded {
  char Bytes[32];
  TGuarded() { std::memset(Bytes, '#', sizeof Bytes); }
  bool GuardIntact(std::int32_t capacity) const {
    for (std::size_t i = static_cast<std::size_t>(capacity) + 1; i < sizeof Bytes; ++i) {
      if (Bytes[i] != '#') {
        return false;
      }
    }
    return true;
  }
};

}  // namespace

TEST(ToolkitText, CopyCutsAtCapacityLengthAndNulAndAlwaysTerminates) {
  struct TCase {
    std::int32_t Capacity;
    std::int32_t Length;
    const char* Source;
    const char* Expected;
  };
  const TCase cases[] = {
      {10, 5, "Hello world", "Hello"},
      {3, 11, "Hello world", "Hel"},
      {10, 10, "Hi\0there", "Hi"},
      {0, 5, "Hello", ""},
      {5, -1, "Hello", ""},
      {-4, 5, "Hello", ""},
      {5, 5, nullptr, ""},
      {11, 11, "Hello world", "Hello world"},
  };
  for (const TCase& c : cases) {
    TGuarded buffer;
    const std::int32_t n = Str::CopyA(c.Capacity, buffer.Bytes, c.Length, c.Source);
    EXPECT_STREQ(buffer.Bytes, c.Expected) << c.Capacity << "/" << c.Length;
    EXPECT_EQ(n, static_cast<std::int32_t>(std::strlen(c.Expected)));
    EXPECT_TRUE(buffer.GuardIntact(c.Capacity < 0 ? 0 : c.Capacity));
  }
}

TEST(ToolkitText, AppendAndPrependKeepTheCapacity) {
  char text[16];
  Str::CopyA(15, text, 5, "Hello");
  EXPECT_EQ(Str::AppendA(8, text, 6, " world"), 8);
  EXPECT_STREQ(text, "Hello wo");
  EXPECT_EQ(Str::ConcatA(15, text, 3, "rld!"), 11);
  EXPECT_STREQ(text, "Hello world");
  // Prepending keeps the front and drops what no longer fits at the end.
  Str::CopyA(15, text, 2, "42");
  EXPECT_EQ(Str::PrependA(15, text, 1, "0"), 3);
  EXPECT_STREQ(text, "042");
  Str::CopyA(15, text, 6, "abcdef");
  EXPECT_EQ(Str::PrependA(8, text, 4, "WXYZ"), 8);
  EXPECT_STREQ(text, "WXYZabcd");
  EXPECT_EQ(Str::PrependA(3, text, 99, "0123456"), 3);
  EXPECT_STREQ(text, "012");
  // A source inside the target, as in "put the tail in front".
  Str::CopyA(15, text, 6, "abcdef");
  EXPECT_EQ(Str::PrependA(15, text, 2, text + 4), 8);
  EXPECT_STREQ(text, "efabcdef");
  EXPECT_EQ(Str::AppendA(15, text, 15, text), 15);
  EXPECT_STREQ(text, "efabcdefefabcde");
  EXPECT_EQ(Str::LengthA(text), 15);
  EXPECT_EQ(Str::LengthA(nullptr), 0);
}

TEST(ToolkitText, CardToStrWritesDigitsOnlyWhenTheyFit) {
  char text[16];
  EXPECT_TRUE(Str::CardToStrA(4294967295u, 10, text, 10, 0));
  EXPECT_STREQ(text, "4294967295");
  EXPECT_TRUE(Str::CardToStrA(0x040904E4u, 15, text, 16, 0));
  EXPECT_STREQ(text, "40904e4");
  EXPECT_TRUE(Str::CardToStrA(4294967295u, 8, text, 16, 1));
  EXPECT_STREQ(text, "FFFFFFFF");
  EXPECT_TRUE(Str::CardToStrA(0, 1, text, 10, 0));
  EXPECT_STREQ(text, "0");
  EXPECT_TRUE(Str::CardToStrA(35, 1, text, 36, 1));
  EXPECT_STREQ(text, "Z");

  std::strcpy(text, "stale");
  EXPECT_FALSE(Str::CardToStrA(4294967295u, 9, text, 10, 0));
  EXPECT_STREQ(text, "");
  std::strcpy(text, "stale");
  EXPECT_FALSE(Str::CardToStrA(7, 0, text, 10, 0));
  EXPECT_STREQ(text, "");
  EXPECT_FALSE(Str::CardToStrA(7, 15, text, 1, 0));
  EXPECT_FALSE(Str::CardToStrA(7, 15, text, 37, 0));
  EXPECT_STREQ(text, "");
}

TEST(ToolkitText, MemoryHelpers) {
  std::uint8_t a[6] = {1, 2, 3, 4, 5, 6};
  std::uint8_t b[6] = {1, 2, 3, 9, 5, 6};
  EXPECT_EQ(Lib::Compare(a, b, 6), 3u);
  EXPECT_EQ(Lib::Compare(a, b, 3), 3u);
  EXPECT_EQ(Lib::Compare(a, a, 6), 6u);
  EXPECT_EQ(Lib::Compare(a, b, 0), 0u);

  Lib::Move(a, a + 2, 4);  // overlapping
  EXPECT_EQ(Lib::Compare(a, std::array<std::uint8_t, 6>{1, 2, 1, 2, 3, 4}.data(), 6), 6u);
  Lib::Fill(b, 6, 0xAB);
  EXPECT_EQ(b[0], 0xAB);
  EXPECT_EQ(b[5], 0xAB);

  void* block = nullptr;
  ASSERT_TRUE(Storage::Allocate(&block, 64));
  ASSERT_NE(block, nullptr);
  const std::uint8_t zeros[64] = {};
  EXPECT_EQ(Lib::Compare(block, zeros, 64), 64u);
  Storage::Free(&block);
  EXPECT_EQ(block, nullptr);
  Storage::Free(&block);  // already released: nothing happens
  ASSERT_TRUE(Storage::Allocate(&block, 0));
  EXPECT_NE(block, nullptr);
  Storage::Free(&block);
}
