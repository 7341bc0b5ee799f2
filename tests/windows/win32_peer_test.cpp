// The Win32 peer against real native windows (under Wine with a display in
// the cross build): frame and placement, the About entry, controls and their
// notifications, drawing, the loop and the message boxes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "win32_peers.h"

namespace {

constexpr std::uint32_t Options = 0x80001213u;

class CTestWindow : public CWindow {
 public:
  std::vector<TEvent> Events;
  std::vector<UINT> DeviceMessages;
  LRESULT DeviceResult = 0;
  // A command this window answers by queueing another one.
  std::uint32_t ChainFrom = 0;
  std::uint32_t ChainTo = 0;

  void Open(std::int32_t x, std::int32_t y, const char* title = "Peer test") {
    CRect rect;
    rect.Init(x, y, 272, 188);
    Init(rect, Options, Str::LengthA(title), title, nullptr, nullptr, nullptr, nullptr);
    PBackground->Register(this);
  }

  void ReceiveEvent(TEvent* event) override {
    Events.push_back(*event);
    if (ChainFrom != 0 && event->Command == ChainFrom) {
      MakeEvent({EventKindCommand, ChainTo});
    }
    CWindow::ReceiveEvent(event);
  }

  bool ReceiveMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) override {
    if (msg == WM_DEVICECHANGE) {
      DeviceMessages.push_back(static_cast<UINT>(wParam));
      *result = DeviceResult;
      return true;
    }
    return CWindow::ReceiveMsg(msg, wParam, lParam, result);
  }

  std::vector<std::uint32_t> Commands() const {
    std::vector<std::uint32_t> commands;
    for (const TEvent& event : Events) {
      commands.push_back(event.Command);
    }
    return commands;
  }
};

class Win32Peer : public ::testing::Test {
 protected:
  void SetUp() override {
    Previous = SetPeers(&Win32);
    InitToolkit();
    SetAppHandle(GetModuleHandleA(nullptr));
    Background = new CBackground;
    PBackground = Background;
    Background->Init(1);
  }

  void TearDown() override {
    Background->Done();
    delete Background;
    PBackground = nullptr;
    SetPeers(Previous);
  }

  void Show(CTestWindow&) {
    Background->Show();
    Win32.PumpPending();
  }

  CWin32Peers Win32;
  CPeerFactory* Previous = nullptr;
  CBackground* Background = nullptr;
};

std::vector<HWND> ChildrenFrontToBack(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    children.push_back(child);
  }
  return children;
}

std::string TextOf(HWND window) {
  char text[256];
  const int length = GetWindowTextA(window, text, sizeof text);
  return std::string(text, static_cast<std::size_t>(std::max(length, 0)));
}

int Height(HWND window) {
  RECT area;
  GetWindowRect(window, &area);
  return area.bottom - area.top;
}

// A 32-bit picture to draw into, its pixels readable.
class CCanvas {
 public:
  CCanvas(int w, int h) : Width(w) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    Dc = CreateCompatibleDC(nullptr);
    Bitmap =
        CreateDIBSection(Dc, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&Bits), nullptr, 0);
    Original = SelectObject(Dc, Bitmap);
  }
  ~CCanvas() {
    SelectObject(Dc, Original);
    DeleteObject(Bitmap);
    DeleteDC(Dc);
  }
  CCanvas(const CCanvas&) = delete;
  CCanvas& operator=(const CCanvas&) = delete;

  COLORREF At(int x, int y) const {
    GdiFlush();
    const std::uint32_t pixel = Bits[y * Width + x];
    return RGB((pixel >> 16) & 0xFF, (pixel >> 8) & 0xFF, pixel & 0xFF);
  }

  HDC Dc;

 private:
  int Width;
  HBITMAP Bitmap;
  HGDIOBJ Original;
  std::uint32_t* Bits = nullptr;
};

}  // namespace

// ---------------------------------------------------------------------------
// The frame.

TEST_F(Win32Peer, TheInteriorIsTheClientAreaAndThePositionIsTheFramesCorner) {
  CTestWindow window;
  window.Open(120, 90, "Corvane v3.0");
  Show(window);
  HWND hwnd = window.PeerHandle;
  ASSERT_NE(hwnd, nullptr);

  RECT client;
  RECT frame;
  GetClientRect(hwnd, &client);
  GetWindowRect(hwnd, &frame);
  EXPECT_EQ(client.right, 272);
  EXPECT_EQ(client.bottom, 188);
  EXPECT_EQ(frame.left, 120);
  EXPECT_EQ(frame.top, 90);
  EXPECT_EQ(TextOf(hwnd), "Corvane v3.0");
  EXPECT_TRUE(IsWindowVisible(hwnd));

  const LONG style = GetWindowLongA(hwnd, GWL_STYLE);
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);

  window.SetTitle(9, "Selvo KAI");
  EXPECT_EQ(TextOf(hwnd), "Selvo KAI");
  window.Close();
}

TEST_F(Win32Peer, AStoredPositionOffEveryScreenIsUsedAsItIs) {
  CTestWindow window;
  window.Open(-400, 3000);
  Show(window);
  RECT frame;
  GetWindowRect(window.PeerHandle, &frame);
  EXPECT_EQ(frame.left, -400);
  EXPECT_EQ(frame.top, 3000);
  window.Close();
  EXPECT_EQ(window.Rect.x, -400);
  EXPECT_EQ(window.Rect.y, 3000);
}

// The program asks before it places a stored position; the frame counts.
TEST_F(Win32Peer, APositionIsOnAScreenWhileAnyOfItsFrameIsOnAWorkArea) {
  CTestWindow window;
  window.Open(120, 90);
  Show(window);
  RECT frame;
  GetWindowRect(window.PeerHandle, &frame);
  window.Close();
  const LONG w = frame.right - frame.left;
  const LONG h = frame.bottom - frame.top;
  ASSERT_GT(w, 272);
  RECT work;
  ASSERT_TRUE(SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0));
  const struct {
    LONG X, Y;
    bool On;
  } rows[] = {
      {work.left - 136, work.top + 100, true},
      {work.left - w + 1, work.bottom - 1, true},
      {work.left - w, work.top, false},
      {work.left, work.top - h, false},
      {work.right, work.top, false},
      {work.left + 10, work.bottom, false},
      {-400, 3000, false},
  };
  for (const auto& row : rows) {
    CRect rect;
    rect.Init(row.X, row.Y, 272, 188);
    EXPECT_EQ(Win32.OnAnyScreen(rect), row.On) << row.X << "," << row.Y;
  }
}

TEST_F(Win32Peer, AMinimisedStartRemembersWhereTheWindowComesBackTo) {
  CTestWindow window;
  window.Open(150, 110);
  window.Minimize();
  Show(window);
  EXPECT_TRUE(IsIconic(window.PeerHandle));
  window.Close();
  EXPECT_EQ(window.WindowState & (WindowStateMinimized | WindowStateMaximized),
            WindowStateMinimized);
  EXPECT_EQ(window.NormalRect.x, 150);
  EXPECT_EQ(window.NormalRect.y, 110);
  EXPECT_EQ(window.NormalRect.w, 272);
  EXPECT_EQ(window.NormalRect.h, 188);
}

TEST_F(Win32Peer, AMaximisedStartRemembersWhereTheWindowComesBackTo) {
  CTestWindow window;
  window.Open(150, 110);
  window.Maximize();
  Show(window);
  EXPECT_TRUE(IsZoomed(window.PeerHandle));
  window.Close();
  EXPECT_EQ(window.WindowState & (WindowStateMinimized | WindowStateMaximized),
            WindowStateMaximized);
  EXPECT_EQ(window.NormalRect.x, 150);
  EXPECT_EQ(window.NormalRect.y, 110);
}

TEST_F(Win32Peer, MovingAndMinimisingByTheUserKeepTheRectangleCurrent) {
  CTestWindow window;
  window.Open(100, 100);
  Show(window);
  HWND hwnd = window.PeerHandle;
  SetWindowPos(hwnd, nullptr, 300, 200, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  EXPECT_EQ(window.Rect.x, 300);
  EXPECT_EQ(window.Rect.y, 200);
  EXPECT_EQ(window.Rect.w, 272);
  EXPECT_EQ(window.WindowState, 0u);

  ShowWindow(hwnd, SW_MINIMIZE);
  EXPECT_EQ(window.WindowState, WindowStateMinimized);
  EXPECT_EQ(window.NormalRect.x, 300);
  EXPECT_EQ(window.NormalRect.y, 200);
  ShowWindow(hwnd, SW_RESTORE);
  EXPECT_EQ(window.WindowState, 0u);
  EXPECT_EQ(window.Rect.x, 300);
  window.Close();
}

TEST_F(Win32Peer, CloseEndsTheWindowAndItsNativeWindow) {
  CTestWindow window;
  window.Open(100, 100);
  Show(window);
  HWND hwnd = window.PeerHandle;
  SendMessageA(hwnd, WM_CLOSE, 0, 0);
  EXPECT_TRUE(window.Ended);
  EXPECT_EQ(window.PeerHandle, nullptr);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_FALSE(Background->HasWindows());
  // Nothing is left to wait for.
  Win32.RunLoop(Background);
}

// ---------------------------------------------------------------------------
// Messages and events.

TEST_F(Win32Peer, TheSystemMenusAboutEntryQueuesTheAboutCommand) {
  CTestWindow window;
  window.Open(100, 100);
  Show(window);
  HWND hwnd = window.PeerHandle;

  char text[64] = "";
  GetMenuStringA(GetSystemMenu(hwnd, FALSE), Win32AboutMenuId, text, sizeof text, MF_BYCOMMAND);
  EXPECT_STREQ(text, "About...");

  SendMessageA(hwnd, WM_SYSCOMMAND, Win32AboutMenuId, 0);
  EXPECT_TRUE(window.Events.empty()) << "runs after the handler, not inside it";
  Win32.PumpPending();
  ASSERT_EQ(window.Events.size(), 1u);
  EXPECT_EQ(window.Events[0].Kind, EventKindCommand);
  EXPECT_EQ(window.Events[0].Command, 1001u);
  window.Close();
}

TEST_F(Win32Peer, DeviceChangesGoToTheWindowWithItsResult) {
  CTestWindow window;
  window.Open(100, 100);
  Show(window);
  window.DeviceResult = 0x424D5144;
  DEV_BROADCAST_HDR header{};
  header.dbch_size = sizeof header;
  header.dbch_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  const LRESULT result = SendMessageA(window.PeerHandle, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                                      reinterpret_cast<LPARAM>(&header));
  EXPECT_EQ(result, 0x424D5144);
  EXPECT_EQ(window.DeviceMessages, std::vector<UINT>{DBT_DEVICEARRIVAL});
  window.Close();
}

TEST_F(Win32Peer, TheLoopRunsQueuedEventsInOrderAndEndsWithTheLastWindow) {
  CTestWindow window;
  window.Open(100, 100);
  Show(window);
  // The quit that 1 asks for comes after 3, which was queued before it.
  window.ChainFrom = 1;
  window.ChainTo = CommandQuit;
  window.MakeEvent({EventKindCommand, 1});
  window.MakeEvent({EventKindCommand, 3});
  Win32.RunLoop(Background);
  EXPECT_EQ(window.Commands(), (std::vector<std::uint32_t>{1, 3, CommandQuit}));
  EXPECT_TRUE(window.Ended);
}

TEST_F(Win32Peer, TheLoopDoesNotWaitForAWindowThatHasNoNativeWindow) {
  CTestWindow window;
  window.Open(100, 100);
  // Registered but never shown: nothing could ever close it.
  Win32.RunLoop(Background);
  EXPECT_FALSE(window.Ended);
}

// ---------------------------------------------------------------------------
// Controls.

TEST_F(Win32Peer, AButtonPressSendsItsCommandAndANewInitRelabelsIt) {
  CTestWindow window;
  window.Open(100, 100);
  Show(window);
  auto* button = new CButton;
  CRect rect;
  rect.Init(8, 156, 124, 0);
  button->Init(rect, 1002, 11, "Scan camera", 0);
  window.Register(button);
  button->Show();
  ASSERT_NE(button->Peer, nullptr);
  HWND native = static_cast<CWin32ChildPeer*>(button->Peer)->Hwnd;
  EXPECT_EQ(TextOf(native), "Scan camera");
  EXPECT_EQ(Height(native), 24);
  EXPECT_TRUE(IsWindowVisible(native));

  SendMessageA(native, BM_CLICK, 0, 0);
  Win32.PumpPending();
  EXPECT_EQ(window.Commands(), std::vector<std::uint32_t>{1002});

  button->Disable();
  EXPECT_FALSE(IsWindowEnabled(native));
  button->Enable();
  rect.Init(8, 156, 124, 0);
  button->Init(rect, 1002, 13, "Write Filters", 0);
  EXPECT_EQ(TextOf(native), "Write Filters");

  button->Done();
  EXPECT_FALSE(IsWindow(native));
  window.Close();
}

TEST_F(Win32Peer, AListShowsItsItemsClosedAtTheStandardHeightAndReportsPicks) {
  CTestWindow window;
  window.Open(100, 100);
  Show(window);
  auto* list = new CComboBox;
  CRect rect;
  rect.Init(108, 101, 156, 0);
  list->Init(rect, 0, 0);
  window.RegisterFirst(list);
  const char* items[] = {"Not installed", "5 positions", "6 positions",  "7 positions",
                         "8 positions",   "9 positions", "10 positions", "12 positions"};
  for (const char* item : items) {
    list->AddItem(Str::LengthA(item), item, 0);
  }
  list->ItemsAdded();
  list->SetSelected(2);
  list->Show();
  HWND native = static_cast<CWin32ChildPeer*>(list->Peer)->Hwnd;

  EXPECT_EQ(SendMessageA(native, CB_GETCOUNT, 0, 0), 8);
  EXPECT_EQ(SendMessageA(native, CB_GETCURSEL, 0, 0), 1);
  EXPECT_EQ(Height(native), 24);
  RECT dropped;
  SendMessageA(native, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
  const LRESULT item = SendMessageA(native, CB_GETITEMHEIGHT, 0, 0);
  // Some lists count the selection field in, some do not.
  EXPECT_GE(dropped.bottom - dropped.top, 8 * item) << "room for eight items";

  // The user picks the fourth item.
  SendMessageA(native, CB_SETCURSEL, 3, 0);
  SendMessageA(window.PeerHandle, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(native), CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(native));
  EXPECT_EQ(list->GetSelected(), 4);

  list->SetSelected(0);
  EXPECT_EQ(SendMessageA(native, CB_GETCURSEL, 0, 0), CB_ERR);
  window.Close();
}

TEST_F(Win32Peer, ListsRegisteredFirstLieOverThePaneAndButtonsBehindIt) {
  CTestWindow window;
  window.Open(100, 100);
  Show(window);
  CRect rect;
  auto* pane = new CView;
  rect.Init(8, 8, 256, 148);
  pane->Init(rect);
  window.Register(pane);
  auto* button = new CButton;
  rect.Init(8, 156, 124, 0);
  button->Init(rect, 1002, 4, "Scan", 0);
  window.Register(button);
  auto* list = new CComboBox;
  rect.Init(108, 101, 156, 0);
  list->Init(rect, 0, 0);
  window.RegisterFirst(list);

  const std::vector<HWND> order = ChildrenFrontToBack(window.PeerHandle);
  const auto place = [&](CView* view) {
    HWND native = static_cast<CWin32ChildPeer*>(view->Peer)->Hwnd;
    return std::find(order.begin(), order.end(), native) - order.begin();
  };
  EXPECT_LT(place(list), place(pane));
  EXPECT_LT(place(pane), place(button));
  EXPECT_TRUE(GetWindowLongA(static_cast<CWin32ChildPeer*>(pane->Peer)->Hwnd, GWL_STYLE) &
              WS_CLIPSIBLINGS)
      << "the pane must not paint over the lists";
  window.Close();
}

// ---------------------------------------------------------------------------
// Drawing.

TEST_F(Win32Peer, LinesIncludeTheirEndPointAndMakeAnEtchedSeparator) {
  CCanvas canvas(40, 20);
  const COLORREF background = RGB(10, 20, 30);
  HBRUSH brush = CreateSolidBrush(background);
  {
    CWin32DrawPeer draw(canvas.Dc, &Win32.Fonts(), brush);
    CDeviceContext dc(&draw);
    dc.FillArea(0, 0, 40, 20);
    const TGContext* context = GetPGContext(7);
    dc.SetPenColor(context->LineColor1);
    dc.DrawLine(0, 5, 29, 5);
    dc.SetPenColor(context->LineColor2);
    dc.DrawLine(0, 6, 29, 6);
    dc.SetPenColor(0x00FF00);
    dc.DrawLine(35, 2, 35, 9);
    dc.DrawLine(38, 15, 38, 15);
  }
  const COLORREF shadow = GetSysColor(COLOR_BTNSHADOW);
  const COLORREF highlight = GetSysColor(COLOR_BTNHIGHLIGHT);
  EXPECT_NE(shadow, highlight);
  EXPECT_EQ(canvas.At(0, 5), shadow);
  EXPECT_EQ(canvas.At(29, 5), shadow);
  EXPECT_EQ(canvas.At(30, 5), background);
  EXPECT_EQ(canvas.At(0, 6), highlight);
  EXPECT_EQ(canvas.At(29, 6), highlight);
  EXPECT_EQ(canvas.At(30, 6), background);
  EXPECT_EQ(canvas.At(35, 9), RGB(0, 0xFF, 0));
  EXPECT_EQ(canvas.At(35, 10), background);
  EXPECT_EQ(canvas.At(38, 15), RGB(0, 0xFF, 0));
  DeleteObject(brush);
}

TEST_F(Win32Peer, TextStandsBelowAndRightOfItsCornerAndEndsWhereItsWidthSays) {
  CCanvas canvas(200, 40);
  HBRUSH brush = CreateSolidBrush(RGB(255, 255, 255));
  const char label[] = "Filter wheel type:";
  {
    CWin32DrawPeer draw(canvas.Dc, &Win32.Fonts(), brush);
    CDeviceContext dc(&draw);
    dc.FillArea(0, 0, 200, 40);
    dc.WriteText(20, 10, 18, label);
  }
  int left = 200;
  int right = -1;
  int top = 40;
  for (int y = 0; y < 40; ++y) {
    for (int x = 0; x < 200; ++x) {
      if (canvas.At(x, y) != RGB(255, 255, 255)) {
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
      }
    }
  }
  const std::int32_t width = GetTextW(GetPGContext(7)->TextFont, 18, label);
  EXPECT_GE(left, 20);
  EXPECT_GE(top, 10);
  EXPECT_LT(top, 10 + 12);
  // Labels are right-aligned by their measured width: measuring and drawing
  // must use the same font.
  EXPECT_LT(right, 20 + width);
  EXPECT_GE(right, 20 + width - 4);
  DeleteObject(brush);
}

TEST_F(Win32Peer, TextWidthsStopAtTheNulAndTheCaptionFontIsWider) {
  const TFont text = GetPGContext(7)->TextFont;
  EXPECT_GT(Win32.TextWidth(text, 12, "Camera type:"), 0);
  EXPECT_EQ(Win32.TextWidth(text, 50, "Camera"), Win32.TextWidth(text, 6, "Camera type:"));
  EXPECT_GT(Win32.TextWidth(CaptionFont, 13, "Not connected"),
            Win32.TextWidth(text, 13, "Not connected"));
  EXPECT_EQ(Win32.TextWidth(text, 0, "Camera"), 0);
}

// ---------------------------------------------------------------------------
// Message boxes.

namespace {

struct TBoxSeen {
  CTestWindow* Window = nullptr;
  HWND Box = nullptr;
  HWND Owner = nullptr;
  std::string Title;
  std::string Text;
  bool Icon = false;
  std::size_t EventsWhileOpen = 0;
  int Ticks = 0;
};

TBoxSeen* Seen = nullptr;

BOOL CALLBACK FindBox(HWND window, LPARAM) {
  char name[32];
  if (GetClassNameA(window, name, sizeof name) > 0 && std::strcmp(name, "#32770") == 0 &&
      IsWindowVisible(window)) {
    Seen->Box = window;
    return FALSE;
  }
  return TRUE;
}

void CALLBACK WatchBox(HWND, UINT, UINT_PTR timer, DWORD) {
  ++Seen->Ticks;
  EnumThreadWindows(GetCurrentThreadId(), FindBox, 0);
  if (Seen->Box == nullptr) {
    if (Seen->Ticks > 100) {
      KillTimer(nullptr, timer);
    }
    return;
  }
  if (Seen->Title.empty()) {
    // First look: note what the box shows and queue an event, which must wait
    // for the box to close.
    Seen->Title = TextOf(Seen->Box);
    Seen->Owner = GetWindow(Seen->Box, GW_OWNER);
    for (HWND child = GetWindow(Seen->Box, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
      char name[32];
      GetClassNameA(child, name, sizeof name);
      if (lstrcmpiA(name, "Static") != 0) {
        continue;
      }
      if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        Seen->Icon = SendMessageA(child, STM_GETICON, 0, 0) != 0;
      } else {
        Seen->Text = TextOf(child);
      }
    }
    Seen->Window->MakeEvent({EventKindCommand, 77});
    return;
  }
  Seen->EventsWhileOpen = Seen->Window->Events.size();
  KillTimer(nullptr, timer);
  PostMessageA(Seen->Box, WM_COMMAND, IDOK, 0);
}

}  // namespace

TEST_F(Win32Peer, BoxTextsAreThreeLinesEvenWhenTheLastIsEmpty) {
  EXPECT_EQ(Win32BoxText("Camera not connected", "Plug in the camera", ""),
            "Camera not connected\nPlug in the camera\n ");
  EXPECT_EQ(Win32BoxText("Corvane v3.0", "3.0.0.0", "Copyright"),
            "Corvane v3.0\n3.0.0.0\nCopyright");
  EXPECT_EQ(Win32BoxText("", "", "x"), "\n\nx");
}

TEST_F(Win32Peer, AnAboutBoxIsModalToTheWindowShowsTheProgramsIconAndHoldsBackEvents) {
  CTestWindow window;
  window.Open(100, 100);
  Show(window);
  TBoxSeen seen;
  seen.Window = &window;
  Seen = &seen;
  SetTimer(nullptr, 0, 50, WatchBox);
  const TPicture about{TPicture::Resource, 1001};
  CRect rect;
  const std::int32_t pressed =
      DoMessageBox(&window, 2, rect, 1, 1, 4, 24, "About configuration tool", 12, "Corvane v3.0", 7,
                   "3.0.0.0", 9, "Copyright", &about);
  Seen = nullptr;
  EXPECT_EQ(pressed, IDOK);
  EXPECT_EQ(seen.Title, "About configuration tool");
  EXPECT_EQ(seen.Owner, window.PeerHandle);
  EXPECT_NE(seen.Text.find("Corvane v3.0\n3.0.0.0\nCopyright"), std::string::npos) << seen.Text;
  EXPECT_TRUE(seen.Icon) << "the program's icon stands in for a missing numbered one";
  EXPECT_EQ(seen.EventsWhileOpen, 0u);
  EXPECT_TRUE(window.Events.empty());
  Win32.PumpPending();
  EXPECT_EQ(window.Commands(), std::vector<std::uint32_t>{77});
  window.Close();
}
