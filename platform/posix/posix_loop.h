// How the POSIX platform layer reaches the toolkit's event loop.
//
// Device notifications are inotify descriptors that must be read inside the
// toolkit's loop, and their WM_DEVICECHANGE messages delivered to the window
// behind an HWND. The toolkit installs one CPosixLoop at start-up.
#pragma once

#include "win32api.h"

class CPosixLoop {
 public:
  using ReadyFn = void (*)(int fd, void* data);
  virtual ~CPosixLoop() = default;
  // Calls ready(fd, data) from inside the loop whenever fd is readable.
  virtual void WatchFd(int fd, ReadyFn ready, void* data) = 0;
  virtual void UnwatchFd(int fd) = 0;
  // Delivers a window message synchronously to the window behind hwnd.
  // Returns false when no window has that handle.
  virtual bool DeliverMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) = 0;
};

// Null uninstalls. Without a loop, registrations still succeed but nothing is delivered.
void PosixSetLoop(CPosixLoop* loop);
CPosixLoop* PosixGetLoop();
