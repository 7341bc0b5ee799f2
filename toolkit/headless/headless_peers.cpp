// The headless peer: every native part is a record of what the toolkit pushed
// to it, and the loop runs only when a test pumps it.
#include <algorithm>
#include <chrono>

#include "headless.h"

// The state every headless native part keeps, for views and windows alike.
template <class TBase>
class CHeadlessPart : public TBase {
 public:
  CHeadlessPart(CHeadlessPeers* factory, const CView* view) : Factory(factory) {
    Factory->Natives.emplace_back(view, &State);
  }
  ~CHeadlessPart() override {
    std::erase_if(Factory->Natives, [this](const auto& entry) { return entry.second == &State; });
  }
  CHeadlessPart(const CHeadlessPart&) = delete;
  CHeadlessPart& operator=(const CHeadlessPart&) = delete;

  void Show() override { State.Shown = true; }
  void Invalidate() override { ++State.Invalidations; }
  void SetRect(const CRect& rect) override { State.Rect = rect; }
  void SetText(const char* text) override { State.Text = text != nullptr ? text : ""; }
  void SetEnabled(bool enabled) override { State.Enabled = enabled; }
  void ItemsChanged() override { ++State.ItemsChanges; }
  void SetSelected(std::int32_t index) override { State.Selected = index; }
  void SendToBack() override { ++State.SentToBack; }

 protected:
  THeadlessNative State;

 private:
  CHeadlessPeers* Factory;
};

class CHeadlessViewPeer : public CHeadlessPart<CViewPeer> {
 public:
  using CHeadlessPart::CHeadlessPart;
};

class CHeadlessWindowPeer : public CHeadlessPart<CWindowPeer> {
 public:
  CHeadlessWindowPeer(CHeadlessPeers* factory, const CWindow* window, HWND handle)
      : CHeadlessPart(factory, window), FakeHandle(handle) {}
  HWND Handle() override { return FakeHandle; }
  void SetTitle(const char* text) override { SetText(text); }
  void SetIcons(HANDLE smallIcon, HANDLE largeIcon) override {
    State.SmallIcon = smallIcon;
    State.LargeIcon = largeIcon;
  }
  void Minimize() override { State.State = WindowStateMinimized; }
  void Maximize() override { State.State = WindowStateMaximized; }
  // There is no window manager to move the window: tests set the window's
  // rectangle and state themselves.
  void ReadPlacement(CWindow*) override {}

 private:
  HWND FakeHandle;
};

namespace {

class CHeadlessDrawPeer : public CDrawPeer {
 public:
  explicit CHeadlessDrawPeer(TFont font) : Current(font) {}

  void FillArea(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) override {
    THeadlessDraw call;
    call.Op = THeadlessDraw::Fill;
    call.A = x;
    call.B = y;
    call.C = w;
    call.D = h;
    Calls.push_back(call);
  }
  void SetPenColor(TColor color) override {
    THeadlessDraw call;
    call.Op = THeadlessDraw::Pen;
    call.Color = color;
    Calls.push_back(call);
  }
  void DrawLine(std::int32_t x1, std::int32_t y1, std::int32_t x2, std::int32_t y2) override {
    THeadlessDraw call;
    call.Op = THeadlessDraw::Line;
    call.A = x1;
    call.B = y1;
    call.C = x2;
    call.D = y2;
    Calls.push_back(call);
  }
  void WriteText(std::int32_t x, std::int32_t y, std::int32_t length, const char* text) override {
    THeadlessDraw call;
    call.Op = THeadlessDraw::Write;
    call.A = x;
    call.B = y;
    call.C = length;
    call.Text.assign(text, static_cast<std::size_t>(length));
    call.FontUsed = Current;
    Calls.push_back(call);
  }
  void SelectFont(TFont font) override {
    Current = font;
    THeadlessDraw call;
    call.Op = THeadlessDraw::Font;
    call.FontUsed = font;
    Calls.push_back(call);
  }

  std::vector<THeadlessDraw> Calls;

 private:
  TFont Current;
};

}  // namespace

void CHeadlessPeers::Reset() {
  Boxes.clear();
  OnBox = nullptr;
  CharWidthPercent = DefaultCharWidthPercent;
  Loops = 0;
  IdleMs = DefaultIdleMs;
  Screens.clear();
}

bool CHeadlessPeers::OnAnyScreen(const CRect& rect) {
  return Screens.empty() || std::any_of(Screens.begin(), Screens.end(), [&rect](const CRect& area) {
           return RectsOverlap(rect, area);
         });
}

std::vector<THeadlessDraw> CHeadlessPeers::Paint(CView* view) {
  CHeadlessDrawPeer recorder(GetPGContext(7)->TextFont);
  CDeviceContext dc(&recorder);
  view->PaintView(dc);
  return std::move(recorder.Calls);
}

const THeadlessNative* CHeadlessPeers::Native(const CView* view) const {
  const auto found = std::find_if(Natives.begin(), Natives.end(),
                                  [view](const auto& entry) { return entry.first == view; });
  return found == Natives.end() ? nullptr : found->second;
}

std::int32_t CHeadlessPeers::Invalidations(const CView* view) const {
  const THeadlessNative* native = Native(view);
  return native != nullptr ? native->Invalidations : 0;
}

CWindowPeer* CHeadlessPeers::NewWindowPeer(CWindow* window) {
  // Never reused, so a stale handle finds no window.
  NextHandle += 0x10;
  return new CHeadlessWindowPeer(this, window, reinterpret_cast<HWND>(NextHandle));
}

CViewPeer* CHeadlessPeers::NewButtonPeer(CButton* button, CWindowPeer*) {
  return new CHeadlessViewPeer(this, button);
}

CViewPeer* CHeadlessPeers::NewComboPeer(CComboBox* combo, CWindowPeer*) {
  return new CHeadlessViewPeer(this, combo);
}

CViewPeer* CHeadlessPeers::NewViewPeer(CView* view, CWindowPeer*) {
  return new CHeadlessViewPeer(this, view);
}

std::int32_t CHeadlessPeers::TextWidth(TFont font, std::int32_t length, const char* text) {
  if (font == nullptr) {
    font = GetPGContext(7)->TextFont;
  }
  std::int32_t n = 0;
  while (text != nullptr && n < length && text[n] != '\0') {
    ++n;
  }
  const std::int32_t perChar =
      std::max<std::int32_t>(1, font->Size * CharWidthPercent / 100) + (font->Bold ? 1 : 0);
  return n * perChar;
}

std::int32_t CHeadlessPeers::MessageBox(CWindow* owner, const char* title, const char* line1,
                                        const char* line2, const char* line3, PPicture icon) {
  THeadlessBox box;
  box.Owner = owner;
  box.Title = title != nullptr ? title : "";
  box.Line1 = line1 != nullptr ? line1 : "";
  box.Line2 = line2 != nullptr ? line2 : "";
  box.Line3 = line3 != nullptr ? line3 : "";
  box.Icon = icon;
  Boxes.push_back(box);
  if (OnBox) {
    // A copy: the callback may open another box.
    OnBox(box);
  }
  return 1;
}

void CHeadlessPeers::WatchFd(int fd, ReadyFn ready, void* data) {
  for (TWatch& watch : Watches) {
    if (watch.Fd == fd) {
      watch.Ready = ready;
      watch.Data = data;
      return;
    }
  }
  Watches.push_back({fd, ready, data});
}

void CHeadlessPeers::UnwatchFd(int fd) {
  std::erase_if(Watches, [fd](const TWatch& watch) { return watch.Fd == fd; });
}

namespace {

// Events and ready descriptors, without waiting, until nothing is left.
std::int32_t PumpAll(CPeerFactory* peers) {
  std::int32_t total = 0;
  for (;;) {
    const std::int32_t handled = DispatchQueuedEvents() + peers->PollFds(0);
    if (handled == 0) {
      return total;
    }
    total += handled;
  }
}

}  // namespace

bool CHeadlessPeers::PumpUntil(const std::function<bool()>& done, std::int32_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    PumpAll(this);
    if (done()) {
      return true;
    }
    // Everything the program does comes through events or watched descriptors:
    // with neither, nothing can change any more.
    if (Watches.empty()) {
      return false;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return false;
    }
    PollFds(static_cast<std::int32_t>(left));
  }
}

void CHeadlessPeers::RunLoop(CBackground* background) {
  ++Loops;
  while (background->HasWindows()) {
    if (PumpAll(this) > 0) {
      continue;
    }
    if (Watches.empty() || (PollFds(IdleMs) == 0 && !HasQueuedEvents())) {
      return;
    }
  }
}
