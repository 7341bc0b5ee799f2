// Where the POSIX registry store keeps its roots, for tools and tests that
// need to find the same directories as the program.
#pragma once

#include <string>

#include "win32api.h"

// The directory behind HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE, read from the
// environment at every call; empty for any other root.
std::string PosixRegistryRoot(HKEY root);
