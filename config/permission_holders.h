// Who holds a driver's write permission, and which permissions pelwin set and
// has not yet seen gone. Both are machine-wide, so that every pelwin on the
// machine sees the same, whatever account it runs under and whether it is the
// 32-bit or the 64-bit program.
#pragma once

#include <cstdint>

#include "win32api.h"

// Every decision on a permission (a grant, a release, the clean-up at start) is
// taken while this lock is held, so that no two interleave. The wait for it is
// bounded: a decision that cannot have it is not taken.
class CPermissionLock {
 public:
  CPermissionLock();
  ~CPermissionLock();
  CPermissionLock(const CPermissionLock&) = delete;
  CPermissionLock& operator=(const CPermissionLock&) = delete;

  bool Held() const { return Owned; }

 private:
  HANDLE Mutex = nullptr;
  bool Owned = false;
};

// A run's hold on the permission of a model code's driver: a named object that
// lives while some process has a handle to it. The system closes a process's
// handles when it ends, however it ends. Null when it cannot be made.
HANDLE TakeHold(std::uint16_t modelCode);
// Whether some running process holds the model code's permission. Only "no
// such object" counts as none: an object that may not be opened is there.
bool HoldExists(std::uint16_t modelCode);

// The marks: a permission pelwin set is marked before it is set, and the mark
// goes only once the value has been seen gone.
bool MarkGrant(std::uint16_t modelCode);
// True only for a mark that could be read.
bool GrantMarked(std::uint16_t modelCode);
void UnmarkGrant(std::uint16_t modelCode);
