// Windows and the background that runs them.
#include <algorithm>
#include <map>

#include "toolkit_core.h"

CBackground* PBackground = nullptr;

namespace {

constexpr std::int32_t TitleCapacity = 255;

std::map<HWND, CWindow*>& Handles() {
  static std::map<HWND, CWindow*> handles;
  return handles;
}

}  // namespace

bool OnAnyScreen(const CRect& rect) {
  return Peers()->OnAnyScreen(rect);
}

bool RectsOverlap(const CRect& a, const CRect& b) {
  const auto right = [](const CRect& r) { return std::int64_t{r.x} + r.w; };
  const auto bottom = [](const CRect& r) { return std::int64_t{r.y} + r.h; };
  return a.w > 0 && a.h > 0 && b.w > 0 && b.h > 0 && a.x < right(b) && b.x < right(a) &&
         a.y < bottom(b) && b.y < bottom(a);
}

CWindow::CWindow() = default;

CWindow::~CWindow() {
  CWindow::DeletePeerWindow();
  if (PBackground != nullptr) {
    PBackground->Unregister(this);
  }
}

void CWindow::Init(const CRect& rect, std::uint32_t options, std::int32_t titleLength,
                   const char* title, CMenuBar*, CDBNodeView*, CView*, CTabPaneFactory*) {
  Rect = rect;
  NormalRect = rect;
  Options = options;
  SetTitle(titleLength, title);
  Peers()->InteriorSize(rect, &InteriorWidth, &InteriorHeight);
  if (WindowPeer != nullptr) {
    WindowPeer->SetRect(Rect);
  }
}

void CWindow::SetTitle(std::int32_t length, const char* text) {
  TitleText.assign(TitleCapacity + 1, '\0');
  const std::int32_t n = Str::CopyA(TitleCapacity, TitleText.data(), length, text);
  TitleText.resize(static_cast<std::size_t>(n) + 1);
  if (WindowPeer != nullptr) {
    WindowPeer->SetTitle(Title());
  }
}

void CWindow::SetWinIcon(HANDLE smallIcon, HANDLE largeIcon) {
  SmallIcon = smallIcon;
  LargeIcon = largeIcon;
  if (WindowPeer != nullptr) {
    WindowPeer->SetIcons(SmallIcon, LargeIcon);
  }
}

void CWindow::Minimize() {
  if ((WindowState & (WindowStateMinimized | WindowStateMaximized)) == 0) {
    NormalRect = Rect;
  }
  WindowState = (WindowState & ~WindowStateMaximized) | WindowStateMinimized;
  if (WindowPeer != nullptr) {
    WindowPeer->Minimize();
  }
}

void CWindow::Maximize() {
  if ((WindowState & (WindowStateMinimized | WindowStateMaximized)) == 0) {
    NormalRect = Rect;
  }
  WindowState = (WindowState & ~WindowStateMinimized) | WindowStateMaximized;
  if (WindowPeer != nullptr) {
    WindowPeer->Maximize();
  }
}

bool CWindow::ReceiveMsg(UINT, WPARAM, LPARAM, LRESULT*) {
  return false;
}

void CWindow::CreatePeerWindow() {
  if (WindowPeer != nullptr || Ended) {
    return;
  }
  WindowPeer = Peers()->NewWindowPeer(this);
  if (WindowPeer == nullptr) {
    return;
  }
  Peer = WindowPeer;
  PeerHandle = WindowPeer->Handle();
  Handles()[PeerHandle] = this;
  WindowPeer->SetRect(Rect);
  WindowPeer->SetTitle(Title());
  if (SmallIcon != nullptr || LargeIcon != nullptr) {
    WindowPeer->SetIcons(SmallIcon, LargeIcon);
  }
  if ((WindowState & WindowStateMinimized) != 0) {
    WindowPeer->Minimize();
  } else if ((WindowState & WindowStateMaximized) != 0) {
    WindowPeer->Maximize();
  }
  RealizeChildren();
  if (Visible) {
    WindowPeer->Show();
  }
}

void CWindow::DeletePeerWindow() {
  // Native children go before the native window that holds them.
  CWindow::Unrealize();
  if (WindowPeer == nullptr) {
    return;
  }
  Handles().erase(PeerHandle);
  delete WindowPeer;
  WindowPeer = nullptr;
  Peer = nullptr;
  PeerHandle = nullptr;
}

void CWindow::Done() {
  if (Ended) {
    return;
  }
  EndChildren();
  if (WindowPeer != nullptr) {
    CWindow::DeletePeerWindow();
  }
  Ended = true;
}

void CWindow::ReceiveEvent(TEvent* event) {
  if ((event->Kind & EventKindCommand) != 0 && event->Command == CommandQuit && !event->Stopped) {
    Close();
  }
}

void CWindow::Close() {
  // The program's DeletePeerWindow and Done may post events, show boxes and
  // build controls; none of that may close the window a second time.
  if (Closing || Ended) {
    return;
  }
  Closing = true;
  if (WindowPeer != nullptr) {
    WindowPeer->ReadPlacement(this);
  }
  DeletePeerWindow();
  Done();
  if (PBackground != nullptr) {
    PBackground->WindowEnded(this);
  }
}

CWindow* CWindow::FromHandle(HWND handle) {
  const auto found = Handles().find(handle);
  return found == Handles().end() ? nullptr : found->second;
}

void CWindow::Realize() {
  if (WindowPeer != nullptr) {
    RealizeChildren();
  }
}

void CWindow::Unrealize() {
  for (CView* child : std::vector<CView*>(ChildList)) {
    child->Unrealize();
  }
}

// ---------------------------------------------------------------------------

CBackground::CBackground() = default;

CBackground::~CBackground() {
  if (PBackground == this) {
    PBackground = nullptr;
  }
}

void CBackground::Init(std::int32_t) {}

void CBackground::Register(CWindow* window) {
  if (window != nullptr &&
      std::find(WindowList.begin(), WindowList.end(), window) == WindowList.end()) {
    WindowList.push_back(window);
  }
}

void CBackground::Select() {}

void CBackground::Show() {
  for (CWindow* window : std::vector<CWindow*>(WindowList)) {
    if (window->Ended) {
      continue;
    }
    if (window->WindowPeer == nullptr) {
      window->CreatePeerWindow();
    }
    // Creating the native window runs the program's own code, which may end it.
    if (!window->Ended) {
      window->Show();
    }
  }
}

std::int32_t CBackground::Exec() {
  Peers()->RunLoop(this);
  return 0;
}

std::int32_t CBackground::Pump() {
  std::int32_t total = 0;
  for (;;) {
    const std::int32_t handled = DispatchQueuedEvents() + Peers()->PollFds(0);
    if (handled == 0) {
      return total;
    }
    total += handled;
  }
}

bool CBackground::HasWindows() const {
  return std::any_of(WindowList.begin(), WindowList.end(),
                     [](const CWindow* window) { return !window->Ended; });
}

void CBackground::WindowEnded(CWindow*) {
  // A loop that waits for the last window has to look again.
  Peers()->Wake();
}

void CBackground::Unregister(CWindow* window) {
  std::erase(WindowList, window);
}

void CBackground::Done() {
  ClearQueuedEvents();
  FreeEndedViews();
  CloseModules();
}
