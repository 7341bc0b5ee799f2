// The window reopens where the user last closed it: its left and top edges live
// in the per-user registry. A position that is on no screen any more (the
// monitor it was on has gone) gives way to the default one.
#include "app/brisa_config.h"
#include "app/texts.h"
#include "app/user_settings.h"

namespace {

constexpr char XValue[] = "XPos";
constexpr char YValue[] = "YPos";

}  // namespace

void LoadWindowPosition(std::int32_t* position) {
  const std::int32_t defaults[2] = {position[0], position[1]};
  CRegScannerA scanner;
  if (scanner.Init(0, "", Len(SettingsKey), SettingsKey, HKEY_CURRENT_USER) &&
      scanner.SetSection(Len(WindowSection), WindowSection)) {
    scanner.GetKeyInt(Len(XValue), XValue, &position[0]);
    scanner.GetKeyInt(Len(YValue), YValue, &position[1]);
  }
  scanner.Done();
  // Opened there, the window would be a taskbar button and nothing to click.
  // Any part of it on any screen is enough to reach it; that is kept as stored.
  CRect stored;
  stored.Init(position[0], position[1], WindowWidth, WindowHeight);
  if (!OnAnyScreen(stored)) {
    position[0] = defaults[0];
    position[1] = defaults[1];
  }
}

void SaveWindowPosition(const std::int32_t* position) {
  CRegScannerA scanner;
  if (scanner.Create(0, "", Len(SettingsKey), SettingsKey, HKEY_CURRENT_USER)) {
    if (!scanner.SetSection(Len(WindowSection), WindowSection)) {
      scanner.CreateSection(Len(WindowSection), WindowSection);
    }
    if (scanner.SetSection(Len(WindowSection), WindowSection)) {
      scanner.SetKeyInt(Len(XValue), XValue, position[0]);
      scanner.SetKeyInt(Len(YValue), YValue, position[1]);
    }
  }
  scanner.Done();
}
