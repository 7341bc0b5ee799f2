// The driver accepts EEPROM writes only while AllowEEPROMWrite is set under its
// service key; which driver is meant follows from the camera's model code.
//
// That value lets any program write the EEPROM, so it must not outlive the
// runs that need it. Each run records its grant in the user's own section
// before it makes it: one record per model code and run, naming the run by its
// process id and start time. A run deletes the value when it is done with it,
// unless another pelwin that is still running holds a record for the same
// model code (the value is one per driver; that run deletes it when it is
// done). A start deletes every value whose records name only runs that have
// ended. A record goes only when its run leaves the value to another running
// pelwin, or when the value has been seen gone.
#include "app/brisa_config.h"
#include "app/texts.h"
#include "app/user_settings.h"

#define PELWIN_KEY(code, path) \
  { code, path, Len(path) }
extern const TServiceKey ServiceKeyPath[] = {
    PELWIN_KEY(1027, "SYSTEM\\CurrentControlSet\\Services\\vemcamI\\Parameters"),
    PELWIN_KEY(1028, "SYSTEM\\CurrentControlSet\\Services\\vemcamF\\Parameters"),
    PELWIN_KEY(1029, "SYSTEM\\CurrentControlSet\\Services\\ralcamI\\Parameters"),
    PELWIN_KEY(1030, "SYSTEM\\CurrentControlSet\\Services\\ralcamF\\Parameters"),
    PELWIN_KEY(1200, "SYSTEM\\CurrentControlSet\\Services\\ralcamB\\Parameters"),
    PELWIN_KEY(1201, "SYSTEM\\CurrentControlSet\\Services\\ralcamBI\\Parameters"),
};
#undef PELWIN_KEY
extern const std::int32_t ServiceKeyCount = sizeof ServiceKeyPath / sizeof ServiceKeyPath[0];

const TServiceKey* FindServiceKey(std::uint16_t modelCode) {
  for (std::int32_t i = 0; i < ServiceKeyCount; ++i) {
    if (ServiceKeyPath[i].ModelCode == modelCode) {
      return &ServiceKeyPath[i];
    }
  }
  return nullptr;
}

namespace {

constexpr char AllowValue[] = "AllowEEPROMWrite";

// What the registry reports for a key or a value that is not there.
bool NotThere(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

bool GrantEepromWrite(std::uint16_t modelCode) {
  const TServiceKey* key = FindServiceKey(modelCode);
  if (key == nullptr) {
    return false;
  }
  CRegScannerA scanner;
  if (!scanner.vfInit(0, "", key->Length, key->Path, HKEY_LOCAL_MACHINE)) {
    return false;
  }
  const bool written = scanner.SetKeyCard(Len(AllowValue), AllowValue, 1);
  scanner.vfDone();
  return written;
}

bool RevokeEepromWrite(std::uint16_t modelCode) {
  const TServiceKey* key = FindServiceKey(modelCode);
  if (key == nullptr) {
    return true;
  }
  // Gone is only what the registry says is not there. A key that may not be
  // opened, a value that may neither be deleted nor read, or one of another
  // type may still be what the driver reads. The last error is cleared first:
  // a call that fails before it reaches the registry must not pass for one
  // that found nothing.
  CRegScannerA scanner;
  SetLastError(ERROR_SUCCESS);
  if (!scanner.vfInit(0, "", key->Length, key->Path, HKEY_LOCAL_MACHINE)) {
    return NotThere(GetLastError());
  }
  SetLastError(ERROR_SUCCESS);
  bool gone = scanner.DeleteKey(Len(AllowValue), AllowValue) || NotThere(GetLastError());
  // A key opened for reading only refuses the delete whether the value is
  // there or not; the read tells.
  if (!gone) {
    std::uint32_t value = 0;
    SetLastError(ERROR_SUCCESS);
    gone = !scanner.GetKeyCard(Len(AllowValue), AllowValue, &value) && NotThere(GetLastError());
  }
  scanner.vfDone();
  return gone;
}

namespace {

// A record by an earlier version: one model code beside the window position.
constexpr char LegacyGrantValue[] = "GrantCode";
// Runs that may hold records for one model code at the same time.
constexpr std::int32_t HolderSlots = 4;
constexpr std::int32_t NameCapacity = 31;

// A run, told apart from a later process that got the same id by its start.
struct TRun {
  std::uint32_t Process;
  std::uint32_t Started;  // creation time in milliseconds, the low 32 bits
};

bool StartOf(HANDLE process, std::uint32_t* started) {
  FILETIME creation{};
  FILETIME exit{};
  FILETIME kernel{};
  FILETIME user{};
  if (!GetProcessTimes(process, &creation, &exit, &kernel, &user)) {
    return false;
  }
  const std::uint64_t intervals =
      (static_cast<std::uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
  *started = static_cast<std::uint32_t>(intervals / 10000);
  return true;
}

TRun ThisRun() {
  TRun run{GetCurrentProcessId(), 0};
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, run.Process);
  if (process != nullptr) {
    StartOf(process, &run.Started);
    CloseHandle(process);
  }
  return run;
}

// Whether the run still goes on. A process that cannot be asked counts as
// ended: its record then keeps no permission standing that no run answers for.
bool IsRunning(const TRun& run) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, run.Process);
  if (process == nullptr) {
    return false;
  }
  DWORD exitCode = 0;
  std::uint32_t started = 0;
  const bool running = GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE &&
                       StartOf(process, &started) && started == run.Started;
  CloseHandle(process);
  return running;
}

// "<code>.<slot>" holds the run's process id, "<code>.<slot>.Start" its start.
void HolderName(std::uint16_t modelCode, std::int32_t slot, bool start, char* name) {
  char number[12];
  Str::CardToStrA(modelCode, NameCapacity, name, 10, 0);
  Str::CardToStrA(static_cast<std::uint32_t>(slot), Len(number) - 1, number, 10, 0);
  Str::AppendA(NameCapacity, name, 1, ".");
  Str::AppendA(NameCapacity, name, Str::LengthA(number), number);
  if (start) {
    Str::AppendA(NameCapacity, name, Len(".Start"), ".Start");
  }
}

bool OpenRecords(CRegScannerA& scanner, bool create) {
  if (!create) {
    return scanner.Init(0, "", Len(SettingsKey), SettingsKey, HKEY_CURRENT_USER) &&
           scanner.SetSection(Len(GrantsSection), GrantsSection);
  }
  if (!scanner.Create(0, "", Len(SettingsKey), SettingsKey, HKEY_CURRENT_USER)) {
    return false;
  }
  if (!scanner.SetSection(Len(GrantsSection), GrantsSection)) {
    scanner.CreateSection(Len(GrantsSection), GrantsSection);
  }
  return scanner.SetSection(Len(GrantsSection), GrantsSection);
}

bool ReadHolder(CRegScannerA& records, std::uint16_t modelCode, std::int32_t slot, TRun* run) {
  char name[NameCapacity + 1];
  HolderName(modelCode, slot, false, name);
  if (!records.GetKeyCard(Str::LengthA(name), name, &run->Process)) {
    return false;
  }
  // Without its start a record names no process that runs.
  run->Started = 0;
  HolderName(modelCode, slot, true, name);
  records.GetKeyCard(Str::LengthA(name), name, &run->Started);
  return true;
}

// The start first: a record with an id always has its start.
bool WriteHolder(CRegScannerA& records, std::uint16_t modelCode, std::int32_t slot,
                 const TRun& run) {
  char name[NameCapacity + 1];
  HolderName(modelCode, slot, true, name);
  if (!records.SetKeyCard(Str::LengthA(name), name, run.Started)) {
    return false;
  }
  HolderName(modelCode, slot, false, name);
  return records.SetKeyCard(Str::LengthA(name), name, run.Process);
}

void ClearHolder(CRegScannerA& records, std::uint16_t modelCode, std::int32_t slot) {
  char name[NameCapacity + 1];
  HolderName(modelCode, slot, false, name);
  records.DeleteKey(Str::LengthA(name), name);
  HolderName(modelCode, slot, true, name);
  records.DeleteKey(Str::LengthA(name), name);
}

void ClearHolders(CRegScannerA& records, std::uint16_t modelCode) {
  for (std::int32_t slot = 1; slot <= HolderSlots; ++slot) {
    ClearHolder(records, modelCode, slot);
  }
}

struct THolders {
  bool Recorded = false;       // some record names a run
  bool OthersRunning = false;  // one of them is another pelwin that still runs
  std::int32_t Own = 0;        // the slot naming this run
  std::int32_t Free = 0;       // the first slot that is empty or names an ended run
};

THolders ReadHolders(CRegScannerA& records, std::uint16_t modelCode) {
  THolders holders;
  TRun self{0, 0};
  for (std::int32_t slot = 1; slot <= HolderSlots; ++slot) {
    TRun run{0, 0};
    if (!ReadHolder(records, modelCode, slot, &run)) {
      holders.Free = holders.Free != 0 ? holders.Free : slot;
      continue;
    }
    holders.Recorded = true;
    if (self.Process == 0) {
      self = ThisRun();
    }
    if (run.Process == self.Process && run.Started == self.Started) {
      holders.Own = slot;
    } else if (IsRunning(run)) {
      holders.OthersRunning = true;
    } else if (holders.Free == 0) {
      holders.Free = slot;
    }
  }
  return holders;
}

bool LoadLegacyRecord(std::int32_t* modelCode) {
  CRegScannerA scanner;
  return scanner.Init(0, "", Len(SettingsKey), SettingsKey, HKEY_CURRENT_USER) &&
         scanner.SetSection(Len(WindowSection), WindowSection) &&
         scanner.GetKeyInt(Len(LegacyGrantValue), LegacyGrantValue, modelCode);
}

void ClearLegacyRecord() {
  CRegScannerA scanner;
  if (scanner.Init(0, "", Len(SettingsKey), SettingsKey, HKEY_CURRENT_USER) &&
      scanner.SetSection(Len(WindowSection), WindowSection)) {
    scanner.DeleteKey(Len(LegacyGrantValue), LegacyGrantValue);
  }
}

}  // namespace

void CBrisaConfig::RevokeLeftoverGrant() {
  std::int32_t legacy = 0;
  bool legacyFound = LoadLegacyRecord(&legacy);
  if (legacyFound && (legacy <= 0 || legacy > 0xFFFF ||
                      FindServiceKey(static_cast<std::uint16_t>(legacy)) == nullptr)) {
    ClearLegacyRecord();  // names no driver
    legacyFound = false;
  }
  CRegScannerA records;
  const bool open = OpenRecords(records, false);
  if (!open && !legacyFound) {
    return;
  }
  for (std::int32_t i = 0; i < ServiceKeyCount; ++i) {
    const TServiceKey& key = ServiceKeyPath[i];
    const bool legacyHere = legacyFound && legacy == key.ModelCode;
    const THolders holders = open ? ReadHolders(records, key.ModelCode) : THolders{};
    // A pelwin still running answers for its own grant, and also for what an
    // ended run left of the same driver's.
    if ((!holders.Recorded && !legacyHere) || holders.OthersRunning) {
      continue;
    }
    // Without the rights to delete it now, the record stays for a later start.
    if (RevokeEepromWrite(key.ModelCode)) {
      if (open) {
        ClearHolders(records, key.ModelCode);
      }
      if (legacyHere) {
        ClearLegacyRecord();
      }
    }
  }
}

bool CBrisaConfig::RecordGrant(std::uint16_t modelCode) {
  // A run answers for one permission at a time. Each pass of the wizard grants
  // its own at the unplug page, so one granted for another camera earlier is
  // no longer needed: take it back, or grant nothing.
  if (StandingGrant != 0 && StandingGrant != modelCode) {
    ReleaseGrant(StandingGrant);
    if (StandingGrant != 0) {
      return false;
    }
  }
  if (FindServiceKey(modelCode) == nullptr) {
    return true;  // nothing will be granted
  }
  // Written before the grant, so that a run that dies in between leaves the
  // record and not an unknown permission. A record that cannot be written
  // leaves the next start nothing to revoke, but this run still revokes at
  // its end.
  CRegScannerA records;
  if (OpenRecords(records, true)) {
    const THolders holders = ReadHolders(records, modelCode);
    if (holders.Own == 0) {
      if (holders.Free == 0) {
        return false;  // as many pelwins as there are records hold this driver's
      }
      WriteHolder(records, modelCode, holders.Free, ThisRun());
    }
  }
  StandingGrant = modelCode;
  return true;
}

void CBrisaConfig::ReleaseGrant(std::uint16_t modelCode) {
  if (FindServiceKey(modelCode) == nullptr) {
    if (StandingGrant == modelCode) {
      StandingGrant = 0;
    }
    return;
  }
  CRegScannerA records;
  const bool open = OpenRecords(records, false);
  const THolders holders = open ? ReadHolders(records, modelCode) : THolders{};
  if (holders.OthersRunning) {
    // The value is also another running pelwin's; it deletes it when done.
    if (holders.Own != 0) {
      ClearHolder(records, modelCode, holders.Own);
    }
  } else if (!RevokeEepromWrite(modelCode)) {
    return;  // still standing: the record stays, and this run tries again at its end
  } else if (open) {
    ClearHolders(records, modelCode);
  }
  if (StandingGrant == modelCode) {
    StandingGrant = 0;
  }
}

void CBrisaConfig::RevokeStandingGrant() {
  if (StandingGrant != 0) {
    ReleaseGrant(StandingGrant);
  }
}

bool EepromWriteHeld(std::uint16_t modelCode) {
  CRegScannerA records;
  return FindServiceKey(modelCode) != nullptr && OpenRecords(records, false) &&
         ReadHolders(records, modelCode).OthersRunning;
}
