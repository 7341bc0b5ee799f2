// Fonts, graphics contexts, pictures, drawing and the start-up of the modules.
#include "toolkit_core.h"

namespace {

// Peers map these descriptors to their platform's fonts.
const TFontDesc DialogFont{"Sans", 12, false};
const TFontDesc CaptionFontDesc{"Sans", 12, true};

// The etched separator: a shadow line above a highlight line.
TGContext DialogContext{&DialogFont, 0x808080, 0xFFFFFF};

const TPicture InfoPicture{TPicture::StockInfo, 0};
const TPicture StopPicture{TPicture::StockStop, 0};
// The program's resources carry no icon of their own for the About box; this
// number is the one it asks for, and every peer shows the program's icon for it.
constexpr std::int32_t AboutIconNumber = 1001;
const TPicture AboutPicture{TPicture::Resource, AboutIconNumber};

HINSTANCE AppHandle = nullptr;
bool CoreInstalled = false;

}  // namespace

const PPicture piInfo32 = &InfoPicture;
const PPicture piStop = &StopPicture;
TFont CaptionFont = &CaptionFontDesc;

TGContext* GetPGContext(std::int32_t n) {
  return n == 7 ? &DialogContext : nullptr;
}

std::int32_t GetTextW(TFont font, std::int32_t length, const char* text) {
  std::int32_t n = 0;
  while (text != nullptr && n < length && text[n] != '\0') {
    ++n;
  }
  return Peers()->TextWidth(font, n, text);
}

// ---------------------------------------------------------------------------

void CDeviceContext::FillArea(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
  if (Peer != nullptr) {
    Peer->FillArea(x, y, w, h);
  }
}

void CDeviceContext::SetPenColor(TColor color) {
  if (Peer != nullptr) {
    Peer->SetPenColor(color);
  }
}

void CDeviceContext::DrawLine(std::int32_t x1, std::int32_t y1, std::int32_t x2, std::int32_t y2) {
  if (Peer != nullptr) {
    Peer->DrawLine(x1, y1, x2, y2);
  }
}

void CDeviceContext::WriteText(std::int32_t x, std::int32_t y, std::int32_t length,
                               const char* text) {
  if (Peer == nullptr || text == nullptr) {
    return;
  }
  std::int32_t n = 0;
  while (n < length && text[n] != '\0') {
    ++n;
  }
  Peer->WriteText(x, y, n, text);
}

void CDeviceContext::SelectFont(TFont font) {
  if (Peer != nullptr) {
    Peer->SelectFont(font);
  }
}

// ---------------------------------------------------------------------------
// Start-up. Tests start the program many times in one process, so each module
// may be started again; only the core installs anything (the port's hook into
// the platform), and CloseModules undoes that when the background ends.

void Init_StockResources() {}
void Init_Graphics() {}
void Init_Fonts() {}

void Init_Core() {
  if (!CoreInstalled) {
    ToolkitPortInit();
    CoreInstalled = true;
  }
}

void Init_Views() {}
void Init_Tools() {}
void Init_Controls() {}
void Init_Windows() {}
void Init_Dialogs() {}
void Init_TabPanes() {}

void InitToolkit() {
  Init_StockResources();
  Init_Graphics();
  Init_Fonts();
  Init_Core();
  Init_Views();
  Init_Tools();
  Init_Controls();
  Init_Windows();
  Init_Dialogs();
  Init_TabPanes();
}

void CloseModules() {
  if (CoreInstalled) {
    ToolkitPortDone();
    CoreInstalled = false;
  }
}

void SetAppHandle(HINSTANCE module) {
  AppHandle = module;
}

HINSTANCE GetAppHandle() {
  return AppHandle;
}

PPicture InitResIconNum(HINSTANCE, std::int32_t number) {
  return number == AboutIconNumber ? &AboutPicture : nullptr;
}
