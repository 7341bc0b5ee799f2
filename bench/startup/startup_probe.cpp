// Starts a program and reports how long it takes to map its first top-level
// window, and its peak resident memory once it has drawn.
//
//   pelwin_startup_probe [--settle MS] PROGRAM [ARGUMENTS...]
//
// Prints "map_ms=<milliseconds> peak_rss_kib=<KiB>" and ends the program.
// The clock starts just before the fork; the map is seen as a MapNotify on the
// root window, so no polling interval blurs it.
#include <X11/Xlib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long PeakRssKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return -1;
}

// Waits for the next top-level map; false after `timeoutMs` without one.
bool WaitForMap(Display* display, int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MapNotify && event.xmap.event == DefaultRootWindow(display) &&
          !event.xmap.override_redirect) {
        return true;
      }
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return false;
    }
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    poll(&fd, 1, static_cast<int>(left));
  }
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  int settleMs = 300;
  if (argc > 2 && std::strcmp(argv[1], "--settle") == 0) {
    settleMs = std::atoi(argv[2]);
    first = 3;
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: pelwin_startup_probe [--settle MS] PROGRAM [ARGUMENTS...]\n");
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "pelwin_startup_probe: cannot open the display\n");
    return 1;
  }
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
  XSync(display, False);

  const Clock::time_point start = Clock::now();
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    return 1;
  }
  if (pid == 0) {
    execvp(argv[first], argv + first);
    std::perror(argv[first]);
    _exit(127);
  }
  const bool mapped = WaitForMap(display, 10000);
  const double mapMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  // The first paint and what it allocates come right after the map.
  std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
  const long peak = PeakRssKib(pid);
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  XCloseDisplay(display);
  if (!mapped) {
    std::fprintf(stderr, "pelwin_startup_probe: %s mapped no window\n", argv[first]);
    return 1;
  }
  std::printf("map_ms=%.2f peak_rss_kib=%ld\n", mapMs, peak);
  return 0;
}
