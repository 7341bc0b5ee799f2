// The Windows entry point. The command line is not read; the show state is.
#include "app/brisa_config.h"

int WINAPI WinMain(HINSTANCE module, HINSTANCE, LPSTR, int showState) {
  return RunApplication(module, showState);
}
