// The native window of a CWindow: a fixed-size top-level FLTK window whose
// interior is the window's rectangle.
#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/x.H>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "fltk_peers.h"
#include "posix_icons.h"

namespace {

// The command of the window's own About entry (the program's CommandAbout):
// the window sends it, no control of the program does.
constexpr std::uint32_t FrameAboutCommand = 1001;

Atom AtomOf(const char* name) {
  return XInternAtom(fl_display, name, False);
}

// Minimised and maximised, as the window manager keeps them; 0 without one.
std::uint32_t QueryState(Window xid) {
  std::uint32_t state = 0;
  Atom type = 0;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(fl_display, xid, AtomOf("_NET_WM_STATE"), 0, 64, False, XA_ATOM, &type,
                         &format, &count, &after, &data) == Success &&
      data != nullptr) {
    const auto* atoms = reinterpret_cast<const Atom*>(data);
    bool vertical = false;
    bool horizontal = false;
    for (unsigned long i = 0; i < count; ++i) {
      if (atoms[i] == AtomOf("_NET_WM_STATE_HIDDEN")) {
        state |= WindowStateMinimized;
      } else if (atoms[i] == AtomOf("_NET_WM_STATE_MAXIMIZED_VERT")) {
        vertical = true;
      } else if (atoms[i] == AtomOf("_NET_WM_STATE_MAXIMIZED_HORZ")) {
        horizontal = true;
      }
    }
    if (vertical && horizontal) {
      state |= WindowStateMaximized;
    }
  }
  if (data != nullptr) {
    XFree(data);
    data = nullptr;
  }
  const Atom wmState = AtomOf("WM_STATE");
  constexpr long IconicStateValue = 3;
  if (XGetWindowProperty(fl_display, xid, wmState, 0, 2, False, wmState, &type, &format, &count,
                         &after, &data) == Success &&
      data != nullptr && count > 0 && format == 32 &&
      *reinterpret_cast<const long*>(data) == IconicStateValue) {
    state |= WindowStateMinimized;
  }
  if (data != nullptr) {
    XFree(data);
  }
  return state;
}

class CFltkWindow : public Fl_Double_Window, public CFltkDescribed {
 public:
  explicit CFltkWindow(CWindow* owner) : Fl_Double_Window(0, 0, 1, 1), Owner(owner) {
    // A new group collects the widgets made after it; the toolkit places its
    // controls itself.
    end();
    resizable(nullptr);
    force_position(1);
    callback(CloseRequested, this);
  }

  int handle(int event) override {
    if (event == FL_PUSH && Fl::event_button() == FL_RIGHT_MOUSE) {
      ShowContextMenu();
      return 1;
    }
    if ((event == FL_KEYBOARD || event == FL_SHORTCUT) && Fl::event_key() == FL_F + 1) {
      SendAbout();
      return 1;
    }
    return Fl_Double_Window::handle(event);
  }

  void resize(int x, int y, int w, int h) override {
    Fl_Double_Window::resize(x, y, w, h);
    if (!shown() || QueryState(fl_xid(this)) == 0) {
      NormalX = x;
      NormalY = y;
    }
  }

  std::uint32_t State() const {
    // FLTK 1.3 asks for a mutable window even to tell whether it is shown.
    auto* self = const_cast<CFltkWindow*>(this);
    return self->shown() ? QueryState(fl_xid(self)) : 0;
  }

  void Describe(std::string& out, int indent) const override {
    auto* self = const_cast<CFltkWindow*>(this);
    const std::uint32_t state = State();
    char line[160];
    std::snprintf(line, sizeof line, "%*swindow 0x%lx %d %d %d %d %s %s ", indent, "",
                  self->shown() ? static_cast<unsigned long>(fl_xid(self)) : 0UL, x(), y(), w(),
                  h(),
                  !self->shown() || !visible()          ? "hidden"
                  : (state & WindowStateMinimized) != 0 ? "minimized"
                  : (state & WindowStateMaximized) != 0 ? "maximized"
                                                        : "normal",
                  Owner->Ended ? "ended" : "open");
    out += line + FltkQuoted(Title) + "\n";
    for (int i = 0; i < children(); ++i) {
      const auto* described = dynamic_cast<const CFltkDescribed*>(child(i));
      if (described != nullptr && child(i)->visible()) {
        described->Describe(out, indent + 2);
      }
    }
  }

  CWindow* Owner;
  std::string Title;
  int NormalX = 0;
  int NormalY = 0;

 private:
  static void CloseRequested(Fl_Widget*, void* data) {
    // FLTK offers Escape as a close request; a wizard halfway through a
    // configuration is closed by its frame only.
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) {
      return;
    }
    static_cast<CFltkWindow*>(data)->Owner->Close();
  }

  void SendAbout() {
    TEvent event;
    event.Kind = EventKindCommand;
    event.Command = FrameAboutCommand;
    Owner->MakeEvent(event);
  }

  void ShowContextMenu() {
    const TFltkFont font = FltkFontOf(nullptr);
    const Fl_Menu_Item items[] = {
        {"About...", FL_F + 1, nullptr, nullptr, 0, FL_NORMAL_LABEL, font.Face, font.Size, 0},
        {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0},
    };
    const Fl_Menu_Item* picked = items->popup(Fl::event_x(), Fl::event_y());
    if (picked == &items[0]) {
      SendAbout();
    }
  }
};

class CFltkWindowPeer : public CWindowPeer {
 public:
  explicit CFltkWindowPeer(CWindow* owner) : Window(new CFltkWindow(owner)) {
    // Handles are never reused, so a notification for a window that is gone
    // finds none.
    static std::uintptr_t lastHandle = 0x1000;
    lastHandle += 0x10;
    NativeHandle = reinterpret_cast<HWND>(lastHandle);
    FltkPeers()->AddShown(Window, Window);
  }

  ~CFltkWindowPeer() override {
    CFltkPeers* peers = FltkPeers();
    peers->RemoveShown(Window);
    Window->hide();
    peers->RetireWidget(Window);
  }

  CFltkWindowPeer(const CFltkWindowPeer&) = delete;
  CFltkWindowPeer& operator=(const CFltkWindowPeer&) = delete;

  HWND Handle() override { return NativeHandle; }

  void Show() override {
    if (Window->shown() && Window->visible()) {
      return;
    }
    FltkPeers()->EnsureDisplay();
    if (StartIconic) {
      Window->iconize();
      return;
    }
    Window->show();
    // FLTK pulls a new window onto the screen; the program places its window
    // where it was last closed, on the screen or not.
    XMoveWindow(fl_display, fl_xid(Window), WantX, WantY);
    if (StartMaximized) {
      RequestMaximize();
    }
  }

  void Invalidate() override { Window->redraw(); }

  void SetRect(const CRect& rect) override {
    WantX = rect.x;
    WantY = rect.y;
    const int w = rect.w > 0 ? rect.w : 1;
    const int h = rect.h > 0 ? rect.h : 1;
    Window->resize(rect.x, rect.y, w, h);
    if (StartMaximized) {
      Window->size_range(w, h);
    } else {
      Window->size_range(w, h, w, h);
    }
  }

  void SetTitle(const char* text) override {
    Window->Title = FltkUtf8(text, text != nullptr ? std::char_traits<char>::length(text) : 0);
    Window->copy_label(Window->Title.c_str());
  }

  void SetIcons(HANDLE smallIcon, HANDLE largeIcon) override {
    std::vector<const Fl_RGB_Image*> images;
    for (HANDLE handle : {smallIcon, largeIcon}) {
      const TPosixIcon* icon = PosixIconFromHandle(handle);
      const Fl_RGB_Image* image = icon != nullptr ? FltkProgramIcon(icon->Width) : nullptr;
      if (image != nullptr && std::find(images.begin(), images.end(), image) == images.end()) {
        images.push_back(image);
      }
    }
    Window->icons(images.data(), static_cast<int>(images.size()));
  }

  void Minimize() override {
    StartIconic = true;
    if (Window->shown()) {
      Window->iconize();
    }
  }

  void Maximize() override {
    StartIconic = false;
    StartMaximized = true;
    // A maximised window is larger than its fixed size.
    Window->size_range(Window->w(), Window->h());
    if (Window->shown()) {
      RequestMaximize();
    }
  }

  void ReadPlacement(CWindow* window) override {
    if (!Window->shown()) {
      return;
    }
    const std::uint32_t state = Window->State();
    window->Rect.x = Window->x();
    window->Rect.y = Window->y();
    window->WindowState =
        (window->WindowState & ~(WindowStateMinimized | WindowStateMaximized)) | state;
    window->NormalRect = window->Rect;
    if (state != 0) {
      window->NormalRect.x = Window->NormalX;
      window->NormalRect.y = Window->NormalY;
    }
  }

  CFltkWindow* Window;

 private:
  void RequestMaximize() {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = fl_xid(Window);
    event.xclient.message_type = AtomOf("_NET_WM_STATE");
    event.xclient.format = 32;
    constexpr long NetWmStateAdd = 1;
    event.xclient.data.l[0] = NetWmStateAdd;
    event.xclient.data.l[1] = static_cast<long>(AtomOf("_NET_WM_STATE_MAXIMIZED_VERT"));
    event.xclient.data.l[2] = static_cast<long>(AtomOf("_NET_WM_STATE_MAXIMIZED_HORZ"));
    event.xclient.data.l[3] = 1;  // a normal application asks
    XSendEvent(fl_display, RootWindow(fl_display, fl_screen), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
  }

  HWND NativeHandle = nullptr;
  int WantX = 0;
  int WantY = 0;
  bool StartIconic = false;
  bool StartMaximized = false;
};

}  // namespace

CWindowPeer* CFltkPeers::NewWindowPeer(CWindow* window) {
  Fl_Group::current(nullptr);
  return new CFltkWindowPeer(window);
}

Fl_Window* FltkWindowOf(CWindowPeer* peer) {
  auto* fltk = dynamic_cast<CFltkWindowPeer*>(peer);
  return fltk != nullptr ? fltk->Window : nullptr;
}
