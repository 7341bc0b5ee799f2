// Where the POSIX layer looks for device interfaces, and counters of the
// objects it hands out, so tests can prove that the program releases them.
#pragma once

#include <cstddef>
#include <string>

#include "win32api.h"

// The device root of the Linux platform contract, read from the environment at
// every call: $PELWIN_DEVICE_ROOT, else $XDG_RUNTIME_DIR/pelwin/devices, else
// /tmp/pelwin-<uid>/devices.
std::string PosixDeviceRoot();

// "{3789B7D9-A441-4B8B-A959-EE19DB0B8002}": upper case, in braces, as the
// interface class directories are named.
std::string PosixGuidText(const GUID& guid);
// Accepts that form in either case; false leaves *guid alone.
bool PosixGuidFromText(const char* text, GUID* guid);

// Live SetupDiGetClassDevsA sets, open CreateFileA handles and live
// RegisterDeviceNotificationA registrations of this process.
std::size_t PosixLiveDeviceSetCount();
std::size_t PosixOpenHandleCount();
std::size_t PosixLiveNotificationCount();
