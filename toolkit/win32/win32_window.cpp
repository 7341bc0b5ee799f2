// A toolkit window as a native top-level window: a fixed-size captioned frame
// whose client area is the window's rectangle, with an About entry in its
// system menu.
#include "win32_peers.h"

namespace {

constexpr char WindowClassName[] = "PelwinWindow";
constexpr DWORD WindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD WindowExStyle = 0;

// The offset of the work area from the monitor's corner: GetWindowPlacement
// and SetWindowPlacement count in work-area coordinates, the toolkit in screen
// coordinates. Non-zero when a taskbar sits at the top or left.
POINT WorkAreaOffset(HWND window) {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (!GetMonitorInfoA(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) {
    return {0, 0};
  }
  return {monitor.rcWork.left - monitor.rcMonitor.left, monitor.rcWork.top - monitor.rcMonitor.top};
}

// The outer size of a frame whose client area is w by h.
SIZE FrameSize(std::int32_t w, std::int32_t h) {
  RECT frame{0, 0, w, h};
  AdjustWindowRectEx(&frame, WindowStyle, FALSE, WindowExStyle);
  return {frame.right - frame.left, frame.bottom - frame.top};
}

struct TScreenSearch {
  CRect Frame;
  std::int32_t Monitors = 0;
  bool Found = false;
};

BOOL CALLBACK SearchMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM data) {
  auto* search = reinterpret_cast<TScreenSearch*>(data);
  MONITORINFO info{};
  info.cbSize = sizeof info;
  if (!GetMonitorInfoA(monitor, &info)) {
    return TRUE;
  }
  ++search->Monitors;
  CRect work;
  work.Init(info.rcWork.left, info.rcWork.top, info.rcWork.right - info.rcWork.left,
            info.rcWork.bottom - info.rcWork.top);
  search->Found = RectsOverlap(search->Frame, work);
  return search->Found ? FALSE : TRUE;
}

// The window class, registered on first use.
const char* Win32WindowClass(HINSTANCE module);

class CWin32WindowPeer;

CWin32WindowPeer* PeerOf(HWND handle) {
  return reinterpret_cast<CWin32WindowPeer*>(GetWindowLongPtrA(handle, GWLP_USERDATA));
}

class CWin32WindowPeer : public CWindowPeer {
 public:
  explicit CWin32WindowPeer(CWindow* window) : Window(window) {}

  ~CWin32WindowPeer() override {
    if (Hwnd == nullptr) {
      return;
    }
    // The toolkit is ending the window: the messages of its destruction are
    // no longer the toolkit's business.
    SetWindowLongPtrA(Hwnd, GWLP_USERDATA, 0);
    DestroyWindow(Hwnd);
  }
  CWin32WindowPeer(const CWin32WindowPeer&) = delete;
  CWin32WindowPeer& operator=(const CWin32WindowPeer&) = delete;

  bool Create(HINSTANCE module) {
    const SIZE outer = FrameSize(Window->Rect.w, Window->Rect.h);
    // The position is used as it is: the program has already weighed it
    // against the screens (OnAnyScreen).
    CreateWindowExA(WindowExStyle, Win32WindowClass(module), Window->Title(), WindowStyle,
                    Window->Rect.x, Window->Rect.y, outer.cx, outer.cy, nullptr, nullptr, module,
                    this);
    if (Hwnd == nullptr) {
      return false;
    }
    HMENU system = GetSystemMenu(Hwnd, FALSE);
    if (system != nullptr) {
      AppendMenuA(system, MF_SEPARATOR, 0, nullptr);
      AppendMenuA(system, MF_STRING, Win32AboutMenuId, "About...");
    }
    Ready = true;
    return true;
  }

  HWND Handle() override { return Hwnd; }

  void Show() override {
    if (Shown) {
      return;
    }
    Shown = true;
    ShowWindow(Hwnd, ShowCommand);
    UpdateWindow(Hwnd);
  }

  void Invalidate() override { InvalidateRect(Hwnd, nullptr, TRUE); }

  void SetRect(const CRect& rect) override {
    const SIZE outer = FrameSize(rect.w, rect.h);
    if (IsIconic(Hwnd) || IsZoomed(Hwnd)) {
      // Moving a minimised or maximised window moves where it comes back to.
      WINDOWPLACEMENT placement{};
      placement.length = sizeof placement;
      if (GetWindowPlacement(Hwnd, &placement)) {
        const POINT offset = WorkAreaOffset(Hwnd);
        placement.rcNormalPosition = {rect.x - offset.x, rect.y - offset.y,
                                      rect.x - offset.x + outer.cx, rect.y - offset.y + outer.cy};
        placement.showCmd = IsIconic(Hwnd) ? SW_SHOWMINIMIZED : SW_SHOWMAXIMIZED;
        SetWindowPlacement(Hwnd, &placement);
      }
      return;
    }
    SetWindowPos(Hwnd, nullptr, rect.x, rect.y, outer.cx, outer.cy, SWP_NOZORDER | SWP_NOACTIVATE);
  }

  void SetTitle(const char* text) override { SetWindowTextA(Hwnd, text != nullptr ? text : ""); }

  void SetIcons(HANDLE smallIcon, HANDLE largeIcon) override {
    SendMessageA(Hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
    SendMessageA(Hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(largeIcon));
  }

  void Minimize() override { ApplyState(SW_SHOWMINIMIZED); }

  void Maximize() override { ApplyState(SW_SHOWMAXIMIZED); }

  void ReadPlacement(CWindow* window) override {
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    RECT frame;
    if (!GetWindowPlacement(Hwnd, &placement) || !GetWindowRect(Hwnd, &frame)) {
      return;
    }
    // Width and height stay the interior's: the frame's size is not the
    // toolkit's business.
    window->Rect.x = frame.left;
    window->Rect.y = frame.top;
    std::uint32_t state = 0;
    if (IsIconic(Hwnd)) {
      state = WindowStateMinimized;
    } else if (IsZoomed(Hwnd)) {
      state = WindowStateMaximized;
    }
    window->WindowState = state;
    const POINT offset = WorkAreaOffset(Hwnd);
    window->NormalRect.x = placement.rcNormalPosition.left + offset.x;
    window->NormalRect.y = placement.rcNormalPosition.top + offset.y;
    window->NormalRect.w = window->Rect.w;
    window->NormalRect.h = window->Rect.h;
  }

  // Messages of the native window; the toolkit window has had its chance.
  LRESULT Receive(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
      case WM_CLOSE:
        // This peer is gone when Close returns.
        Window->Close();
        return 0;
      case WM_ENDSESSION:
        // The session ends without closing the windows: end ours now, so
        // that it keeps its place for the next session.
        if (wParam != 0) {
          Window->Close();
        }
        return 0;
      case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == Win32AboutMenuId) {
          TEvent about;
          about.Kind = EventKindCommand;
          about.Command = Win32AboutCommand;
          Window->MakeEvent(about);
          return 0;
        }
        break;
      case WM_COMMAND:
        if (lParam != 0) {
          NotifyControl(reinterpret_cast<HWND>(lParam), HIWORD(wParam));
          return 0;
        }
        break;
      case WM_MOVE:
      case WM_SIZE:
        ReadPlacement(Window);
        break;
      default:
        break;
    }
    return DefWindowProcA(Hwnd, msg, wParam, lParam);
  }

  CWindow* Window;
  HWND Hwnd = nullptr;
  // Set once CreateWindowExA has returned: the messages of the creation come
  // before the toolkit knows the native window.
  bool Ready = false;

 private:
  void ApplyState(int command) {
    if (Shown) {
      ShowWindow(Hwnd, command);
    } else {
      ShowCommand = command;
    }
  }

  void NotifyControl(HWND control, WORD code) {
    if (GetParent(control) != Hwnd) {
      return;
    }
    CWin32ChildPeer* child = Win32ChildPeerOf(control);
    if (child != nullptr) {
      child->Notify(code);
    }
  }

  bool Shown = false;
  int ShowCommand = SW_SHOWNORMAL;
};

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* peer =
        static_cast<CWin32WindowPeer*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    peer->Hwnd = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(peer));
  }
  CWin32WindowPeer* peer = PeerOf(hwnd);
  if (peer == nullptr) {
    return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  if (peer->Ready) {
    // The program sees every message first (device changes above all). What
    // it does may end the window, and this peer with it.
    LRESULT result = TRUE;
    if (peer->Window->ReceiveMsg(msg, wParam, lParam, &result)) {
      return result;
    }
    peer = PeerOf(hwnd);
    if (peer == nullptr) {
      return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
  }
  return peer->Receive(msg, wParam, lParam);
}

const char* Win32WindowClass(HINSTANCE module) {
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = module;
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = WindowClassName;
    registered = RegisterClassExA(&windowClass) != 0;
  }
  return WindowClassName;
}

}  // namespace

bool Win32IsToolkitWindow(HWND handle) {
  char name[sizeof WindowClassName + 1];
  return GetClassNameA(handle, name, sizeof name) > 0 && lstrcmpA(name, WindowClassName) == 0;
}

bool CWin32Peers::OnAnyScreen(const CRect& rect) {
  // The frame counts: its title bar is what the user takes hold of.
  const SIZE outer = FrameSize(rect.w, rect.h);
  TScreenSearch search;
  search.Frame.Init(rect.x, rect.y, outer.cx, outer.cy);
  EnumDisplayMonitors(nullptr, nullptr, SearchMonitor, reinterpret_cast<LPARAM>(&search));
  // No monitor at all: nothing to weigh the position against.
  return search.Found || search.Monitors == 0;
}

CWindowPeer* CWin32Peers::NewWindowPeer(CWindow* window) {
  auto* peer = new CWin32WindowPeer(window);
  if (!peer->Create(Instance)) {
    delete peer;
    return nullptr;
  }
  return peer;
}
