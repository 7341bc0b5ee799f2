// Looks at another program's windows the way Windows itself sees them, for the
// smoke test: what X sees under Wine includes Wine's own frame, and a box's
// texts cannot be read from a screenshot without OCR.
//
//   pelwin_probe window TITLE [SECONDS] [--until TEXT | --until-not TEXT]...
//       the window's title, client size, frame, state and style, its
//       program's kind ("process wow64": a 32-bit program on 64-bit Windows,
//       else "process native"), and one line per child (a drop-down list
//       also tells its selected item, "item 4/8");
//       with --until, once some line contains TEXT (--until-not: once none
//       does), all conditions holding at the same moment
//   pelwin_probe dialog TITLE [SECONDS]   the lines of a box's texts and
//                                         whether it shows an icon
//   pelwin_probe close TITLE all|oldest   asks every such window (all), or the
//       one lowest in the stacking order, the first opened (oldest), to close
//       as the window menu's Close does; "all" posts to each back to back, so
//       that they close at one moment. Prints "closed N".
//   pelwin_probe squat NAME   makes the event NAME first, as a process that is
//       not an administrator's would: owned by Users, open to everyone; prints
//       "squatting" and keeps it until it is ended.
//
// Both wait up to SECONDS (default 20) for a visible top-level window with
// exactly that title (TITLE "class:NAME": of that window class) and exit 1
// when none comes or the conditions do not hold in time; the window's last
// description is printed either way.
#include <windows.h>
// clang-format off
#include <sddl.h>
// clang-format on

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

HWND FindVisible(const char* title) {
  constexpr char classPrefix[] = "class:";
  HWND found = std::strncmp(title, classPrefix, sizeof classPrefix - 1) == 0
                   ? FindWindowA(title + sizeof classPrefix - 1, nullptr)
                   : FindWindowA(nullptr, title);
  return found != nullptr && IsWindowVisible(found) ? found : nullptr;
}

HWND WaitForWindow(const char* title, int seconds) {
  for (int tries = seconds * 10; tries >= 0; --tries) {
    if (HWND found = FindVisible(title)) {
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

void Append(std::vector<std::string>* lines, const char* format, ...) {
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  lines->emplace_back(line);
}

const char* ProcessKind(HWND window) {
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  BOOL wow64 = FALSE;
  const bool known = process != nullptr && IsWow64Process(process, &wow64);
  if (process != nullptr) {
    CloseHandle(process);
  }
  return !known ? "unknown" : wow64 ? "wow64" : "native";
}

std::vector<std::string> DescribeWindow(HWND window) {
  // Whatever is still to be painted is painted before anyone takes a picture.
  RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  RECT client;
  RECT frame;
  GetClientRect(window, &client);
  GetWindowRect(window, &frame);
  POINT origin{0, 0};
  ClientToScreen(window, &origin);
  const LONG style = GetWindowLongA(window, GWL_STYLE);
  std::vector<std::string> lines;
  Append(&lines, "title \"%s\"", TextOf(window).c_str());
  Append(&lines, "client %ld %ld", client.right - client.left, client.bottom - client.top);
  Append(&lines, "frame %ld %ld %ld %ld", frame.left, frame.top, frame.right, frame.bottom);
  Append(&lines, "origin %ld %ld", origin.x, origin.y);
  Append(&lines, "process %s", ProcessKind(window));
  Append(&lines, "state %s",
         IsIconic(window)   ? "minimized"
         : IsZoomed(window) ? "maximized"
                            : "normal");
  Append(&lines, "style%s%s%s%s%s", (style & WS_CAPTION) == WS_CAPTION ? " caption" : "",
         style & WS_SYSMENU ? " sysmenu" : "", style & WS_MINIMIZEBOX ? " minimizebox" : "",
         style & WS_MAXIMIZEBOX ? " maximizebox" : "", style & WS_THICKFRAME ? " sizing" : "");
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    RECT area;
    GetWindowRect(child, &area);
    POINT corner{area.left, area.top};
    ScreenToClient(window, &corner);
    const std::string kind = ClassOf(child);
    std::string text = TextOf(child);
    std::string item;
    if (kind == "ComboBox") {
      // A drop-down list's text is its selected item. Asked from another
      // process, Wine 8 answers the ANSI CB_GETLBTEXT with the UTF-16 text:
      // ask for that and convert it here.
      const LRESULT selected = SendMessageA(child, CB_GETCURSEL, 0, 0);
      const LRESULT count = SendMessageA(child, CB_GETCOUNT, 0, 0);
      item = " item " + std::to_string(selected + 1) + "/" + std::to_string(count);
      wchar_t wide[256] = L"";
      char narrow[256] = "";
      if (selected >= 0 && SendMessageW(child, CB_GETLBTEXTLEN, selected, 0) < 255 &&
          SendMessageW(child, CB_GETLBTEXT, selected, reinterpret_cast<LPARAM>(wide)) >= 0 &&
          WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr) > 0) {
        text = narrow;
      }
    }
    Append(&lines, "child %s %ld %ld %ld %ld %s %s \"%s\"%s", kind.c_str(), corner.x, corner.y,
           area.right - area.left, area.bottom - area.top,
           IsWindowVisible(child) ? "visible" : "hidden",
           IsWindowEnabled(child) ? "enabled" : "disabled", text.c_str(), item.c_str());
  }
  return lines;
}

bool AnyLineHas(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines) {
    if (line.find(text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

struct TCondition {
  bool Present;
  std::string Text;
};

// Describes the window until every condition holds at once, re-finding it by
// title when it goes away (a title may change while we look).
int WatchWindow(const char* title, HWND window, int seconds,
                const std::vector<TCondition>& conditions) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
  std::vector<std::string> lines;
  const TCondition* unmet = nullptr;
  for (;;) {
    if (window == nullptr || !IsWindow(window)) {
      window = FindVisible(title);
    }
    if (window != nullptr) {
      lines = DescribeWindow(window);
      unmet = nullptr;
      for (const TCondition& condition : conditions) {
        if (AnyLineHas(lines, condition.Text) != condition.Present) {
          unmet = &condition;
          break;
        }
      }
      if (unmet == nullptr) {
        break;
      }
    }
    if (GetTickCount64() >= deadline) {
      break;
    }
    Sleep(50);
  }
  for (const std::string& line : lines) {
    std::printf("%s\n", line.c_str());
  }
  if (window == nullptr) {
    std::fprintf(stderr, "pelwin_probe: the window \"%s\" went away\n", title);
    return 1;
  }
  if (unmet != nullptr) {
    std::fprintf(stderr, "pelwin_probe: after %d s still %s \"%s\"\n", seconds,
                 unmet->Present ? "no line with" : "a line with", unmet->Text.c_str());
    return 1;
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

struct TMatches {
  const char* Title;
  std::vector<HWND> Windows;  // top to bottom
};

BOOL CALLBACK CollectMatch(HWND window, LPARAM data) {
  auto* matches = reinterpret_cast<TMatches*>(data);
  constexpr char classPrefix[] = "class:";
  const bool byClass = std::strncmp(matches->Title, classPrefix, sizeof classPrefix - 1) == 0;
  const std::string want = matches->Title + (byClass ? sizeof classPrefix - 1 : 0);
  if (IsWindowVisible(window) && (byClass ? ClassOf(window) : TextOf(window)) == want) {
    matches->Windows.push_back(window);
  }
  return TRUE;
}

int CloseWindows(const char* title, const char* which) {
  TMatches matches{title, {}};
  EnumWindows(CollectMatch, reinterpret_cast<LPARAM>(&matches));
  if (std::strcmp(which, "oldest") == 0 && !matches.Windows.empty()) {
    matches.Windows = {matches.Windows.back()};
  } else if (std::strcmp(which, "all") != 0) {
    std::fprintf(stderr, "pelwin_probe: close takes all or oldest, not %s\n", which);
    return 2;
  }
  for (HWND window : matches.Windows) {
    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  }
  std::printf("closed %u\n", static_cast<unsigned>(matches.Windows.size()));
  return matches.Windows.empty() ? 1 : 0;
}

int Squat(const char* name) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BUD:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                           &descriptor, nullptr) == FALSE) {
    return 1;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  HANDLE event = CreateEventA(&attributes, TRUE, FALSE, name);
  if (event == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
    std::fprintf(stderr, "pelwin_probe: %s is taken or cannot be made\n", name);
    return 1;
  }
  std::printf("squatting\n");
  std::fflush(stdout);
  Sleep(INFINITE);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: pelwin_probe window|dialog TITLE [SECONDS] "
                 "[--until TEXT | --until-not TEXT]...\n"
                 "       pelwin_probe close TITLE all|oldest\n"
                 "       pelwin_probe squat NAME\n");
    return 2;
  }
  if (std::strcmp(argv[1], "squat") == 0) {
    return Squat(argv[2]);
  }
  if (std::strcmp(argv[1], "close") == 0) {
    return CloseWindows(argv[2], argc > 3 ? argv[3] : "all");
  }
  const int seconds = argc > 3 ? std::atoi(argv[3]) : 20;
  std::vector<TCondition> conditions;
  if (argc > 4 && (argc - 4) % 2 != 0) {
    std::fprintf(stderr, "pelwin_probe: %s needs a text\n", argv[argc - 1]);
    return 2;
  }
  for (int i = 4; i + 1 < argc; i += 2) {
    const bool present = std::strcmp(argv[i], "--until") == 0;
    if (!present && std::strcmp(argv[i], "--until-not") != 0) {
      std::fprintf(stderr, "pelwin_probe: unknown option %s\n", argv[i]);
      return 2;
    }
    conditions.push_back({present, argv[i + 1]});
  }
  HWND found = WaitForWindow(argv[2], seconds);
  if (found == nullptr) {
    std::fprintf(stderr, "pelwin_probe: no window \"%s\"\n", argv[2]);
    return 1;
  }
  if (std::strcmp(argv[1], "window") == 0) {
    return WatchWindow(argv[2], found, seconds, conditions);
  }
  if (std::strcmp(argv[1], "dialog") == 0) {
    return DescribeDialog(found);
  }
  std::fprintf(stderr, "pelwin_probe: unknown command %s\n", argv[1]);
  return 2;
}
