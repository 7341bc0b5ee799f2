// pelwin-report: what a user reads, or sends with a support request, when
// pelwin does not find the camera. It is made from pelwin's own camera, driver
// and registry code, and only looks: it writes no registry value, sends the
// camera no write and changes no device's state.
#pragma once

#include <string>

// How long the camera gets to answer. The camera link blocks without a
// time-out, so the device part runs on a thread of its own.
constexpr int CameraDeadlineSeconds = 5;

struct TReport {
  std::string Text;  // lines ending in '\n'
  // The device thread was still waiting for the device or camera when the
  // report was made: the process must end without running its static
  // destructors (std::_Exit), since that thread still uses the link.
  bool DeviceThreadRunning = false;
};

TReport MakeReport();

// "pelwin-report <release>\n", the report's first line: the release's name
// (PELWIN_RELEASE, the version and the release's number), by which support
// tells two releases of one version apart.
std::string VersionLine();

// The operating system, the program's word size and WOW64, one line each,
// each ending in '\n' (report/<port>/report_system.cpp).
std::string DescribeSystem();

struct TServiceKey;
// How a user removes the driver's AllowEEPROMWrite by hand, in the port's
// words (report/<port>/report_system.cpp).
std::string RemoveValueHow(const TServiceKey& key);

// The command line both ports take: --help, --output FILE.
struct TArguments {
  bool Help = false;
  std::string Output;  // empty: the port's own way of showing the report
  std::string Error;   // not empty: the command line is wrong, and why
};
// Reads the command line into *arguments and answers a wrong one (status 2,
// usage on standard error) or --help (0, usage printed); -1 when the report
// is to be made.
int AnswerCommandLine(int argc, char** argv, const char* usage, TArguments* arguments);

// Writes the text to the file, with CR LF line ends when asked (Notepad before
// Windows 10 shows a bare LF as nothing). False when it could not be written.
bool WriteTextFile(const std::string& path, const std::string& text, bool crlf);
