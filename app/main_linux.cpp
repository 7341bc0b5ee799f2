// The Linux entry point. Like the Windows program it reads no command line;
// it only answers --help and --version, which a desktop program is asked.
#include <cstdio>
#include <cstring>

#include "app/brisa_config.h"

namespace {

constexpr char Usage[] =
    "usage: pelwin [--help | --version]\n"
    "\n"
    "Configures the filter wheel of a USB astronomical camera: shows the camera's\n"
    "type, ID, filter positions and wheel type, and writes a new number of\n"
    "positions and wheel type to the camera.\n"
    "\n"
    "Every other argument is ignored. The environment chooses where pelwin looks:\n"
    "  PELWIN_DEVICE_ROOT       camera interfaces (default $XDG_RUNTIME_DIR/pelwin/devices,\n"
    "                           else /tmp/pelwin-<uid>/devices)\n"
    "  PELWIN_USER_REGISTRY     per-user settings, the window position (default\n"
    "                           $XDG_CONFIG_HOME/pelwin/registry, else ~/.config/...)\n"
    "  PELWIN_MACHINE_REGISTRY  the camera driver's settings (default /etc/pelwin/registry)\n"
    "  PELWIN_OBJECT_ROOT       the machine's named objects, which tell the pelwins running\n"
    "                           on it from each other (default /run/pelwin/objects)\n"
    "  PELWIN_ADMIN             1 or 0 overrides the administrator check (default: whether\n"
    "                           the machine registry may be written)\n"
    "See docs/developing.md and docs/platform-linux.md.\n";

// What a starter that gives no show state passes (SW_SHOWDEFAULT): the window
// opens in its normal state.
constexpr int ShowDefault = 10;

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(Usage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      // The same version data the About box reads, from this executable.
      constexpr std::int32_t capacity = 31;
      char version[capacity + 1];
      ReadVersionString(capacity, version);
      std::printf("pelwin %s\n", version);
      return 0;
    }
  }
  return RunApplication(nullptr, ShowDefault);
}
