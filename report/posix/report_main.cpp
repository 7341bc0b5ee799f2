// pelwin-report on the Linux port: the report on standard output, or in the
// file given. The environment chooses where it looks, as for pelwin.
#include <cstdio>
#include <cstdlib>

#include "report/report.h"

namespace {

constexpr char Usage[] =
    "usage: pelwin-report [--output FILE]\n"
    "\n"
    "Reports what pelwin finds when it looks for the camera: the system, whether\n"
    "this user counts as administrator, each camera driver's service key and its\n"
    "AllowEEPROMWrite value, the device interfaces of each camera kind, and the\n"
    "camera's header and descriptor block as pelwin reads them, and under each\n"
    "finding what it means and what to do. It only looks: it changes no setting\n"
    "and sends the camera no write. The camera gets 5 seconds to answer.\n"
    "\n"
    "  --output FILE  write the report to FILE instead of standard output\n"
    "  --help         this text\n"
    "\n"
    "It looks where pelwin looks (see pelwin --help):\n"
    "  PELWIN_DEVICE_ROOT       the cameras' device interfaces (default\n"
    "                           $XDG_RUNTIME_DIR/pelwin/devices)\n"
    "  PELWIN_MACHINE_REGISTRY  the drivers' service keys (default /etc/pelwin/registry)\n"
    "  PELWIN_USER_REGISTRY     pelwin's own settings\n"
    "  PELWIN_OBJECT_ROOT       the named objects a running pelwin holds its write\n"
    "                           permission with (default /run/pelwin/objects)\n"
    "  PELWIN_ADMIN             whether this user counts as administrator\n";

}  // namespace

int main(int argc, char** argv) {
  TArguments arguments;
  const int answered = AnswerCommandLine(argc, argv, Usage, &arguments);
  if (answered >= 0) {
    return answered;
  }
  const TReport report = MakeReport();
  int status = 0;
  if (!arguments.Output.empty()) {
    if (!WriteTextFile(arguments.Output, report.Text, false)) {
      std::fprintf(stderr, "pelwin-report: cannot write %s\n", arguments.Output.c_str());
      status = 1;
    }
  } else if (std::fputs(report.Text.c_str(), stdout) == EOF) {
    status = 1;
  }
  if (std::fflush(stdout) != 0) {
    status = 1;
  }
  // A camera that never answered still holds the device thread in the link:
  // end without the static destructors that thread may still need.
  if (report.DeviceThreadRunning) {
    std::_Exit(status);
  }
  return status;
}
