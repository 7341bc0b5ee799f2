// Fonts, colours, drawing and text metrics in GDI.
#include <cstring>

#include "win32_peers.h"

namespace {

// The toolkit names generic faces; Windows has its dialog font for them.
const char* FaceFor(const char* face) {
  if (face == nullptr || face[0] == '\0' || std::strcmp(face, "Sans") == 0) {
    return "MS Shell Dlg";
  }
  if (std::strcmp(face, "Serif") == 0) {
    return "Times New Roman";
  }
  if (std::strcmp(face, "Mono") == 0 || std::strcmp(face, "Monospace") == 0) {
    return "Courier New";
  }
  return face;
}

std::int32_t CutAtNul(std::int32_t length, const char* text) {
  std::int32_t n = 0;
  while (text != nullptr && n < length && text[n] != '\0') {
    ++n;
  }
  return n;
}

}  // namespace

CWin32Fonts::~CWin32Fonts() {
  for (const auto& [descriptor, font] : Made) {
    DeleteObject(font);
  }
}

HFONT CWin32Fonts::Get(TFont font) {
  if (font == nullptr) {
    const TGContext* dialog = GetPGContext(7);
    font = dialog != nullptr ? dialog->TextFont : nullptr;
  }
  if (font == nullptr) {
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  }
  const auto found = Made.find(font);
  if (found != Made.end()) {
    return found->second;
  }
  LOGFONTA description{};
  // The size is the height of the font's cells, as in the classic 8-point
  // dialog font the program's rows and margins were laid out for; as a
  // character height the longest instruction line would not fit the pane.
  description.lfHeight = font->Size > 0 ? font->Size : 12;
  description.lfWeight = font->Bold ? FW_BOLD : FW_NORMAL;
  description.lfCharSet = DEFAULT_CHARSET;
  description.lfOutPrecision = OUT_DEFAULT_PRECIS;
  description.lfClipPrecision = CLIP_DEFAULT_PRECIS;
  description.lfQuality = DEFAULT_QUALITY;
  description.lfPitchAndFamily = DEFAULT_PITCH | FF_SWISS;
  std::strncpy(description.lfFaceName, FaceFor(font->Face), LF_FACESIZE - 1);
  HFONT made = CreateFontIndirectA(&description);
  if (made == nullptr) {
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  }
  Made.emplace(font, made);
  return made;
}

COLORREF Win32ColorOf(TColor color) {
  switch (color) {
    case 0x808080:
      return GetSysColor(COLOR_BTNSHADOW);
    case 0xFFFFFF:
      return GetSysColor(COLOR_BTNHIGHLIGHT);
    default:
      return RGB((color >> 16) & 0xFF, (color >> 8) & 0xFF, color & 0xFF);
  }
}

// ---------------------------------------------------------------------------

CWin32DrawPeer::CWin32DrawPeer(HDC dc, CWin32Fonts* fonts, HBRUSH background)
    : Dc(dc), Fonts(fonts), Background(background) {
  SetBkMode(Dc, TRANSPARENT);
  SetTextAlign(Dc, TA_LEFT | TA_TOP | TA_NOUPDATECP);
  // The initial font is the dialog font, the one the program measures its
  // labels in.
  OriginalFont = SelectObject(Dc, Fonts->Get(nullptr));
  OriginalPen = SelectObject(Dc, GetStockObject(BLACK_PEN));
}

CWin32DrawPeer::~CWin32DrawPeer() {
  SelectObject(Dc, OriginalFont);
  SelectObject(Dc, OriginalPen);
  if (Pen != nullptr) {
    DeleteObject(Pen);
  }
}

void CWin32DrawPeer::FillArea(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
  if (w <= 0 || h <= 0) {
    return;
  }
  const RECT area{x, y, x + w, y + h};
  FillRect(Dc, &area, Background);
}

void CWin32DrawPeer::SetPenColor(TColor color) {
  PenColor = Win32ColorOf(color);
  HPEN made = CreatePen(PS_SOLID, 1, PenColor);
  if (made == nullptr) {
    return;
  }
  SelectObject(Dc, made);
  if (Pen != nullptr) {
    DeleteObject(Pen);
  }
  Pen = made;
}

void CWin32DrawPeer::DrawLine(std::int32_t x1, std::int32_t y1, std::int32_t x2, std::int32_t y2) {
  MoveToEx(Dc, x1, y1, nullptr);
  LineTo(Dc, x2, y2);
  // GDI leaves out a line's last pixel; the toolkit's end point is inclusive
  // (the separator runs from 0 to width - 1).
  SetPixelV(Dc, x2, y2, PenColor);
}

void CWin32DrawPeer::WriteText(std::int32_t x, std::int32_t y, std::int32_t length,
                               const char* text) {
  if (length > 0) {
    TextOutA(Dc, x, y, text, length);
  }
}

void CWin32DrawPeer::SelectFont(TFont font) {
  SelectObject(Dc, Fonts->Get(font));
}

// ---------------------------------------------------------------------------

std::int32_t CWin32Peers::TextWidth(TFont font, std::int32_t length, const char* text) {
  const std::int32_t n = CutAtNul(length, text);
  if (n == 0) {
    return 0;
  }
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) {
    return CPeerFactory::TextWidth(font, n, text);
  }
  HGDIOBJ original = SelectObject(screen, FontCache.Get(font));
  SIZE extent{};
  const BOOL measured = GetTextExtentPoint32A(screen, text, n, &extent);
  SelectObject(screen, original);
  ReleaseDC(nullptr, screen);
  return measured ? extent.cx : CPeerFactory::TextWidth(font, n, text);
}
