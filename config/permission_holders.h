// Who holds a driver's write permission, and which permissions pelwin set and
// has not yet seen gone. Both are machine-wide, so that every pelwin on the
// machine sees the same, whatever account it runs under and whether it is the
// 32-bit or the 64-bit program. Only administrators may take part: the named
// objects are pelwin's own (named_objects.h), and one of pelwin's names taken
// by another process is never joined, waited on or counted as a hold.
#pragma once

#include <cstdint>

#include "app/brisa_config.h"
#include "win32api.h"

// The longest a decision waits for another pelwin's: decisions take
// microseconds to a few milliseconds, so only a run stopped in the middle of
// one (suspended in a debugger, say) keeps another waiting this long. The
// wait runs on the window's thread: it must never be felt.
constexpr DWORD PermissionLockWaitMs = 250;

// Every decision on a permission (a grant, a release, the clean-up at start)
// and every look at a hold is taken while this lock is held, so that no two
// interleave. The wait for it is bounded: a decision that cannot have it is
// not taken. The lock's object is opened once into `kept` (when given) and
// stays open until the caller closes it, so that while a run needs the lock no
// other process can take its name between two decisions. Without `make`, a
// lock that no pelwin has made is not made (Absent): a look that changes
// nothing on disk.
class CPermissionLock {
 public:
  explicit CPermissionLock(HANDLE* kept = nullptr, bool make = true);
  ~CPermissionLock();
  CPermissionLock(const CPermissionLock&) = delete;
  CPermissionLock& operator=(const CPermissionLock&) = delete;

  bool Held() const { return Owned; }
  bool Absent() const { return NeverMade; }

 private:
  HANDLE Mutex = nullptr;
  HANDLE* Kept = nullptr;
  bool Owned = false;
  bool NeverMade = false;
};

// A run's hold on the permission of a model code's driver: a named object that
// lives while some process has a handle to it. The system closes a process's
// handles when it ends, however it ends. Null when it cannot be made, or when
// the name is taken by an object that is not pelwin's.
HANDLE TakeHold(std::uint16_t modelCode);

// Whether some running pelwin holds the model code's permission, looked at
// without holding it. An object of the name that is not pelwin's is no hold;
// one that could not be looked at cannot be told.
THeldState LookForHold(std::uint16_t modelCode);

// The marks: a permission pelwin set is marked before it is set, and the mark
// goes only once the value has been seen gone; the marks' key goes with the
// last mark.
bool MarkGrant(std::uint16_t modelCode);
// True only for a mark that could be read.
bool GrantMarked(std::uint16_t modelCode);
void UnmarkGrant(std::uint16_t modelCode);
