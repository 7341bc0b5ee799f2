// The Win32 peer: the toolkit's windows and controls as native windows, its
// drawing as GDI. Only the files of this folder (and the tests of this peer)
// include this header.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "peer/peer.h"
#include "win32api.h"

// Undone again after <windows.h>: see peer/peer.h.
#ifdef MessageBox
#undef MessageBox
#endif

// GDI fonts for the toolkit's font descriptors, made on first use and kept
// until the factory goes.
class CWin32Fonts {
 public:
  CWin32Fonts() = default;
  ~CWin32Fonts();
  CWin32Fonts(const CWin32Fonts&) = delete;
  CWin32Fonts& operator=(const CWin32Fonts&) = delete;
  // A null descriptor is the dialog font of graphics context 7.
  HFONT Get(TFont font);

 private:
  std::map<TFont, HFONT> Made;
};

// Draws into a device context whose initial font, text colour and background
// the caller has set; the toolkit's inclusive line ends and its 0xRRGGBB
// colours are turned into GDI's terms here.
class CWin32DrawPeer : public CDrawPeer {
 public:
  CWin32DrawPeer(HDC dc, CWin32Fonts* fonts, HBRUSH background);
  ~CWin32DrawPeer() override;
  CWin32DrawPeer(const CWin32DrawPeer&) = delete;
  CWin32DrawPeer& operator=(const CWin32DrawPeer&) = delete;

  void FillArea(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) override;
  void SetPenColor(TColor color) override;
  void DrawLine(std::int32_t x1, std::int32_t y1, std::int32_t x2, std::int32_t y2) override;
  void WriteText(std::int32_t x, std::int32_t y, std::int32_t length, const char* text) override;
  void SelectFont(TFont font) override;

 private:
  HDC Dc;
  CWin32Fonts* Fonts;
  HBRUSH Background;
  HPEN Pen = nullptr;
  HGDIOBJ OriginalPen = nullptr;
  HGDIOBJ OriginalFont = nullptr;
  COLORREF PenColor = 0;
};

// The toolkit's line colours are the classic grey etching; on Windows the
// user's own 3-D colours stand in for them.
COLORREF Win32ColorOf(TColor color);

// The message box text: the three lines joined by line breaks. An empty last
// line is kept as a line of its own.
std::string Win32BoxText(const char* line1, const char* line2, const char* line3);

// The system menu entry that shows the About box.
constexpr UINT Win32AboutMenuId = 0x0010;
// The command the About entry sends to the window.
constexpr std::uint32_t Win32AboutCommand = 1001;

class CWin32Peers : public CPeerFactory {
 public:
  CWin32Peers();
  ~CWin32Peers() override;
  CWin32Peers(const CWin32Peers&) = delete;
  CWin32Peers& operator=(const CWin32Peers&) = delete;

  CWindowPeer* NewWindowPeer(CWindow* window) override;
  CViewPeer* NewButtonPeer(CButton* button, CWindowPeer* parent) override;
  CViewPeer* NewComboPeer(CComboBox* combo, CWindowPeer* parent) override;
  CViewPeer* NewViewPeer(CView* view, CWindowPeer* parent) override;

  std::int32_t StandardHeight(TControlKind) override { return 24; }
  std::int32_t TextWidth(TFont font, std::int32_t length, const char* text) override;
  bool OnAnyScreen(const CRect& rect) override;

  std::int32_t MessageBox(CWindow* owner, const char* title, const char* line1, const char* line2,
                          const char* line3, PPicture icon) override;

  void Wake() override;
  void RunLoop(CBackground* background) override;

  // Handles one message of the thread's queue, waiting for it; false on WM_QUIT.
  bool PumpMessage();
  // Handles the messages already queued, without waiting.
  void PumpPending();

  CWin32Fonts& Fonts() { return FontCache; }
  HINSTANCE Module() const { return Instance; }
  // A control identifier not used by another live control.
  UINT NextControlId();
  // Called by the wake window.
  void WakeReceived();

 private:
  bool Dispatch(MSG& msg);

  HINSTANCE Instance;
  CWin32Fonts FontCache;
  HWND WakeWindow = nullptr;
  bool WakePosted = false;
  // While a message box runs its own loop, queued events wait for it to end:
  // they belong after the handler that opened the box.
  std::int32_t ModalDepth = 0;
  UINT ControlId = 0;
};

// True for a top-level window of this peer.
bool Win32IsToolkitWindow(HWND handle);

// The native part of a view inside a toolkit window: a button, a drop-down
// list or a custom-drawn view, a child window of the window's native window.
class CWin32ChildPeer : public CViewPeer {
 public:
  ~CWin32ChildPeer() override;
  CWin32ChildPeer(const CWin32ChildPeer&) = delete;
  CWin32ChildPeer& operator=(const CWin32ChildPeer&) = delete;

  void Show() override;
  void Invalidate() override;
  void SetRect(const CRect& rect) override;
  void SetText(const char* text) override;
  void SetEnabled(bool enabled) override;
  void SendToBack() override;
  // A notification the child sent to its parent (BN_CLICKED, CBN_SELCHANGE).
  virtual void Notify(WORD) {}

  HWND Hwnd = nullptr;

 protected:
  CWin32ChildPeer() = default;
  // Takes over a created child window.
  void Adopt(HWND handle);
};

// The child peer of a native child window, or null.
CWin32ChildPeer* Win32ChildPeerOf(HWND handle);
