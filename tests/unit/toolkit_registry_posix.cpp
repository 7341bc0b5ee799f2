// CRegScannerA on the POSIX registry store, in a private user root.
#include <gtest/gtest.h>

#include <string>

#include "support/temp_roots_posix.h"
#include "toolkit.h"
#include "win32api.h"

namespace {

const char Key[] = "Software\\Varnosti\\pelwin";
const std::int32_t KeyLength = sizeof Key - 1;

}  // namespace

TEST(ToolkitRegistry, ValuesRoundTripThroughASection) {
  TTempRoots roots;
  CRegScannerA scanner;
  EXPECT_FALSE(scanner.Init(0, "", KeyLength, Key, HKEY_CURRENT_USER));
  EXPECT_FALSE(scanner.SetSection(6, "Window"));
  EXPECT_FALSE(scanner.SetKeyInt(4, "XPos", 1));

  ASSERT_TRUE(scanner.Create(0, "", KeyLength, Key, HKEY_CURRENT_USER));
  EXPECT_FALSE(scanner.SetSection(6, "Window"));
  EXPECT_TRUE(scanner.CreateSection(6, "Window"));
  ASSERT_TRUE(scanner.SetSection(6, "Window"));
  EXPECT_TRUE(scanner.SetKeyInt(4, "XPos and more", -32000));
  EXPECT_TRUE(scanner.SetKeyCard(4, "YPos", 4294967295u));
  scanner.Done();
  scanner.vfDone();

  ASSERT_TRUE(scanner.vfInit(0, "", KeyLength, Key, HKEY_CURRENT_USER));
  std::int32_t x = 100;
  std::int32_t y = 100;
  // Without a section the values are the key's own: there are none.
  EXPECT_FALSE(scanner.GetKeyInt(4, "XPos", &x));
  EXPECT_EQ(x, 100);
  ASSERT_TRUE(scanner.SetSection(99, "Window"));
  EXPECT_TRUE(scanner.GetKeyInt(4, "XPos", &x));
  EXPECT_EQ(x, -32000);
  EXPECT_TRUE(scanner.GetKeyInt(4, "YPos", &y));
  EXPECT_EQ(y, -1);
  std::uint32_t card = 0;
  EXPECT_TRUE(scanner.GetKeyCard(4, "XPos", &card));
  EXPECT_EQ(card, static_cast<std::uint32_t>(-32000));

  EXPECT_TRUE(scanner.DeleteKey(4, "XPos"));
  x = 7;
  EXPECT_FALSE(scanner.GetKeyInt(4, "XPos", &x));
  EXPECT_EQ(x, 7);
  EXPECT_FALSE(scanner.SetSection(5, "Other"));
}

TEST(ToolkitRegistry, ThePrefixGoesInFrontOfThePathAndASecondInitReopens) {
  TTempRoots roots;
  CRegScannerA scanner;
  ASSERT_TRUE(scanner.Create(9, "Software\\", 14, "Varnosti\\other", HKEY_CURRENT_USER));
  EXPECT_TRUE(scanner.SetKeyInt(1, "A", 1));
  ASSERT_TRUE(scanner.Init(0, "", 17, "Software\\Varnosti", HKEY_CURRENT_USER));
  EXPECT_TRUE(scanner.SetSection(5, "other"));
  std::int32_t a = 0;
  EXPECT_TRUE(scanner.GetKeyInt(1, "A", &a));
  EXPECT_EQ(a, 1);
  EXPECT_FALSE(scanner.Init(0, "", 7, "Missing", HKEY_CURRENT_USER));
  EXPECT_FALSE(scanner.GetKeyInt(1, "A", &a));
}

TEST(ToolkitRegistry, PathsAndNamesTooLongAreRefusedNotCut) {
  TTempRoots roots;
  CRegScannerA scanner;
  const std::string path = "Software\\" + std::string(260, 'k');
  EXPECT_FALSE(scanner.Create(0, "", static_cast<std::int32_t>(path.size()), path.c_str(),
                              HKEY_CURRENT_USER));
  // Cut to 260 characters the path names a key that the refused Create would have made.
  EXPECT_FALSE(scanner.Init(0, "", 260, path.c_str(), HKEY_CURRENT_USER));
  EXPECT_FALSE(scanner.Create(9, "Software\\", 252, path.c_str() + 9, HKEY_CURRENT_USER));

  ASSERT_TRUE(scanner.Create(0, "", KeyLength, Key, HKEY_CURRENT_USER));
  const std::string name(256, 'n');
  EXPECT_FALSE(scanner.SetKeyInt(256, name.c_str(), 1));
  EXPECT_TRUE(scanner.SetKeyInt(255, name.c_str(), 2));
  std::int32_t value = 0;
  EXPECT_FALSE(scanner.GetKeyInt(256, name.c_str(), &value));
  EXPECT_EQ(value, 0);
  EXPECT_FALSE(scanner.CreateSection(256, name.c_str()));
}
