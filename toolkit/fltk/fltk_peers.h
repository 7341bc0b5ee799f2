// The FLTK peer, shared between its own files. Nothing outside toolkit/fltk/
// includes this: programs reach the peer through CreatePeerFactory() only.
#pragma once

#include <FL/Enumerations.H>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "peer/peer.h"

class Fl_Widget;
class Fl_RGB_Image;

// ---------------------------------------------------------------------------
// Texts and fonts.

// The program's texts are Windows-1252 (its Win32 calls are the ANSI ones);
// FLTK draws UTF-8.
std::string FltkUtf8(const char* text, std::size_t length);
// The same, for a widget label: FLTK would take '@' for a symbol and '&' for
// a shortcut mark, and a camera's name may hold either.
std::string FltkLiteralLabel(const char* text);

struct TFltkFont {
  Fl_Font Face;
  Fl_Fontsize Size;
};
// The FLTK font that draws a toolkit font descriptor; a null font is the text
// font of graphics context 7, the one dialogs and controls use.
TFltkFont FltkFontOf(TFont font);
// FLTK's font sizes are em heights; the toolkit's are the cell heights a Win32
// CreateFont takes, of which a sans face's em is about nine tenths.
Fl_Fontsize FltkEmSize(std::int32_t cellHeight);

Fl_Color FltkColor(TColor color);

// ---------------------------------------------------------------------------
// Windows.

class Fl_Group;
class Fl_Window;
// The FLTK window behind a window peer of this factory; null for any other.
Fl_Window* FltkWindowOf(CWindowPeer* peer);

// ---------------------------------------------------------------------------
// Pictures.

// Pixels of the program's icon at each embedded size, straight RGBA, rows top
// down; generated at build time from the PNG files (fltk_icon_embed.cpp).
struct TFltkIconData {
  int Size;
  const unsigned char* Rgba;
};
extern const TFltkIconData FltkIconData[];
extern const int FltkIconDataCount;

// The program's icon ("DEFAULT_ICON"), embedded at build time: the smallest
// embedded size at least `size` pixels, else the largest; null when the build
// embedded none.
const Fl_RGB_Image* FltkProgramIcon(int size);

// ---------------------------------------------------------------------------
// What the peer's widgets show, in text, for the end-to-end tests (written
// only when PELWIN_FLTK_SNAPSHOT names a file).

class CFltkDescribed {
 public:
  virtual ~CFltkDescribed() = default;
  // Appends one line per visible thing, indented by `indent`.
  virtual void Describe(std::string& out, int indent) const = 0;
};

// One drawing call as the pane's painting made it, in view coordinates.
struct TFltkDrawn {
  char Op;  // 't' text, 'l' line, 'f' fill
  std::int32_t X1, Y1, X2, Y2;
  bool Bold;
  TColor Color;
  std::string Text;
};

void FltkDescribeDrawn(const std::vector<TFltkDrawn>& drawn, std::string& out, int indent);
// Quoted for a snapshot line, so that a test can tell "" from a missing text.
std::string FltkQuoted(const std::string& text);

// ---------------------------------------------------------------------------
// The factory.

class CFltkPeers : public CPeerFactory {
 public:
  CFltkPeers();
  ~CFltkPeers() override;
  CFltkPeers(const CFltkPeers&) = delete;
  CFltkPeers& operator=(const CFltkPeers&) = delete;

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
  void WatchFd(int fd, ReadyFn ready, void* data) override;
  void UnwatchFd(int fd) override;
  std::int32_t PollFds(std::int32_t timeoutMs) override;

  // Opens the display and sets the look on first use: widths are measured
  // before any window is shown.
  void EnsureDisplay();
  // Deletes a widget that is leaving its window. Inside FLTK's event handling
  // the widget may be the one whose handler is running, so it goes only once
  // that handler has returned.
  void RetireWidget(Fl_Widget* widget);
  // Whether drawing should keep what it drew, for the snapshot.
  bool Recording() const { return !SnapshotPath.empty(); }
  // The top-level windows of the program, for the snapshot.
  void AddShown(Fl_Widget* window, const CFltkDescribed* described);
  void RemoveShown(Fl_Widget* window);
  // Writes the snapshot file when what it would say has changed.
  void WriteSnapshot();

 private:
  struct TWatch {
    int Fd;
    ReadyFn Ready;
    void* Data;
  };
  static void FdReady(int fd, void* data);
  static void WakeTimeout(void* data);
  static void BeforeWait(void* data);
  // Fl::wait that counts as "inside FLTK's event handling".
  double Wait(double seconds);

  std::thread FontWarmUp;
  std::vector<TWatch*> Watches;
  std::vector<std::pair<Fl_Widget*, const CFltkDescribed*>> Shown;
  bool DisplayOpen = false;
  bool WakePending = false;
  int WaitDepth = 0;
  std::int32_t FdCallbacks = 0;
  std::string SnapshotPath;
  std::string LastSnapshot;
};

// The factory in use, when it is this one.
CFltkPeers* FltkPeers();
