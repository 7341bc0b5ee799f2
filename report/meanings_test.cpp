// What pelwin-report tells a user for each state of a driver's permission: a
// wrong branch here sends a user to remove a value pelwin still needs, or to
// leave one standing that nothing will take back.
#include <gtest/gtest.h>

#include "report/meanings.h"
#include "report/report.h"

namespace {

struct TDriverCase {
  const char* Name;
  TKeyState Key;
  bool Writable;
  TValueState Value;
  std::uint32_t Number;
  DWORD ValueError;
  THeldState Held;
  bool Marked;
  bool CamerasDriver;
  bool Administrator;
  const char* Meaning;  // how the line starts; "" for none
};

const TDriverCase DriverCases[] = {
    {"absent", TKeyState::Present, true, TValueState::Absent, 0, 0, THeldState::NotHeld, false,
     true, true, ""},
    {"zero", TKeyState::Present, true, TValueState::Dword, 0, 0, THeldState::NotHeld, false, true,
     true, "0 grants nothing"},
    {"held", TKeyState::Present, true, TValueState::Dword, 1, 0, THeldState::Held, true, true, true,
     "Any value but 0 lets the driver accept EEPROM writes from any program; the running pelwin"},
    {"left by pelwin", TKeyState::Present, true, TValueState::Dword, 1, 0, THeldState::NotHeld,
     true, false, true,
     "Any value but 0 lets the driver accept EEPROM writes from any program, "
     "and no running pelwin needs it: pelwin set it and deletes it when it is next started"},
    {"not pelwin's", TKeyState::Present, true, TValueState::Dword, 42, 0, THeldState::NotHeld,
     false, false, true,
     "Any value but 0 lets the driver accept EEPROM writes from any program, "
     "and pelwin did not set it, so it stays until removed: "},
    {"cannot tell", TKeyState::Present, true, TValueState::Dword, 1, 0, THeldState::CannotTell,
     true, false, true,
     "Any value but 0 lets the driver accept EEPROM writes from any program; "
     "close every pelwin"},
    {"not a dword", TKeyState::Present, true, TValueState::Unreadable, 0, ERROR_UNSUPPORTED_TYPE,
     THeldState::NotHeld, false, false, true, "The driver takes only a number"},
    {"another driver missing", TKeyState::Missing, false, TValueState::Absent, 0, 0,
     THeldState::NotHeld, false, false, true, ""},
    {"the camera's driver missing", TKeyState::Missing, false, TValueState::Absent, 0, 0,
     THeldState::NotHeld, false, true, true, "This is the driver of the camera found below"},
    {"another driver read-only, no administrator", TKeyState::Present, false, TValueState::Absent,
     0, 0, THeldState::NotHeld, false, false, false, ""},
    {"the camera's driver read-only, no administrator", TKeyState::Present, false,
     TValueState::Absent, 0, 0, THeldState::NotHeld, false, true, false,
     "pelwin cannot set this camera's write permission without administrator rights"},
};

TEST(ReportMeanings, EachStateOfADriverGetsItsOwnWords) {
  for (const TDriverCase& c : DriverCases) {
    TDriverFacts driver;
    driver.Key = &ServiceKeyPath[0];
    driver.KeyState = c.Key;
    driver.Writable = c.Writable;
    driver.Value = c.Value;
    driver.Number = c.Number;
    driver.ValueError = c.ValueError;
    driver.Held = c.Held;
    driver.Marked = c.Marked;
    const std::string meaning = DriverMeaning(driver, c.CamerasDriver, c.Administrator);
    EXPECT_EQ(meaning.substr(0, std::string(c.Meaning).size()), c.Meaning) << c.Name;
    EXPECT_EQ(meaning.empty(), c.Meaning[0] == '\0') << c.Name;
    // Removing by hand is said exactly when nothing else will remove it.
    const bool byHand = meaning.find(RemoveValueHow(*driver.Key)) != std::string::npos;
    EXPECT_EQ(byHand, std::string(c.Name) == "not pelwin's" || std::string(c.Name) == "not a dword")
        << c.Name;
  }
}

}  // namespace
