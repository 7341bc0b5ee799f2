// The GUI toolkit: windows, views, controls, drawing, message boxes, the
// registry scanner and the text and memory helpers that the program is written
// against. The objects here hold the state; a peer (toolkit/peer/peer.h) shows
// it on one platform: Win32, FLTK, or the headless recorder that tests use.
//
// Texts go in as a length and a pointer; the length is a maximum and copying
// stops at a NUL. Capacities exclude the terminating NUL, and every result is cut
// to its capacity and terminated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

// The few Win32 types the toolkit's interface names, declared exactly as the
// SDK and platform/<port>/win32api.h declare them (a mismatch is a compile
// error wherever both are seen). The toolkit's users thus never get
// <windows.h> from here: its macros (MessageBox, CreateWindow, ...) would
// rename the toolkit's and the peers' own operations in some files and not in
// others.
struct HWND__;
struct HINSTANCE__;
struct HKEY__;
using HWND = HWND__*;
using HINSTANCE = HINSTANCE__*;
using HKEY = HKEY__*;
using HANDLE = void*;
using UINT = unsigned int;
// WPARAM is UINT_PTR, which is std::uintptr_t on every target. LPARAM and
// LRESULT are LONG_PTR: `long` on 32-bit Windows (where std::intptr_t is `int`,
// another type of the same size), `long long` on 64-bit Windows, and
// std::intptr_t (`long`) on LP64 POSIX.
using WPARAM = std::uintptr_t;
using LPARAM = std::conditional_t<sizeof(long) == sizeof(void*), long, long long>;
using LRESULT = LPARAM;

class CView;
class CNodeView;
class CWindow;
class CEventHandler;
class CViewPeer;
class CWindowPeer;
struct TRegStoreKey;

// ---------------------------------------------------------------------------
// Text and memory helpers.

namespace Str {
// Copies at most `length` characters of `source` (fewer at a NUL) into `target`,
// cut to `capacity`, and terminates. Returns the length of the result.
std::int32_t CopyA(std::int32_t capacity, char* target, std::int32_t length, const char* source);
// Appends `source` behind the text in `target`; same rules. Returns the new length.
std::int32_t AppendA(std::int32_t capacity, char* target, std::int32_t length, const char* source);
// Same as AppendA.
std::int32_t ConcatA(std::int32_t capacity, char* target, std::int32_t length, const char* source);
// Puts `source` in front of the text in `target`; the result is cut at the end.
std::int32_t PrependA(std::int32_t capacity, char* target, std::int32_t length, const char* source);
// Length of a terminated text.
std::int32_t LengthA(const char* text);
// Writes `value` in `radix` (2 to 36) into `target`; `flag` 1 gives upper-case
// digits. Returns false (and leaves an empty text) when the digits do not fit
// the capacity or the radix is out of range.
bool CardToStrA(std::uint32_t value, std::int32_t capacity, char* target, std::int32_t radix,
                std::int32_t flag);
}  // namespace Str

namespace Lib {
void Move(const void* source, void* target, std::size_t n);
void Fill(void* target, std::size_t n, std::uint8_t byte);
// Index of the first byte that differs; n when the two runs are equal.
std::size_t Compare(const void* a, const void* b, std::size_t n);
}  // namespace Lib

namespace Storage {
// Sets *pointer to a block of `size` bytes (zero-filled); false and null on failure.
bool Allocate(void** pointer, std::size_t size);
// Releases the block and nulls the pointer; a null pointer is ignored.
void Free(void** pointer);
}  // namespace Storage

// ---------------------------------------------------------------------------
// Geometry, events, pictures and fonts.

struct CRect {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t w = 0;  // width
  std::int32_t h = 0;  // height; 0 asks for the standard control height
  void Init(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height) {
    x = left;
    y = top;
    w = width;
    h = height;
  }
};

constexpr std::uint32_t EventKindCommand = 0x1000;
constexpr std::uint32_t EventKindMenu = 0x2000;
// Ends the window that receives it; with the last window, CBackground::Exec returns.
constexpr std::uint32_t CommandQuit = 33;

struct TEvent {
  std::uint32_t Kind = 0;
  std::uint32_t Command = 0;
  bool Stopped = false;
};

// A picture a message box or window can show: a stock picture or an icon
// loaded from the program's resources.
struct TPicture {
  enum TKind { StockInfo, StockStop, Resource } Kind;
  std::int32_t Number;  // resource number for Resource
};
using PPicture = const TPicture*;
extern const PPicture piInfo32;
extern const PPicture piStop;

struct TFontDesc {
  const char* Face;
  std::int32_t Size;  // pixels
  bool Bold;
};
using TFont = const TFontDesc*;

using TColor = std::uint32_t;  // 0x00RRGGBB

// A graphics context: the text font and the two colours of an etched line.
struct TGContext {
  TFont TextFont;
  TColor LineColor1;
  TColor LineColor2;
};

// Graphics context number n (7 is the dialog context); null for unknown numbers.
TGContext* GetPGContext(std::int32_t n);
// The bold font of captions and values.
extern TFont CaptionFont;
// Width in pixels of at most `length` characters of `text` in `font`.
std::int32_t GetTextW(TFont font, std::int32_t length, const char* text);

// ---------------------------------------------------------------------------
// Start-up of the toolkit modules. InitToolkit runs them all in their order;
// the program and every test start the toolkit with it.

void InitToolkit();
void Init_StockResources();
void Init_Graphics();
void Init_Fonts();
void Init_Core();
void Init_Views();
void Init_Tools();
void Init_Controls();
void Init_Windows();
void Init_Dialogs();
void Init_TabPanes();

void SetAppHandle(HINSTANCE module);
HINSTANCE GetAppHandle();
// The icon under `number` in the module's resources, or null when there is none.
PPicture InitResIconNum(HINSTANCE module, std::int32_t number);

// ---------------------------------------------------------------------------
// Drawing.

class CDrawPeer;

class CDeviceContext {
 public:
  explicit CDeviceContext(CDrawPeer* peer) : Peer(peer) {}
  void FillArea(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h);
  void SetPenColor(TColor color);
  void DrawLine(std::int32_t x1, std::int32_t y1, std::int32_t x2, std::int32_t y2);
  // Draws `text` up to its NUL, never more than `length` characters.
  void WriteText(std::int32_t x, std::int32_t y, std::int32_t length, const char* text);
  void SelectFont(TFont font);

 private:
  CDrawPeer* Peer;
};

// ---------------------------------------------------------------------------
// Event handlers and views.

class CEventHandler {
 public:
  // Drops the events still queued for this handler.
  virtual ~CEventHandler();
  // Queues `event` for this handler; it is handled after the current handler returns.
  void MakeEvent(const TEvent& event);
  void StopEvent(TEvent* event) { event->Stopped = true; }
  virtual void ReceiveEvent(TEvent* event);
};

class CView : public CEventHandler {
 public:
  CView();
  ~CView() override;
  CView(const CView&) = delete;
  CView& operator=(const CView&) = delete;

  void Init(const CRect& rect);
  void Show();
  void InvalidateView();
  // Ends the view: its native part goes, it leaves its parent's list. The object
  // stays valid (the toolkit frees it when the background ends).
  virtual void Done();
  // Draws the view; the default fills it with the background.
  virtual void PaintView(CDeviceContext& dc);

  CRect Rect;
  std::uint32_t ViewFlags = 0;
  CNodeView* Parent = nullptr;
  bool Visible = false;
  bool Ended = false;

  // The peer that shows this view; null while it has no native part.
  CViewPeer* Peer = nullptr;
  // The window this view belongs to (itself for a window).
  CWindow* OwnerWindow() const;
  // Creates the native part when the owning window has one. Used by the toolkit.
  virtual void Realize();
  virtual void Unrealize();
};

class CNodeView : public CView {
 public:
  ~CNodeView() override;
  // The child list runs from front to back: Register adds a child behind the
  // others, RegisterFirst in front of them (so a list registered first lies over
  // a pane registered earlier).
  void Register(CView* child);
  void RegisterFirst(CView* child);
  void Unregister(CView* child);
  const std::vector<CView*>& Children() const { return ChildList; }

  // Ends the children still registered, then the view itself.
  void Done() override;
  void Realize() override;
  void Unrealize() override;

 protected:
  void EndChildren();
  void RealizeChildren();
  std::vector<CView*> ChildList;

 private:
  void Attach(CView* child, bool front);
};

class CButton : public CView {
 public:
  // A press sends `command` as a command event to the owning window. A new Init
  // changes both the rectangle and the text.
  void Init(const CRect& rect, std::uint32_t command, std::int32_t length, const char* text,
            std::uint32_t options);
  void Enable();
  void Disable();
  bool IsEnabled() const { return Enabled; }
  const char* Text() const { return Label.data(); }
  std::uint32_t Command() const { return Cmd; }
  // Called by the peer when the user presses the button.
  void Press();
  void Realize() override;

 private:
  std::vector<char> Label = std::vector<char>(1, '\0');
  std::uint32_t Cmd = 0;
  bool Enabled = true;
};

class CComboBox : public CView {
 public:
  void Init(const CRect& rect, std::uint32_t options, std::uint32_t style);
  void AddItem(std::int32_t length, const char* text, std::uint32_t data);
  void ItemsAdded();
  // Items count from 1; 0 means no selection.
  void SetSelected(std::int32_t index);
  std::int32_t GetSelected() const { return Selected; }
  std::int32_t ItemCount() const { return static_cast<std::int32_t>(Items.size()); }
  const char* Item(std::int32_t index) const;  // 1-based; null out of range
  void Enable();
  void Disable();
  bool IsEnabled() const { return Enabled; }
  // Called by the peer when the user picks an item.
  void Pick(std::int32_t index);
  void Realize() override;

 private:
  std::vector<std::vector<char>> Items;
  std::int32_t Selected = 0;
  bool Enabled = true;
};

// ---------------------------------------------------------------------------
// Windows.

constexpr std::uint32_t WindowStateMinimized = 0x1;
constexpr std::uint32_t WindowStateMaximized = 0x2;

// Whether some of `rect` lies on the work area of a screen that is there now.
// `rect` is a top-level window's left and top edges in screen coordinates with
// its interior's size; a peer adds its frame. A peer that cannot tell says yes.
bool OnAnyScreen(const CRect& rect);

class CMenuBar;
class CDBNodeView;
class CTabPaneFactory;

class CWindow : public CNodeView {
 public:
  CWindow();
  ~CWindow() override;

  void Init(const CRect& rect, std::uint32_t options, std::int32_t titleLength, const char* title,
            CMenuBar* menuBar, CDBNodeView* dbView, CView* clientView, CTabPaneFactory* tabPanes);
  void SetTitle(std::int32_t length, const char* text);
  const char* Title() const { return TitleText.data(); }
  void SetWinIcon(HANDLE smallIcon, HANDLE largeIcon);
  void Minimize();
  void Maximize();

  virtual bool ReceiveMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result);
  virtual void CreatePeerWindow();
  virtual void DeletePeerWindow();
  void Done() override;
  void ReceiveEvent(TEvent* event) override;

  // Ends the window as the frame's close control does: takes its placement from
  // the native window, destroys it and ends the window. Safe to call twice.
  void Close();

  HWND PeerHandle = nullptr;
  std::uint32_t WindowState = 0;
  CRect NormalRect;
  std::int32_t InteriorWidth = 0;
  std::int32_t InteriorHeight = 0;
  std::uint32_t Options = 0;
  HANDLE SmallIcon = nullptr;
  HANDLE LargeIcon = nullptr;
  CWindowPeer* WindowPeer = nullptr;

  // The window whose native handle is `handle`, or null.
  static CWindow* FromHandle(HWND handle);

  // The native window itself comes and goes with CreatePeerWindow and
  // DeletePeerWindow; these only reach the children.
  void Realize() override;
  void Unrealize() override;

 private:
  std::vector<char> TitleText = std::vector<char>(1, '\0');
  bool Closing = false;
};

class CBackground {
 public:
  CBackground();
  ~CBackground();
  void Init(std::int32_t flags);
  void Register(CWindow* window);
  void Select();
  void Show();
  // Runs the event loop until the last registered window has ended.
  std::int32_t Exec();
  // Releases what the toolkit kept (ended views) and closes the toolkit down.
  void Done();

  // Handles every queued event and every ready notification without blocking;
  // returns how many it handled. Used by the loops of the peers and by tests.
  std::int32_t Pump();
  // True while a registered window has not ended.
  bool HasWindows() const;
  const std::vector<CWindow*>& Windows() const { return WindowList; }
  void WindowEnded(CWindow* window);
  // Forgets a window that is being destroyed.
  void Unregister(CWindow* window);

 private:
  std::vector<CWindow*> WindowList;
};

extern CBackground* PBackground;

// ---------------------------------------------------------------------------
// Message boxes.

// Shows a modal message box: `title` and three text lines, with `icon`. The
// numeric arguments are the program's fixed box style (2, 1, 1, 4). Returns the
// button pressed (1).
std::int32_t DoMessageBox(CWindow* owner, std::int32_t style, const CRect& rect,
                          std::int32_t buttons, std::int32_t defaultButton, std::int32_t flags,
                          std::int32_t titleLength, const char* title, std::int32_t length1,
                          const char* line1, std::int32_t length2, const char* line2,
                          std::int32_t length3, const char* line3, PPicture icon);

// ---------------------------------------------------------------------------
// Registry scanner: one key, optionally one section (subkey) below it.

class CRegScannerA {
 public:
  CRegScannerA() = default;
  ~CRegScannerA();
  CRegScannerA(const CRegScannerA&) = delete;
  CRegScannerA& operator=(const CRegScannerA&) = delete;

  // Opens `path` below `root`; never creates. The first text is a prefix
  // for the path (the program passes the empty text).
  bool Init(std::int32_t prefixLength, const char* prefix, std::int32_t pathLength,
            const char* path, HKEY root);
  bool vfInit(std::int32_t prefixLength, const char* prefix, std::int32_t pathLength,
              const char* path, HKEY root);
  // Opens `path`, making the missing keys.
  bool Create(std::int32_t prefixLength, const char* prefix, std::int32_t pathLength,
              const char* path, HKEY root);
  void Done();
  void vfDone();

  bool SetSection(std::int32_t length, const char* name);
  bool CreateSection(std::int32_t length, const char* name);
  // A missing value leaves *value alone and gives false.
  bool GetKeyInt(std::int32_t length, const char* name, std::int32_t* value);
  bool SetKeyInt(std::int32_t length, const char* name, std::int32_t value);
  bool GetKeyCard(std::int32_t length, const char* name, std::uint32_t* value);
  bool SetKeyCard(std::int32_t length, const char* name, std::uint32_t value);
  bool DeleteKey(std::int32_t length, const char* name);

 private:
  bool Open(std::int32_t prefixLength, const char* prefix, std::int32_t pathLength,
            const char* path, HKEY root, bool create);
  TRegStoreKey* Target() const;
  TRegStoreKey* Key = nullptr;
  TRegStoreKey* Section = nullptr;
};
