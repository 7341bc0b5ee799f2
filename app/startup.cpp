// Start-up shared by the Windows and Linux entry points.
#include "app/brisa_config.h"

PPicture AboutIcon = nullptr;

namespace {

constexpr std::int32_t AboutIconNumber = 1001;
constexpr int ShowMinimized = 2;
constexpr int ShowMaximized = 3;
constexpr int ShowMinimize = 6;

}  // namespace

CBrisaConfig* StartApplication(HINSTANCE module, int showState) {
  InitToolkit();
  SetAppHandle(module);
  AboutIcon = InitResIconNum(GetAppHandle(), AboutIconNumber);

  PBackground = new CBackground();
  PBackground->Init(1);
  auto* window = new CBrisaConfig();
  window->ViewFlags |= ViewFlagBit31;
  window->Init();
  HANDLE largeIcon =
      LoadImageA(GetAppHandle(), "DEFAULT_ICON", IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR);
  HANDLE smallIcon =
      LoadImageA(GetAppHandle(), "DEFAULT_ICON", IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR);
  window->SetWinIcon(smallIcon, largeIcon);
  PBackground->Register(window);
  if (showState == ShowMinimized || showState == ShowMinimize) {
    window->Minimize();
  } else if (showState == ShowMaximized) {
    window->Maximize();
  }
  PBackground->Select();
  PBackground->Show();
  return window;
}

void EndApplication(CBrisaConfig* window) {
  // The window may still be open when the loop was left some other way.
  window->Close();
  PBackground->Done();
  delete window;
  delete PBackground;
  PBackground = nullptr;
}

int RunApplication(HINSTANCE module, int showState) {
  CBrisaConfig* window = StartApplication(module, showState);
  PBackground->Exec();
  EndApplication(window);
  return 0;
}
