// Faults that tests plant in the POSIX platform layer, to drive the program's
// error paths without a broken device or registry. Production code never sets
// them; the default plan changes nothing.
#pragma once

#include <string>

#include "win32api.h"

struct TPosixFaults {
  // SetupDiGetClassDevsA returns INVALID_HANDLE_VALUE (error ERROR_GEN_FAILURE).
  bool ClassDevsFail = false;
  // SetupDiEnumDeviceInterfaces fails with EnumError at member index EnumFailIndex
  // (for every class); -1: never.
  int EnumFailIndex = -1;
  DWORD EnumError = ERROR_GEN_FAILURE;
  // Every SetupDiEnumDeviceInterfaces call fails with EnumError, never with 259.
  bool EnumAlwaysFail = false;
  // The detail read (the call with a buffer) fails at this member index; -1: never.
  int DetailFailIndex = -1;
  // The size query of the detail at this member index reports no usable size
  // (a required size smaller than the fixed part); -1: never.
  int NoSizeIndex = -1;
  // CreateFileA fails (ERROR_FILE_NOT_FOUND) for every path that ends with this
  // text, after backslashes became slashes. Empty: never.
  std::string CreateFileFailSuffix;
  // RegisterDeviceNotificationA returns null.
  bool RegisterNotificationFail = false;
  // Administrator check (OpenSCManagerA): -1 as the machine says, 0 refused, 1 granted.
  int Administrator = -1;
  // HKEY_LOCAL_MACHINE may be read but not changed (EACCES), as for a user
  // without administrator rights; a test process running as root has no other
  // way to be refused.
  bool MachineRegistryReadOnly = false;
  // Reads under HKEY_LOCAL_MACHINE are refused (EACCES, ERROR_ACCESS_DENIED):
  // Values, the value files, as ones another user wrote 0600; Keys, every key
  // below the root, as directories another user made 0700.
  enum class TUnreadable { None, Values, Keys };
  TUnreadable MachineRegistryUnreadable = TUnreadable::None;
  // The process kills itself (SIGKILL) just before its n-th attempt from now to
  // set or delete a value under HKEY_LOCAL_MACHINE; 0: never. What a crash or
  // a kill in the middle of a permission decision leaves.
  int DieBeforeMachineChange = 0;
  // LookForNamedEvent waits this long after it has looked for the event, before it
  // answers: a slow system, which widens the time between a look and what the
  // caller does on its answer.
  int PauseAfterEventLookMs = 0;
  // GetModuleFileNameA reports this path instead of the running executable's.
  std::string ModulePath;
};

// The process's plan. Tests assign a fresh TPosixFaults{} to clear it.
TPosixFaults& PosixFaults();
