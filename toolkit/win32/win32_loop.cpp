// The factory: the message loop, the wake-up of queued toolkit events and the
// modal message boxes.
#include <algorithm>

#include "win32_peers.h"

namespace {

constexpr char WakeClassName[] = "PelwinWake";
constexpr UINT WakeMessage = WM_APP + 1;
constexpr UINT FirstControlId = 100;
// Control identifiers stay below the ones Windows itself sends (IDOK and the
// like are small, system-menu codes start at 0xF000).
constexpr UINT LastControlId = 0x7FFF;

LRESULT CALLBACK WakeProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    SetWindowLongPtrA(
        hwnd, GWLP_USERDATA,
        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams));
  }
  if (msg == WakeMessage) {
    auto* peers = reinterpret_cast<CWin32Peers*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (peers != nullptr) {
      peers->WakeReceived();
    }
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// The resource of the icon a message box shows for a picture from the
// program's resources. A program without the numbered icon shows its own icon.
const char* BoxIconName(HINSTANCE module, std::int32_t number) {
  const char* numbered = MAKEINTRESOURCEA(number);
  if (FindResourceA(module, numbered, MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */) != nullptr) {
    return numbered;
  }
  if (FindResourceA(module, "DEFAULT_ICON", MAKEINTRESOURCEA(14)) != nullptr) {
    return "DEFAULT_ICON";
  }
  return nullptr;
}

const char* Win32WakeClass(HINSTANCE module) {
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXA wakeClass{};
    wakeClass.cbSize = sizeof wakeClass;
    wakeClass.lpfnWndProc = WakeProc;
    wakeClass.hInstance = module;
    wakeClass.lpszClassName = WakeClassName;
    registered = RegisterClassExA(&wakeClass) != 0;
  }
  return WakeClassName;
}

}  // namespace

CWin32Peers::CWin32Peers() : Instance(GetModuleHandleA(nullptr)) {}

CWin32Peers::~CWin32Peers() {
  if (WakeWindow != nullptr) {
    SetWindowLongPtrA(WakeWindow, GWLP_USERDATA, 0);
    DestroyWindow(WakeWindow);
  }
}

UINT CWin32Peers::NextControlId() {
  ControlId =
      ControlId < FirstControlId || ControlId >= LastControlId ? FirstControlId : ControlId + 1;
  return ControlId;
}

void CWin32Peers::Wake() {
  if (WakePosted) {
    return;
  }
  if (WakeWindow == nullptr) {
    WakeWindow = CreateWindowExA(0, Win32WakeClass(Instance), "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, Instance, this);
  }
  if (WakeWindow != nullptr && PostMessageA(WakeWindow, WakeMessage, 0, 0)) {
    WakePosted = true;
  }
}

void CWin32Peers::WakeReceived() {
  WakePosted = false;
  if (ModalDepth > 0) {
    return;
  }
  DispatchQueuedEvents();
}

bool CWin32Peers::Dispatch(MSG& msg) {
  if (msg.message == WM_QUIT) {
    return false;
  }
  // Tab, the arrow keys, Enter and Space move between and press the controls
  // as in a dialog.
  HWND root = msg.hwnd != nullptr ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
  if (root != nullptr && Win32IsToolkitWindow(root) && IsDialogMessageA(root, &msg)) {
    return true;
  }
  TranslateMessage(&msg);
  DispatchMessageA(&msg);
  return true;
}

bool CWin32Peers::PumpMessage() {
  MSG msg;
  const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
  if (got == 0 || got == -1) {
    return false;
  }
  return Dispatch(msg);
}

void CWin32Peers::PumpPending() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (!Dispatch(msg)) {
      // Left for the loop that owns the thread.
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
  }
}

void CWin32Peers::RunLoop(CBackground* background) {
  while (background->HasWindows()) {
    // A window whose native window could not be made (no desktop to put it
    // on) can never be closed: waiting for it would wait forever.
    if (std::none_of(background->Windows().begin(), background->Windows().end(),
                     [](const CWindow* window) {
                       return !window->Ended && window->WindowPeer != nullptr;
                     })) {
      return;
    }
    if (ModalDepth == 0 && HasQueuedEvents()) {
      DispatchQueuedEvents();
      continue;
    }
    // WM_QUIT (someone else's request to end) leaves the loop; the program
    // then ends its window as if it had been closed.
    if (!PumpMessage()) {
      return;
    }
  }
}

std::string Win32BoxText(const char* line1, const char* line2, const char* line3) {
  std::string text = line1 != nullptr ? line1 : "";
  text += '\n';
  text += line2 != nullptr ? line2 : "";
  text += '\n';
  // A box measures a trailing line break as nothing: an empty last line keeps
  // its height only with something, if invisible, on it.
  text += line3 != nullptr && line3[0] != '\0' ? line3 : " ";
  return text;
}

std::int32_t CWin32Peers::MessageBox(CWindow* owner, const char* title, const char* line1,
                                     const char* line2, const char* line3, PPicture icon) {
  const std::string text = Win32BoxText(line1, line2, line3);
  HINSTANCE module = GetAppHandle() != nullptr ? GetAppHandle() : Instance;
  MSGBOXPARAMSA box{};
  box.cbSize = sizeof box;
  box.hwndOwner = owner != nullptr && !owner->Ended ? owner->PeerHandle : nullptr;
  box.hInstance = module;
  box.lpszText = text.c_str();
  box.lpszCaption = title != nullptr ? title : "";
  box.dwStyle = MB_OK;
  if (icon != nullptr) {
    switch (icon->Kind) {
      case TPicture::StockInfo:
        box.dwStyle |= MB_ICONINFORMATION;
        break;
      case TPicture::StockStop:
        box.dwStyle |= MB_ICONSTOP;
        break;
      case TPicture::Resource:
        box.lpszIcon = BoxIconName(module, icon->Number);
        if (box.lpszIcon != nullptr) {
          box.dwStyle |= MB_USERICON;
        }
        break;
    }
  }
  ++ModalDepth;
  const int pressed = MessageBoxIndirectA(&box);
  --ModalDepth;
  if (ModalDepth == 0 && HasQueuedEvents()) {
    Wake();
  }
  return pressed;
}
