// Buttons, drop-down lists and custom-drawn views as native child windows.
#include <algorithm>

#include "win32_peers.h"

namespace {

constexpr char ViewClassName[] = "PelwinView";
constexpr DWORD ChildStyle = WS_CHILD | WS_CLIPSIBLINGS;
// A dropped list shows this many items before it scrolls.
constexpr int VisibleItems = 8;

HWND NewChild(CWin32Peers* peers, const char* className, DWORD style, const CRect& rect,
              const char* text, CWindowPeer* parent) {
  if (parent == nullptr) {
    return nullptr;
  }
  HWND child = CreateWindowExA(
      0, className, text != nullptr ? text : "", ChildStyle | style, rect.x, rect.y, rect.w, rect.h,
      parent->Handle(), reinterpret_cast<HMENU>(static_cast<UINT_PTR>(peers->NextControlId())),
      peers->Module(), nullptr);
  if (child != nullptr) {
    SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(peers->Fonts().Get(nullptr)), FALSE);
    // A new native part starts in front of its siblings.
    SetWindowPos(child, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  return child;
}

class CWin32ButtonPeer : public CWin32ChildPeer {
 public:
  CWin32ButtonPeer(CButton* button, HWND handle) : Button(button) { Adopt(handle); }
  void Notify(WORD code) override {
    if (code == BN_CLICKED) {
      Button->Press();
    }
  }

 private:
  CButton* Button;
};

class CWin32ComboPeer : public CWin32ChildPeer {
 public:
  CWin32ComboPeer(CComboBox* combo, HWND handle) : Combo(combo) { Adopt(handle); }

  void SetRect(const CRect& rect) override {
    const int closed = rect.h > 0 ? rect.h : 24;
    // The closed height follows from the selection field's height (and the
    // font); the window's own height is how far the list drops.
    const LRESULT field = SendMessageA(Hwnd, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
    if (field != CB_ERR) {
      // Some lists add their own padding to the height they are given: the
      // error of one try corrects the next.
      LRESULT wanted = field + closed - ClosedHeight();
      for (int tries = 0; tries < 3 && ClosedHeight() != closed && wanted > 0; ++tries) {
        SendMessageA(Hwnd, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), wanted);
        wanted -= ClosedHeight() - closed;
      }
    }
    LRESULT item = SendMessageA(Hwnd, CB_GETITEMHEIGHT, 0, 0);
    if (item == CB_ERR || item <= 0) {
      item = 16;
    }
    const int open = closed + VisibleItems * static_cast<int>(item) + 2;
    SetWindowPos(Hwnd, nullptr, rect.x, rect.y, rect.w, open, SWP_NOZORDER | SWP_NOACTIVATE);
  }

  void ItemsChanged() override {
    SendMessageA(Hwnd, CB_RESETCONTENT, 0, 0);
    for (std::int32_t index = 1; index <= Combo->ItemCount(); ++index) {
      SendMessageA(Hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Combo->Item(index)));
    }
  }

  void SetSelected(std::int32_t index) override {
    SendMessageA(Hwnd, CB_SETCURSEL, index >= 1 ? static_cast<WPARAM>(index - 1) : WPARAM(-1), 0);
  }

  void Notify(WORD code) override {
    if (code != CBN_SELCHANGE) {
      return;
    }
    const LRESULT picked = SendMessageA(Hwnd, CB_GETCURSEL, 0, 0);
    if (picked == CB_ERR) {
      return;
    }
    Combo->Pick(static_cast<std::int32_t>(picked) + 1);
    // A pick the list refuses must not stay on screen.
    if (Combo->GetSelected() != static_cast<std::int32_t>(picked) + 1) {
      SetSelected(Combo->GetSelected());
    }
  }

 private:
  int ClosedHeight() const {
    RECT area;
    return GetWindowRect(Hwnd, &area) ? area.bottom - area.top : 0;
  }

  CComboBox* Combo;
};

class CWin32ViewPeer : public CWin32ChildPeer {
 public:
  CWin32ViewPeer(CView* view, HWND handle, CWin32Peers* peers) : View(view), Peers(peers) {
    Adopt(handle);
  }

  void Paint() {
    PAINTSTRUCT paint;
    HDC target = BeginPaint(Hwnd, &paint);
    if (target == nullptr) {
      return;
    }
    RECT client;
    GetClientRect(Hwnd, &client);
    const int w = std::max<int>(client.right, 1);
    const int h = std::max<int>(client.bottom, 1);
    // Drawn off screen and copied in one go: the pane first fills itself with
    // the background, which would flicker on every repaint.
    HDC buffer = CreateCompatibleDC(target);
    HBITMAP bitmap = buffer != nullptr ? CreateCompatibleBitmap(target, w, h) : nullptr;
    HDC dc = bitmap != nullptr ? buffer : target;
    HGDIOBJ original = bitmap != nullptr ? SelectObject(buffer, bitmap) : nullptr;
    HBRUSH background = GetSysColorBrush(COLOR_BTNFACE);
    FillRect(dc, &client, background);
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    {
      CWin32DrawPeer draw(dc, &Peers->Fonts(), background);
      CDeviceContext context(&draw);
      View->PaintView(context);
    }
    if (bitmap != nullptr) {
      BitBlt(target, 0, 0, w, h, buffer, 0, 0, SRCCOPY);
      SelectObject(buffer, original);
      DeleteObject(bitmap);
    }
    if (buffer != nullptr) {
      DeleteDC(buffer);
    }
    EndPaint(Hwnd, &paint);
  }

 private:
  CView* View;
  CWin32Peers* Peers;
};

LRESULT CALLBACK ViewProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_ERASEBKGND:
      // WM_PAINT covers every pixel.
      return 1;
    case WM_PAINT:
      if (auto* peer = dynamic_cast<CWin32ViewPeer*>(Win32ChildPeerOf(hwnd))) {
        peer->Paint();
        return 0;
      }
      break;
    default:
      break;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

const char* Win32ViewClass(HINSTANCE module) {
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXA viewClass{};
    viewClass.cbSize = sizeof viewClass;
    viewClass.style = CS_HREDRAW | CS_VREDRAW;
    viewClass.lpfnWndProc = ViewProc;
    viewClass.hInstance = module;
    viewClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    viewClass.lpszClassName = ViewClassName;
    registered = RegisterClassExA(&viewClass) != 0;
  }
  return ViewClassName;
}

}  // namespace

CWin32ChildPeer* Win32ChildPeerOf(HWND handle) {
  return reinterpret_cast<CWin32ChildPeer*>(GetWindowLongPtrA(handle, GWLP_USERDATA));
}

void CWin32ChildPeer::Adopt(HWND handle) {
  Hwnd = handle;
  SetWindowLongPtrA(Hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

CWin32ChildPeer::~CWin32ChildPeer() {
  if (Hwnd == nullptr) {
    return;
  }
  SetWindowLongPtrA(Hwnd, GWLP_USERDATA, 0);
  // Destroying the focused control would leave the keyboard with nowhere to go.
  if (GetFocus() == Hwnd) {
    SetFocus(GetParent(Hwnd));
  }
  DestroyWindow(Hwnd);
}

void CWin32ChildPeer::Show() {
  ShowWindow(Hwnd, SW_SHOWNA);
}

void CWin32ChildPeer::Invalidate() {
  InvalidateRect(Hwnd, nullptr, TRUE);
}

void CWin32ChildPeer::SetRect(const CRect& rect) {
  SetWindowPos(Hwnd, nullptr, rect.x, rect.y, rect.w, rect.h, SWP_NOZORDER | SWP_NOACTIVATE);
}

void CWin32ChildPeer::SetText(const char* text) {
  SetWindowTextA(Hwnd, text != nullptr ? text : "");
}

void CWin32ChildPeer::SetEnabled(bool enabled) {
  EnableWindow(Hwnd, enabled ? TRUE : FALSE);
}

void CWin32ChildPeer::SendToBack() {
  SetWindowPos(Hwnd, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

CViewPeer* CWin32Peers::NewButtonPeer(CButton* button, CWindowPeer* parent) {
  HWND handle =
      NewChild(this, "BUTTON", WS_TABSTOP | BS_PUSHBUTTON, button->Rect, button->Text(), parent);
  return handle != nullptr ? new CWin32ButtonPeer(button, handle) : nullptr;
}

CViewPeer* CWin32Peers::NewComboPeer(CComboBox* combo, CWindowPeer* parent) {
  HWND handle = NewChild(this, "COMBOBOX", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, combo->Rect,
                         "", parent);
  return handle != nullptr ? new CWin32ComboPeer(combo, handle) : nullptr;
}

CViewPeer* CWin32Peers::NewViewPeer(CView* view, CWindowPeer* parent) {
  HWND handle = NewChild(this, Win32ViewClass(Instance), 0, view->Rect, "", parent);
  return handle != nullptr ? new CWin32ViewPeer(view, handle, this) : nullptr;
}
