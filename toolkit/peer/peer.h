// The peer interface: what a platform must supply to show the toolkit's objects.
//
// Every operation has a safe default, so a peer implements only what its
// platform can show. Exactly one peer library is linked into a program; its
// <peer>_init.cpp defines CreatePeerFactory() and is the only file that names
// its concrete classes.
#pragma once

#include <cstdint>

#include "toolkit.h"

// <windows.h> makes MessageBox a macro. A file that sees both must still name
// the peers' operation, or its declaration differs from the other files'.
#ifdef MessageBox
#undef MessageBox
#endif

class CDrawPeer {
 public:
  virtual ~CDrawPeer() = default;
  virtual void FillArea(std::int32_t, std::int32_t, std::int32_t, std::int32_t) {}
  virtual void SetPenColor(TColor) {}
  virtual void DrawLine(std::int32_t, std::int32_t, std::int32_t, std::int32_t) {}
  // `length` is already cut to the text's NUL.
  virtual void WriteText(std::int32_t, std::int32_t, std::int32_t, const char*) {}
  virtual void SelectFont(TFont) {}
};

// The native part of one view: a button, a drop-down list or a custom-drawn view.
class CViewPeer {
 public:
  virtual ~CViewPeer() = default;
  virtual void Show() {}
  virtual void Invalidate() {}
  virtual void SetRect(const CRect&) {}
  virtual void SetText(const char*) {}
  virtual void SetEnabled(bool) {}
  // A drop-down list's items changed (read them from the CComboBox).
  virtual void ItemsChanged() {}
  virtual void SetSelected(std::int32_t) {}
  // A new native part starts in front of its siblings; this puts it behind them.
  virtual void SendToBack() {}
};

class CWindowPeer : public CViewPeer {
 public:
  // The native handle; never null for a created window.
  virtual HWND Handle() = 0;
  virtual void SetTitle(const char*) {}
  virtual void SetIcons(HANDLE, HANDLE) {}
  virtual void Minimize() {}
  virtual void Maximize() {}
  // Copies the native window's position, state and normal rectangle into the
  // window's Rect, WindowState and NormalRect.
  virtual void ReadPlacement(CWindow*) {}
};

enum class TControlKind { Button, ComboBox };

class CPeerFactory {
 public:
  virtual ~CPeerFactory() = default;

  // Native parts. `parent` is the owning window's peer.
  virtual CWindowPeer* NewWindowPeer(CWindow* window) = 0;
  virtual CViewPeer* NewButtonPeer(CButton* button, CWindowPeer* parent) = 0;
  virtual CViewPeer* NewComboPeer(CComboBox* combo, CWindowPeer* parent) = 0;
  virtual CViewPeer* NewViewPeer(CView* view, CWindowPeer* parent) = 0;

  // Metrics.
  virtual std::int32_t StandardHeight(TControlKind) { return 24; }
  virtual std::int32_t TextWidth(TFont font, std::int32_t length, const char* text);
  // The interior of a window initialised with `rect`: the rectangle's size is the
  // interior's size on every port.
  virtual void InteriorSize(const CRect& rect, std::int32_t* width, std::int32_t* height) {
    *width = rect.w;
    *height = rect.h;
  }

  // Screens: whether any part of a top-level window at `rect` (left and top
  // edges, interior size) would lie on a screen's work area. The default cannot
  // tell and keeps every position.
  virtual bool OnAnyScreen(const CRect&) { return true; }

  // A modal message box; returns the button pressed.
  virtual std::int32_t MessageBox(CWindow* owner, const char* title, const char* line1,
                                  const char* line2, const char* line3, PPicture icon) = 0;

  // The event loop. Wake() is called when an event is queued from outside the
  // loop's own dispatch; RunLoop returns when the background has no window left.
  virtual void Wake() {}
  virtual void RunLoop(CBackground* background) = 0;
  // Readiness of descriptors (device notifications on POSIX).
  using ReadyFn = void (*)(int fd, void* data);
  virtual void WatchFd(int, ReadyFn, void*) {}
  virtual void UnwatchFd(int) {}
  // Runs the callbacks of ready descriptors, waiting at most timeoutMs
  // (0: no wait). Returns how many ran.
  virtual std::int32_t PollFds(std::int32_t) { return 0; }
};

// Whether two rectangles share a pixel. The edges are summed in 64 bits: a
// stored window position may be any 32-bit value.
bool RectsOverlap(const CRect& a, const CRect& b);

// Defined by the linked peer library.
CPeerFactory* CreatePeerFactory();

// The factory in use (created on first use).
CPeerFactory* Peers();
// Replaces the factory in use; returns the previous one. For tests.
CPeerFactory* SetPeers(CPeerFactory* factory);

// The port's own start-up and close-down (toolkit/<port>/): Init_Core and
// CBackground::Done call them.
void ToolkitPortInit();
void ToolkitPortDone();

// Handles every queued event; returns how many. Peers call it from their loops.
std::int32_t DispatchQueuedEvents();
bool HasQueuedEvents();
