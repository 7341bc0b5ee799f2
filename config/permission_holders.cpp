// The holds are named kernel objects in the machine-wide namespace; the marks
// are values in pelwin's own key of the machine's registry, which every
// administrator's run sees (the registry store reads the one 64-bit view, so
// that the 32-bit program and the 64-bit one agree).
#include "config/permission_holders.h"

#include "app/texts.h"
#include "named_objects.h"
#include "registry_store.h"
#include "toolkit.h"

namespace {

constexpr char LockName[] = "Global\\pelwin.permission.lock";
constexpr char MarksKey[] = "Software\\Varnosti\\pelwin\\Grants";
constexpr char MarksParent[] = "Software\\Varnosti\\pelwin";
constexpr char MakerKey[] = "Software\\Varnosti";

constexpr std::int32_t NameCapacity = 47;

// "Global\pelwin.permission.<code>"
void HoldName(std::uint16_t modelCode, char* name) {
  char number[8];
  Str::CopyA(NameCapacity, name, Len("Global\\pelwin.permission."), "Global\\pelwin.permission.");
  Str::CardToStrA(modelCode, Len(number) - 1, number, 10, 0);
  Str::AppendA(NameCapacity, name, Str::LengthA(number), number);
}

void MarkName(std::uint16_t modelCode, char* name) {
  Str::CardToStrA(modelCode, NameCapacity, name, 10, 0);
}

}  // namespace

CPermissionLock::CPermissionLock(HANDLE* kept, bool make) : Kept(kept) {
  Mutex = Kept != nullptr ? *Kept : nullptr;
  if (Mutex == nullptr) {
    SetLastError(ERROR_SUCCESS);
    Mutex = OpenNamedMutex(LockName, make);
    if (Mutex == nullptr) {
      NeverMade = GetLastError() == ERROR_FILE_NOT_FOUND;
      return;
    }
    if (Kept != nullptr) {
      *Kept = Mutex;
    }
  }
  // An owner that ended in the middle of a decision left nothing a decision
  // cannot take up: each one writes the mark before the value and deletes the
  // value before the mark.
  const DWORD waited = WaitForSingleObject(Mutex, PermissionLockWaitMs);
  Owned = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

CPermissionLock::~CPermissionLock() {
  if (Owned) {
    ReleaseMutex(Mutex);
  }
  if (Mutex != nullptr && Kept == nullptr) {
    CloseHandle(Mutex);
  }
}

HANDLE TakeHold(std::uint16_t modelCode) {
  char name[NameCapacity + 1];
  HoldName(modelCode, name);
  return OpenNamedEvent(name);
}

THeldState LookForHold(std::uint16_t modelCode) {
  char name[NameCapacity + 1];
  HoldName(modelCode, name);
  switch (LookForNamedEvent(name)) {
    case TEventLook::Absent:
    case TEventLook::NotOurs:
      return THeldState::NotHeld;
    case TEventLook::Held:
      return THeldState::Held;
    case TEventLook::Failed:
      break;
  }
  return THeldState::CannotTell;
}

bool MarkGrant(std::uint16_t modelCode) {
  char name[NameCapacity + 1];
  MarkName(modelCode, name);
  CRegScannerA marks;
  return marks.Create(0, "", Len(MarksKey), MarksKey, HKEY_LOCAL_MACHINE) &&
         marks.SetKeyCard(Str::LengthA(name), name, 1);
}

bool GrantMarked(std::uint16_t modelCode) {
  char name[NameCapacity + 1];
  MarkName(modelCode, name);
  CRegScannerA marks;
  std::uint32_t value = 0;
  return marks.Init(0, "", Len(MarksKey), MarksKey, HKEY_LOCAL_MACHINE) &&
         marks.GetKeyCard(Str::LengthA(name), name, &value);
}

void UnmarkGrant(std::uint16_t modelCode) {
  char name[NameCapacity + 1];
  MarkName(modelCode, name);
  CRegScannerA marks;
  if (marks.Init(0, "", Len(MarksKey), MarksKey, HKEY_LOCAL_MACHINE) &&
      marks.DeleteKey(Str::LengthA(name), name)) {
    marks.Done();
    // The marks' key and pelwin's keys above it go once they hold nothing.
    for (const char* key : {MarksKey, MarksParent, MakerKey}) {
      if (!RegStoreDeleteEmptyKey(HKEY_LOCAL_MACHINE, key)) {
        break;
      }
    }
  }
}
