// The FLTK peer's factory: the display and its look, text metrics, the event
// loop with the device-notification descriptors, and the snapshot.
#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "fltk_peers.h"

namespace {

// The background the separator's two line colours (0x808080 over 0xFFFFFF)
// are etched into: both must differ clearly from it.
constexpr uchar BackgroundRed = 0xD4;
constexpr uchar BackgroundGreen = 0xD0;
constexpr uchar BackgroundBlue = 0xC8;

}  // namespace

CFltkPeers* FltkPeers() {
  return dynamic_cast<CFltkPeers*>(Peers());
}

CFltkPeers::CFltkPeers() {
  if (const char* path = std::getenv("PELWIN_FLTK_SNAPSHOT"); path != nullptr) {
    SnapshotPath = path;
  }
  // Reading the font configuration takes longer than everything else before
  // the window can be shown; it runs on another CPU while the program connects
  // its camera and this thread opens the display. Nothing here uses fontconfig
  // until EnsureDisplay has joined it. Without a thread, Xft reads it itself.
  try {
    FontWarmUp = std::thread([] { FcInit(); });
  } catch (const std::system_error&) {
  }
}

CFltkPeers::~CFltkPeers() {
  if (FontWarmUp.joinable()) {
    FontWarmUp.join();
  }
  for (TWatch* watch : Watches) {
    Fl::remove_fd(watch->Fd);
    delete watch;
  }
  Fl::remove_check(BeforeWait, this);
  Fl::remove_timeout(WakeTimeout, this);
}

void CFltkPeers::EnsureDisplay() {
  if (DisplayOpen) {
    return;
  }
  DisplayOpen = true;
  fl_open_display();
  if (FontWarmUp.joinable()) {
    FontWarmUp.join();
  }
  Fl::scheme("gtk+");
  Fl::background(BackgroundRed, BackgroundGreen, BackgroundBlue);
  Fl_Window::default_xclass("pelwin");
  if (Recording()) {
    Fl::add_check(BeforeWait, this);
  }
}

bool CFltkPeers::OnAnyScreen(const CRect& rect) {
  EnsureDisplay();
  const int count = Fl::screen_count();
  if (count < 1) {
    return true;  // nothing to weigh the position against
  }
  for (int n = 0; n < count; ++n) {
    CRect area;
    Fl::screen_work_area(area.x, area.y, area.w, area.h, n);
    if (RectsOverlap(rect, area)) {
      return true;
    }
  }
  return false;
}

std::int32_t CFltkPeers::TextWidth(TFont font, std::int32_t length, const char* text) {
  EnsureDisplay();
  std::int32_t n = 0;
  while (text != nullptr && n < length && text[n] != '\0') {
    ++n;
  }
  const std::string utf8 = FltkUtf8(text, static_cast<std::size_t>(n));
  const TFltkFont mapped = FltkFontOf(font);
  // Every drawing here selects its font before its text, so the font is not
  // restored afterwards: restoring FLTK's initial one would load a face that
  // nothing draws with.
  fl_font(mapped.Face, mapped.Size);
  const double width = fl_width(utf8.c_str(), static_cast<int>(utf8.size()));
  return static_cast<std::int32_t>(width + 0.5);
}

// ---------------------------------------------------------------------------
// The loop.

double CFltkPeers::Wait(double seconds) {
  ++WaitDepth;
  const double result = seconds < 0 ? Fl::wait() : Fl::wait(seconds);
  --WaitDepth;
  return result;
}

void CFltkPeers::RunLoop(CBackground* background) {
  EnsureDisplay();
  for (;;) {
    // Events the program queued while FLTK handled input or a descriptor are
    // handled before the loop waits again, so a press acts at once.
    DispatchQueuedEvents();
    if (!background->HasWindows()) {
      break;
    }
    Wait(-1);
  }
  // A window closed from its own frame was only hidden inside FLTK's handler.
  Fl::do_widget_deletion();
  WriteSnapshot();
}

void CFltkPeers::Wake() {
  // Only needed when the queue fills outside FLTK's handlers (RunLoop
  // dispatches after each wait anyway): a zero timeout ends a blocked wait.
  if (!WakePending && DisplayOpen) {
    WakePending = true;
    Fl::add_timeout(0.0, WakeTimeout, this);
  }
}

void CFltkPeers::WakeTimeout(void* data) {
  static_cast<CFltkPeers*>(data)->WakePending = false;
}

void CFltkPeers::WatchFd(int fd, ReadyFn ready, void* data) {
  for (TWatch* watch : Watches) {
    if (watch->Fd == fd) {
      watch->Ready = ready;
      watch->Data = data;
      return;
    }
  }
  auto* watch = new TWatch{fd, ready, data};
  Watches.push_back(watch);
  Fl::add_fd(fd, FL_READ, FdReady, watch);
}

void CFltkPeers::UnwatchFd(int fd) {
  const auto found =
      std::find_if(Watches.begin(), Watches.end(), [fd](const TWatch* w) { return w->Fd == fd; });
  if (found == Watches.end()) {
    return;
  }
  Fl::remove_fd(fd);
  delete *found;
  Watches.erase(found);
}

void CFltkPeers::FdReady(int fd, void* data) {
  auto* self = FltkPeers();
  // The callback may unwatch (and so free) this very record.
  const TWatch watch = *static_cast<TWatch*>(data);
  if (self != nullptr) {
    ++self->FdCallbacks;
  }
  watch.Ready(fd, watch.Data);
}

std::int32_t CFltkPeers::PollFds(std::int32_t timeoutMs) {
  EnsureDisplay();
  const std::int32_t before = FdCallbacks;
  Wait(std::max(timeoutMs, 0) / 1000.0);
  return FdCallbacks - before;
}

void CFltkPeers::RetireWidget(Fl_Widget* widget) {
  if (widget == nullptr) {
    return;
  }
  if (WaitDepth > 0) {
    Fl::delete_widget(widget);
  } else {
    delete widget;
  }
}

// ---------------------------------------------------------------------------
// The snapshot.

void CFltkPeers::BeforeWait(void* data) {
  // Checks run before FLTK draws; the snapshot tells what is on screen, so it
  // waits until the X server has done the drawing and the mapping too.
  Fl::flush();
  XSync(fl_display, False);
  static_cast<CFltkPeers*>(data)->WriteSnapshot();
}

void CFltkPeers::AddShown(Fl_Widget* window, const CFltkDescribed* described) {
  RemoveShown(window);
  Shown.emplace_back(window, described);
}

void CFltkPeers::RemoveShown(Fl_Widget* window) {
  std::erase_if(Shown, [window](const auto& entry) { return entry.first == window; });
}

void CFltkPeers::WriteSnapshot() {
  if (SnapshotPath.empty()) {
    return;
  }
  std::string text;
  for (const auto& [window, described] : Shown) {
    described->Describe(text, 0);
  }
  if (text.empty()) {
    text = "none\n";
  }
  if (text == LastSnapshot) {
    return;
  }
  // Readers poll the file: it is replaced whole, never seen half written.
  const std::string temporary = SnapshotPath + ".tmp";
  FILE* file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) {
    return;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (std::fclose(file) == 0 && written &&
      std::rename(temporary.c_str(), SnapshotPath.c_str()) == 0) {
    LastSnapshot = text;
  }
}
