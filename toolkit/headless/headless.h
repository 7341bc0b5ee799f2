// The headless peer: shows nothing, records everything. Tests drive the program
// through it: they read titles, controls and drawing, press buttons, pick list
// items, see every message box, and pump the event loop step by step.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "peer/peer.h"

struct THeadlessBox {
  CWindow* Owner = nullptr;
  std::string Title;
  std::string Line1;
  std::string Line2;
  std::string Line3;
  PPicture Icon = nullptr;
};

struct THeadlessDraw {
  // Write is a WriteText call (an enumerator named Text would clash with the text).
  enum TOp { Fill, Pen, Line, Write, Font } Op = Fill;
  std::int32_t A = 0, B = 0, C = 0, D = 0;  // Fill x y w h; Line x1 y1 x2 y2; Write x y length
  TColor Color = 0;                         // Pen
  std::string Text;                         // Write: the text as drawn (cut at its length and NUL)
  TFont FontUsed = nullptr;                 // Font; for Write, the font in effect
};

// What the toolkit pushed to one native part: what a user would see.
struct THeadlessNative {
  bool Shown = false;
  CRect Rect;
  std::string Text;  // button label or window title
  bool Enabled = true;
  std::int32_t Selected = 0;
  std::int32_t ItemsChanges = 0;
  std::int32_t Invalidations = 0;
  std::int32_t SentToBack = 0;
  HANDLE SmallIcon = nullptr;
  HANDLE LargeIcon = nullptr;
  std::uint32_t State = 0;  // WindowStateMinimized / WindowStateMaximized as last pushed
};

class CHeadlessPeers : public CPeerFactory {
 public:
  // Every message box shown, in order.
  std::vector<THeadlessBox> Boxes;
  // Called while a box is open (inside the modal call), for tests that act then.
  std::function<void(const THeadlessBox&)> OnBox;
  // Text metric: a character is Size * CharWidthPercent / 100 pixels wide (at
  // least 1), a bold one a pixel more.
  static constexpr std::int32_t DefaultCharWidthPercent = 60;
  std::int32_t CharWidthPercent = DefaultCharWidthPercent;
  // Number of times RunLoop was entered; RunLoop pumps until no window is left
  // or nothing can happen any more.
  std::int32_t Loops = 0;
  // How long RunLoop waits on watched descriptors before it decides that
  // nothing can happen any more.
  static constexpr std::int32_t DefaultIdleMs = 200;
  std::int32_t IdleMs = DefaultIdleMs;
  // The screens' work areas, in screen coordinates. Empty: the peer cannot
  // tell, and every position counts as on a screen.
  std::vector<CRect> Screens;

  // Forgets the records and settings above (not the live native parts or
  // watches), for a test that starts the program again in the same process.
  void Reset();

  // Runs the view's PaintView on a recording device context whose initial font
  // is graphics context 7's text font, and returns the calls.
  std::vector<THeadlessDraw> Paint(CView* view);
  // How often InvalidateView reached the view's peer (since its native part was made).
  std::int32_t Invalidations(const CView* view) const;
  // The view's native part, or null while it has none.
  const THeadlessNative* Native(const CView* view) const;

  // Pumps events and notifications until `done` holds or `timeoutMs` passes
  // (waiting on the watched descriptors, not sleeping). Returns done().
  bool PumpUntil(const std::function<bool()>& done, std::int32_t timeoutMs);

  // The factory's side of the CPeerFactory interface.
  CWindowPeer* NewWindowPeer(CWindow* window) override;
  CViewPeer* NewButtonPeer(CButton* button, CWindowPeer* parent) override;
  CViewPeer* NewComboPeer(CComboBox* combo, CWindowPeer* parent) override;
  CViewPeer* NewViewPeer(CView* view, CWindowPeer* parent) override;
  std::int32_t TextWidth(TFont font, std::int32_t length, const char* text) override;
  bool OnAnyScreen(const CRect& rect) override;
  std::int32_t MessageBox(CWindow* owner, const char* title, const char* line1, const char* line2,
                          const char* line3, PPicture icon) override;
  void RunLoop(CBackground* background) override;
  void WatchFd(int fd, ReadyFn ready, void* data) override;
  void UnwatchFd(int fd) override;
  std::int32_t PollFds(std::int32_t timeoutMs) override;

  std::size_t WatchedFds() const { return Watches.size(); }

 private:
  struct TWatch {
    int Fd;
    ReadyFn Ready;
    void* Data;
  };
  std::vector<TWatch> Watches;
  std::vector<std::pair<const CView*, THeadlessNative*>> Natives;
  std::uintptr_t NextHandle = 0x1000;
  friend class CHeadlessViewPeer;
  template <class>
  friend class CHeadlessPart;
};

// The factory in use when it is the headless one, else null.
CHeadlessPeers* HeadlessPeers();
