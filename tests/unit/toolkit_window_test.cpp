// The event queue, the window's life and the background's loop.
#include <memory>

#include "toolkit_fixture.h"

namespace {

class CRecorder : public CEventHandler {
 public:
  explicit CRecorder(std::vector<std::uint32_t>* log) : Log(log) {}
  std::function<void(std::uint32_t)> During;
  void ReceiveEvent(TEvent* event) override {
    Log->push_back(event->Command);
    if (During) {
      During(event->Command);
    }
  }

 private:
  std::vector<std::uint32_t>* Log;
};

TEvent Command(std::uint32_t command) {
  return {EventKindCommand, command};
}

// A window peer whose placement comes from a "window manager" that moved the window.
class CMovedWindowPeer : public CWindowPeer {
 public:
  CMovedWindowPeer(CProbeWindow* window, HWND handle) : Window(window), Native(handle) {}
  HWND Handle() override { return Native; }
  void ReadPlacement(CWindow* window) override {
    Window->Log.push_back("placement");
    window->Rect.x = 640;
    window->Rect.y = 480;
  }

 private:
  CProbeWindow* Window;
  HWND Native;
};

class CMovingPeers : public CHeadlessPeers {
 public:
  CWindowPeer* NewWindowPeer(CWindow* window) override {
    return new CMovedWindowPeer(static_cast<CProbeWindow*>(window), reinterpret_cast<HWND>(0x77));
  }
};

}  // namespace

using ToolkitEvents = ToolkitTest;

TEST_F(ToolkitEvents, AnEventMadeInAHandlerRunsAfterItInOrder) {
  std::vector<std::uint32_t> log;
  CRecorder first(&log);
  CRecorder second(&log);
  first.During = [&](std::uint32_t command) {
    if (command == 1) {
      first.MakeEvent(Command(3));
      second.MakeEvent(Command(4));
      log.push_back(100);  // still inside the handler of 1
    }
  };
  first.MakeEvent(Command(1));
  second.MakeEvent(Command(2));
  EXPECT_TRUE(HasQueuedEvents());
  EXPECT_EQ(DispatchQueuedEvents(), 4);
  EXPECT_EQ(log, (std::vector<std::uint32_t>{1, 100, 2, 3, 4}));
  EXPECT_FALSE(HasQueuedEvents());
}

TEST_F(ToolkitEvents, EventsForEndedOrDestroyedHandlersAreDropped) {
  std::vector<std::uint32_t> log;
  CProbeWindow window;
  window.Open();
  auto* button = new CButton;
  button->Init(MakeRect(0, 0, 10, 10), 5, 2, "OK", 0);
  window.Register(button);
  button->MakeEvent(Command(1));
  button->Done();
  {
    CRecorder gone(&log);
    gone.MakeEvent(Command(2));
  }
  CRecorder alive(&log);
  alive.MakeEvent(Command(3));
  EXPECT_EQ(Background->Pump(), 1);
  EXPECT_EQ(log, (std::vector<std::uint32_t>{3}));
  window.Close();
}

TEST_F(ToolkitEvents, QuitClosesTheWindowAndEndsTheLoop) {
  CProbeWindow window;
  window.Open();
  ASSERT_NE(window.PeerHandle, nullptr);
  EXPECT_TRUE(Headless.Native(&window)->Shown);

  window.MakeEvent({EventKindCommand, CommandQuit, true});  // stopped: not for the base
  window.MakeEvent({EventKindMenu, CommandQuit});           // not a command
  Background->Pump();
  EXPECT_FALSE(window.Ended);

  window.MakeEvent(Command(CommandQuit));
  window.MakeEvent(Command(CommandQuit));  // the window has ended by then
  EXPECT_EQ(Background->Exec(), 0);
  EXPECT_EQ(Headless.Loops, 1);
  EXPECT_TRUE(window.Ended);
  EXPECT_FALSE(Background->HasWindows());
  EXPECT_EQ(window.PeerHandle, nullptr);
  EXPECT_EQ(window.Commands, (std::vector<std::uint32_t>{CommandQuit, CommandQuit, CommandQuit}));
  EXPECT_EQ(window.Log, (std::vector<std::string>{"create", "delete", "done"}));
}

TEST_F(ToolkitEvents, CloseTakesThePlacementThenDeletesThenEndsOnceOnly) {
  CMovingPeers moving;
  const TPeersInUse use(&moving);
  CProbeWindow window;
  std::int32_t xSeenByDone = 0;
  CButton* late = nullptr;
  // What the program does while closing: disconnect (which may build a page),
  // report, post the quit command again, close again.
  window.WhileDeleting = [&] {
    auto* button = new CButton;
    button->Init(MakeRect(8, 156, 124, 0), 1002, 11, "Scan camera", 0);
    window.Register(button);
    button->Show();
    window.Close();
  };
  window.WhileEnding = [&] {
    xSeenByDone = window.Rect.x;
    late = new CButton;
    late->Init(MakeRect(8, 156, 124, 0), 1002, 11, "Scan camera", 0);
    window.Register(late);
    late->Show();
    EXPECT_EQ(late->Peer, nullptr);  // no native window to put it in
    DoMessageBox(&window, 2, CRect{}, 1, 1, 4, 5, "Error", 3, "one", 3, "two", 0, "", piStop);
    window.MakeEvent(Command(CommandQuit));
    window.Close();
  };
  window.Open();
  window.Close();
  window.Close();

  EXPECT_EQ(window.Log, (std::vector<std::string>{"create", "placement", "delete", "done"}));
  EXPECT_EQ(xSeenByDone, 640);
  EXPECT_TRUE(window.Ended);
  EXPECT_TRUE(window.Children().empty());
  ASSERT_NE(late, nullptr);
  EXPECT_TRUE(late->Ended);
  EXPECT_EQ(moving.Boxes.size(), 1u);
  EXPECT_EQ(Background->Pump(), 0);
  EXPECT_FALSE(Background->HasWindows());
}

TEST_F(ToolkitEvents, ShowCreatesTheNativeWindowOnceAndPushesItsState) {
  CProbeWindow window;
  CRect rect = MakeRect(100, 100, 272, 188);
  window.Init(rect, 0, 7, "Title that is cut", nullptr, nullptr, nullptr, nullptr);
  window.SetWinIcon(reinterpret_cast<HANDLE>(16), reinterpret_cast<HANDLE>(32));
  window.Minimize();
  Background->Register(&window);
  Background->Register(&window);
  EXPECT_EQ(Background->Windows().size(), 1u);
  Background->Select();
  Background->Show();
  Background->Show();

  EXPECT_EQ(window.Log, (std::vector<std::string>{"create"}));
  EXPECT_STREQ(window.Title(), "Title t");
  EXPECT_EQ(window.InteriorWidth, 272);
  EXPECT_EQ(window.InteriorHeight, 188);
  EXPECT_EQ(CWindow::FromHandle(window.PeerHandle), &window);
  const THeadlessNative* native = Headless.Native(&window);
  ASSERT_NE(native, nullptr);
  EXPECT_EQ(native->Text, "Title t");
  EXPECT_EQ(native->SmallIcon, reinterpret_cast<HANDLE>(16));
  EXPECT_EQ(native->LargeIcon, reinterpret_cast<HANDLE>(32));
  EXPECT_EQ(native->State, WindowStateMinimized);
  EXPECT_TRUE(native->Shown);

  window.SetTitle(99, "Kind");
  EXPECT_EQ(native->Text, "Kind");
  const HWND handle = window.PeerHandle;
  window.Close();
  EXPECT_EQ(CWindow::FromHandle(handle), nullptr);
  EXPECT_EQ(Headless.Native(&window), nullptr);
}

TEST_F(ToolkitEvents, MinimizeAndMaximizeKeepTheNormalRectangle) {
  CProbeWindow window;
  window.Open();
  window.Rect = MakeRect(300, 200, 272, 188);
  window.Minimize();
  EXPECT_EQ(window.WindowState, WindowStateMinimized);
  window.Rect = MakeRect(0, 0, 160, 30);  // where the system puts an icon
  window.Maximize();
  EXPECT_EQ(window.WindowState, WindowStateMaximized);
  EXPECT_EQ(window.NormalRect.x, 300);
  EXPECT_EQ(window.NormalRect.y, 200);
  EXPECT_EQ(Headless.Native(&window)->State, WindowStateMaximized);

  window.WindowState = 0;
  window.Rect = MakeRect(50, 60, 272, 188);
  window.Maximize();
  EXPECT_EQ(window.NormalRect.x, 50);
  window.Close();
}

TEST_F(ToolkitEvents, RunLoopReturnsWhenNothingCanHappenAnyMore) {
  CProbeWindow window;
  window.Open();
  EXPECT_EQ(Background->Exec(), 0);
  EXPECT_FALSE(window.Ended);
  window.Close();
}
