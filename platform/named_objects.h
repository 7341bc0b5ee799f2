// pelwin's named objects, machine-wide, one implementation per port: kernel
// objects under "Global\" on Windows, files in the object root on POSIX
// (docs/platform-linux.md). Only administrators and SYSTEM (on POSIX: root,
// the root's owner and, in a root shared with a group, its members) may make
// or open one. An object of one of pelwin's names that is not pelwin's (made
// by another account, of another kind, with another descriptor; on POSIX a
// link, a directory, a file that others may open) is never used: the calls
// fail with ERROR_ACCESS_DENIED.
//
// The handles are closed with CloseHandle; a mutex is taken with
// WaitForSingleObject and given back with ReleaseMutex.
#pragma once

#include "win32api.h"

// Makes the mutex, or opens it when it is there and pelwin's. Null on failure,
// with the last error. Without `make`, a mutex that is not there is not made
// where making one would leave something behind (on POSIX a file): null with
// ERROR_FILE_NOT_FOUND; a kernel object goes with its last handle, and is made.
HANDLE OpenNamedMutex(const char* name, bool make = true);
// Makes the event, or opens it when it is there and pelwin's. Null on failure,
// with the last error. The object lives while some process has a handle to it.
HANDLE OpenNamedEvent(const char* name);

enum class TEventLook {
  Absent,   // no such object
  Held,     // pelwin's, open in some process
  NotOurs,  // an object of that name that is not pelwin's: no process of pelwin's holds it
  Failed    // could not be looked at; the last error says why
};
// Looks for the event without holding it, even for a moment where the port can
// (on Windows a handle is open while the caller looks).
TEventLook LookForNamedEvent(const char* name);
