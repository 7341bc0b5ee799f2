// Looks at another program's windows the way Windows itself sees them, for the
// smoke test: what X sees under Wine includes Wine's own frame, and a box's
// texts cannot be read from a screenshot without OCR.
//
//   pelwin_probe window TITLE [SECONDS]   the window's client size, frame,
//                                         state and style, and one line per
//                                         child
//   pelwin_probe dialog TITLE [SECONDS]   the lines of a box's texts and
//                                         whether it shows an icon
//
// Both wait up to SECONDS (default 20) for a visible top-level window with
// exactly that title and exit 1 when none comes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

HWND WaitForWindow(const char* title, int seconds) {
  for (int tries = seconds * 10; tries >= 0; --tries) {
    HWND found = FindWindowA(nullptr, title);
    if (found != nullptr && IsWindowVisible(found)) {
      return found;
    }
    Sleep(100);
  }
  return nullptr;
}

std::string TextOf(HWND window) {
  char text[1024];
  const int length = GetWindowTextA(window, text, sizeof text);
  return std::string(text, length > 0 ? static_cast<std::size_t>(length) : 0);
}

std::string ClassOf(HWND window) {
  char name[256];
  const int length = GetClassNameA(window, name, sizeof name);
  return std::string(name, length > 0 ? static_cast<std::size_t>(length) : 0);
}

void PrintLines(const char* tag, const std::string& text) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? end : end - start);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    std::printf("%s %s\n", tag, line.c_str());
    if (end == std::string::npos) {
      return;
    }
    start = end + 1;
  }
}

int DescribeWindow(HWND window) {
  // Whatever is still to be painted is painted before anyone takes a picture.
  RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  RECT client;
  RECT frame;
  GetClientRect(window, &client);
  GetWindowRect(window, &frame);
  POINT origin{0, 0};
  ClientToScreen(window, &origin);
  const LONG style = GetWindowLongA(window, GWL_STYLE);
  std::printf("client %ld %ld\n", client.right - client.left, client.bottom - client.top);
  std::printf("frame %ld %ld %ld %ld\n", frame.left, frame.top, frame.right, frame.bottom);
  std::printf("origin %ld %ld\n", origin.x, origin.y);
  std::printf("state %s\n", IsIconic(window)   ? "minimized"
                            : IsZoomed(window) ? "maximized"
                                               : "normal");
  std::printf("style%s%s%s%s%s\n", (style & WS_CAPTION) == WS_CAPTION ? " caption" : "",
              style & WS_SYSMENU ? " sysmenu" : "", style & WS_MINIMIZEBOX ? " minimizebox" : "",
              style & WS_MAXIMIZEBOX ? " maximizebox" : "", style & WS_THICKFRAME ? " sizing" : "");
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    RECT area;
    GetWindowRect(child, &area);
    POINT corner{area.left, area.top};
    ScreenToClient(window, &corner);
    std::printf("child %s %ld %ld %ld %ld %s %s \"%s\"\n", ClassOf(child).c_str(), corner.x,
                corner.y, area.right - area.left, area.bottom - area.top,
                IsWindowVisible(child) ? "visible" : "hidden",
                IsWindowEnabled(child) ? "enabled" : "disabled", TextOf(child).c_str());
  }
  return 0;
}

int DescribeDialog(HWND box) {
  bool icon = false;
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) != "Static") {
      continue;
    }
    if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      icon = icon || SendMessageA(child, STM_GETICON, 0, 0) != 0;
      continue;
    }
    PrintLines("line", TextOf(child));
  }
  std::printf("icon %s\n", icon ? "yes" : "no");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: pelwin_probe window|dialog TITLE [SECONDS]\n");
    return 2;
  }
  const int seconds = argc > 3 ? std::atoi(argv[3]) : 20;
  HWND found = WaitForWindow(argv[2], seconds);
  if (found == nullptr) {
    std::fprintf(stderr, "pelwin_probe: no window \"%s\"\n", argv[2]);
    return 1;
  }
  if (std::strcmp(argv[1], "window") == 0) {
    return DescribeWindow(found);
  }
  if (std::strcmp(argv[1], "dialog") == 0) {
    return DescribeDialog(found);
  }
  std::fprintf(stderr, "pelwin_probe: unknown command %s\n", argv[1]);
  return 2;
}
