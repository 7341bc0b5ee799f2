// The POSIX port's hook: the platform layer's descriptors go to the peer's
// loop, and its window messages to the window behind the handle.
#include "posix_loop.h"
#include "toolkit_core.h"

namespace {

class CToolkitPosixLoop : public CPosixLoop {
 public:
  void WatchFd(int fd, ReadyFn ready, void* data) override { Peers()->WatchFd(fd, ready, data); }
  void UnwatchFd(int fd) override { Peers()->UnwatchFd(fd); }
  bool DeliverMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) override {
    CWindow* window = CWindow::FromHandle(hwnd);
    if (window == nullptr) {
      return false;
    }
    LRESULT result = 0;
    window->ReceiveMsg(msg, wParam, lParam, &result);
    return true;
  }
};

CToolkitPosixLoop Loop;

}  // namespace

void ToolkitPortInit() {
  PosixSetLoop(&Loop);
}

void ToolkitPortDone() {
  if (PosixGetLoop() == &Loop) {
    PosixSetLoop(nullptr);
  }
}
