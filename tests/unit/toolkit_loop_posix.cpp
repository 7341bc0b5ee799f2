// The POSIX bridge between the platform layer and the headless loop.
#include <fcntl.h>
#include <unistd.h>

#include "posix_loop.h"
#include "toolkit_fixture.h"

namespace {

struct TPipe {
  int Read = -1;
  int Write = -1;
  TPipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      Read = fds[0];
      Write = fds[1];
    }
  }
  ~TPipe() {
    close(Read);
    close(Write);
  }
  void Signal() const { EXPECT_EQ(write(Write, "x", 1), 1); }
  void Drain() const {
    char byte;
    while (read(Read, &byte, 1) == 1) {
    }
  }
};

struct TWatcher {
  TPipe* Pipe = nullptr;
  int Calls = 0;
  bool UnwatchInCallback = false;
  std::vector<int>* Order = nullptr;
  int Name = 0;
  bool DrainInCallback = false;
};

void OnReady(int fd, void* data) {
  auto* watcher = static_cast<TWatcher*>(data);
  ++watcher->Calls;
  if (watcher->Order != nullptr) {
    watcher->Order->push_back(watcher->Name);
  }
  if (watcher->DrainInCallback) {
    watcher->Pipe->Drain();
  }
  if (watcher->UnwatchInCallback) {
    PosixGetLoop()->UnwatchFd(fd);
  }
}

}  // namespace

using ToolkitPosixLoop = ToolkitTest;

TEST_F(ToolkitPosixLoop, MessagesReachTheWindowBehindTheHandle) {
  CPosixLoop* loop = PosixGetLoop();
  ASSERT_NE(loop, nullptr);
  CProbeWindow window;
  window.Open();
  EXPECT_TRUE(loop->DeliverMessage(window.PeerHandle, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 42));
  EXPECT_EQ(window.Log.back(), "msg 537 32768 42");
  EXPECT_FALSE(loop->DeliverMessage(reinterpret_cast<HWND>(0x5), WM_DEVICECHANGE, 0, 0));
  const HWND handle = window.PeerHandle;
  window.Close();
  EXPECT_FALSE(loop->DeliverMessage(handle, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 42));
}

TEST_F(ToolkitPosixLoop, TheBridgeIsInstalledPerStartAndRemovedWithTheBackground) {
  EXPECT_NE(PosixGetLoop(), nullptr);
  Background->Done();
  EXPECT_EQ(PosixGetLoop(), nullptr);
  InitToolkit();
  EXPECT_NE(PosixGetLoop(), nullptr);
}

TEST_F(ToolkitPosixLoop, ReadyDescriptorsRunTheirCallbacksOncePerPoll) {
  TPipe first;
  TPipe second;
  std::vector<int> order;
  TWatcher a{&first, 0, false, &order, 1};
  TWatcher b{&second, 0, true, &order, 2};
  PosixGetLoop()->WatchFd(first.Read, OnReady, &a);
  PosixGetLoop()->WatchFd(second.Read, OnReady, &b);
  EXPECT_EQ(Headless.WatchedFds(), 2u);
  EXPECT_EQ(Headless.PollFds(0), 0);

  first.Signal();
  second.Signal();
  // Nobody drains the pipes: still each callback runs once per call.
  EXPECT_EQ(Headless.PollFds(0), 2);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(Headless.WatchedFds(), 1u);  // b let go of its descriptor in its callback
  EXPECT_EQ(Headless.PollFds(0), 1);
  EXPECT_EQ(a.Calls, 2);
  EXPECT_EQ(b.Calls, 1);
  PosixGetLoop()->UnwatchFd(first.Read);
  EXPECT_EQ(Headless.WatchedFds(), 0u);
}

TEST_F(ToolkitPosixLoop, PumpUntilWaitsOnWatchedDescriptors) {
  TPipe pipe;
  TWatcher watcher{&pipe};
  watcher.DrainInCallback = true;
  PosixGetLoop()->WatchFd(pipe.Read, OnReady, &watcher);
  EXPECT_FALSE(Headless.PumpUntil([&] { return watcher.Calls > 0; }, 30));

  pipe.Signal();
  EXPECT_TRUE(Headless.PumpUntil([&] { return watcher.Calls > 0; }, 2000));
  EXPECT_EQ(watcher.Calls, 1);
  PosixGetLoop()->UnwatchFd(pipe.Read);
  // With nothing watched and nothing queued, it does not wait for the timeout.
  EXPECT_FALSE(Headless.PumpUntil([] { return false; }, 60000));
}

TEST_F(ToolkitPosixLoop, ADescriptorClosedWithoutUnwatchingIsDropped) {
  auto* pipe = new TPipe;
  TWatcher watcher{pipe};
  const int fd = pipe->Read;
  PosixGetLoop()->WatchFd(fd, OnReady, &watcher);
  delete pipe;
  EXPECT_EQ(Headless.PollFds(0), 0);
  EXPECT_EQ(Headless.WatchedFds(), 0u);
  EXPECT_EQ(watcher.Calls, 0);
}

TEST_F(ToolkitPosixLoop, ExecHandlesNotificationsUntilTheWindowQuits) {
  CProbeWindow window;
  window.Open();
  TPipe pipe;
  struct TQuitter {
    CProbeWindow* Window;
    TPipe* Pipe;
  } quitter{&window, &pipe};
  PosixGetLoop()->WatchFd(
      pipe.Read,
      [](int, void* data) {
        auto* q = static_cast<TQuitter*>(data);
        q->Pipe->Drain();
        q->Window->MakeEvent({EventKindCommand, CommandQuit});
      },
      &quitter);
  pipe.Signal();
  EXPECT_EQ(Background->Exec(), 0);
  EXPECT_TRUE(window.Ended);
  PosixGetLoop()->UnwatchFd(pipe.Read);
}
