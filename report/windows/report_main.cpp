// pelwin-report.exe. A console program: started from a Command Prompt (or
// with its output redirected) it prints the report there. Started from
// Explorer, Windows gives it a console of its own that closes with it, so it
// writes the report to %TEMP%\pelwin-report.txt and opens that in Notepad;
// when Notepad cannot be started it shows the report in its console and waits
// for Enter.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "report/report.h"
#include "win32api.h"

namespace {

constexpr char Usage[] =
    "usage: pelwin-report [--output FILE]\n"
    "\n"
    "Reports what pelwin finds when it looks for the camera: Windows, whether you\n"
    "are an administrator, each camera driver's service key and its\n"
    "AllowEEPROMWrite value, the device interfaces of each camera kind, and the\n"
    "camera's header and descriptor block as pelwin reads them, and under each\n"
    "finding what it means and what to do. It only looks: it changes no setting\n"
    "and sends the camera no write. The camera gets 5 seconds to answer.\n"
    "\n"
    "From a Command Prompt the report is printed; started from Explorer it is\n"
    "written to %TEMP%\\pelwin-report.txt (replacing the last one) and opened in\n"
    "Notepad.\n"
    "\n"
    "  --output FILE  write the report to FILE\n"
    "  --help         this text\n";

constexpr char ReportFileName[] = "pelwin-report.txt";

// True when the console is this program's alone, as when Explorer starts it.
// Output that goes to a file or a pipe is somebody's script's.
bool OwnConsole() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) {
    return false;
  }
  DWORD processes[2];
  return GetConsoleProcessList(processes, 2) == 1;
}

std::string TempReportPath() {
  char directory[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof directory, directory);
  if (length == 0 || length >= sizeof directory) {
    return {};
  }
  return std::string(directory, length) + ReportFileName;
}

bool OpenInNotepad(const std::string& path) {
  std::string command = "notepad.exe \"" + path + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

void WaitForEnter() {
  std::fputs("\nPress Enter to close this window.", stdout);
  std::fflush(stdout);
  for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
  }
}

int Show(const TReport& report, const TArguments& arguments, bool ownConsole) {
  if (!arguments.Output.empty()) {
    if (WriteTextFile(arguments.Output, report.Text, true)) {
      return 0;
    }
    std::fprintf(stderr, "pelwin-report: cannot write %s\n", arguments.Output.c_str());
    return 1;
  }
  if (!ownConsole) {
    return std::fputs(report.Text.c_str(), stdout) == EOF || std::fflush(stdout) != 0 ? 1 : 0;
  }
  const std::string path = TempReportPath();
  const bool written = !path.empty() && WriteTextFile(path, report.Text, true);
  if (written && OpenInNotepad(path)) {
    return 0;
  }
  std::fputs(report.Text.c_str(), stdout);
  if (written) {
    std::printf("\n(Notepad could not be started; the report is also in %s.)\n", path.c_str());
  }
  WaitForEnter();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  TArguments arguments;
  const int answered = AnswerCommandLine(argc, argv, Usage, &arguments);
  if (answered >= 0) {
    return answered;
  }
  const bool ownConsole = arguments.Output.empty() && OwnConsole();
  if (ownConsole) {
    std::puts("Looking at the camera and its drivers...");
  }
  const TReport report = MakeReport();
  const int status = Show(report, arguments, ownConsole);
  std::fflush(stdout);
  // A camera that never answered still holds the device thread in the link:
  // end without the static destructors that thread may still need.
  if (report.DeviceThreadRunning) {
    std::_Exit(status);
  }
  return status;
}
