// On Windows the system itself delivers window messages and device
// notifications to the native windows: the port has nothing to install.
#include "toolkit_core.h"

void ToolkitPortInit() {}

void ToolkitPortDone() {}
