// The driver accepts EEPROM writes only while AllowEEPROMWrite is set under its
// service key; which driver is meant follows from the camera's model code.
#include "app/brisa_config.h"
#include "app/texts.h"
#include "app/user_settings.h"

namespace {

struct TServiceKey {
  std::uint16_t ModelCode;
  const char* Path;
  std::int32_t Length;
};

#define PELWIN_KEY(code, path) \
  { code, path, Len(path) }
const TServiceKey ServiceKeyPath[] = {
    PELWIN_KEY(1027, "SYSTEM\\CurrentControlSet\\Services\\vemcamI\\Parameters"),
    PELWIN_KEY(1028, "SYSTEM\\CurrentControlSet\\Services\\vemcamF\\Parameters"),
    PELWIN_KEY(1029, "SYSTEM\\CurrentControlSet\\Services\\ralcamI\\Parameters"),
    PELWIN_KEY(1030, "SYSTEM\\CurrentControlSet\\Services\\ralcamF\\Parameters"),
    PELWIN_KEY(1200, "SYSTEM\\CurrentControlSet\\Services\\ralcamB\\Parameters"),
    PELWIN_KEY(1201, "SYSTEM\\CurrentControlSet\\Services\\ralcamBI\\Parameters"),
};
#undef PELWIN_KEY

constexpr char AllowValue[] = "AllowEEPROMWrite";
// The model code of a grant not yet taken back, beside the window position.
constexpr char GrantValue[] = "GrantCode";

const TServiceKey* FindServiceKey(std::uint16_t modelCode) {
  for (const TServiceKey& key : ServiceKeyPath) {
    if (key.ModelCode == modelCode) {
      return &key;
    }
  }
  return nullptr;
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
  CRegScannerA scanner;
  // The store opens a key for reading also where it may not write it, so a
  // key that does not open is not there, and nor is any value under it.
  if (!scanner.vfInit(0, "", key->Length, key->Path, HKEY_LOCAL_MACHINE)) {
    return true;
  }
  bool gone = scanner.DeleteKey(Len(AllowValue), AllowValue);
  // A delete also fails when there was nothing to delete; only a value that
  // still reads as a number is one the driver would take as a permission.
  if (!gone) {
    std::uint32_t value = 0;
    gone = !scanner.GetKeyCard(Len(AllowValue), AllowValue, &value);
  }
  scanner.vfDone();
  return gone;
}

namespace {

bool LoadGrantRecord(std::int32_t* modelCode) {
  CRegScannerA scanner;
  const bool found = scanner.Init(0, "", Len(SettingsKey), SettingsKey, HKEY_CURRENT_USER) &&
                     scanner.SetSection(Len(WindowSection), WindowSection) &&
                     scanner.GetKeyInt(Len(GrantValue), GrantValue, modelCode);
  scanner.Done();
  return found;
}

void SaveGrantRecord(std::uint16_t modelCode) {
  CRegScannerA scanner;
  if (scanner.Create(0, "", Len(SettingsKey), SettingsKey, HKEY_CURRENT_USER)) {
    if (!scanner.SetSection(Len(WindowSection), WindowSection)) {
      scanner.CreateSection(Len(WindowSection), WindowSection);
    }
    if (scanner.SetSection(Len(WindowSection), WindowSection)) {
      scanner.SetKeyInt(Len(GrantValue), GrantValue, modelCode);
    }
  }
  scanner.Done();
}

void ClearGrantRecord() {
  CRegScannerA scanner;
  if (scanner.Init(0, "", Len(SettingsKey), SettingsKey, HKEY_CURRENT_USER) &&
      scanner.SetSection(Len(WindowSection), WindowSection)) {
    scanner.DeleteKey(Len(GrantValue), GrantValue);
  }
  scanner.Done();
}

}  // namespace

void CBrisaConfig::RevokeLeftoverGrant() {
  std::int32_t recorded = 0;
  if (!LoadGrantRecord(&recorded)) {
    return;
  }
  if (recorded <= 0 || recorded > 0xFFFF) {
    ClearGrantRecord();  // names no driver
    return;
  }
  // Without the rights to delete it now, the record stays for a later start.
  StandingGrant = static_cast<std::uint16_t>(recorded);
  RevokeStandingGrant();
}

bool CBrisaConfig::RecordGrant(std::uint16_t modelCode) {
  // The record names one driver. Each pass of the wizard grants its own
  // permission at the unplug page, so one granted for another camera earlier
  // is no longer needed: take it back, or grant nothing that could go
  // unrecorded.
  if (StandingGrant != 0 && StandingGrant != modelCode) {
    RevokeStandingGrant();
    if (StandingGrant != 0) {
      return false;
    }
  }
  StandingGrant = modelCode;
  // Written before the grant, so that a run that dies in between leaves the
  // record and not an unknown permission. A record that cannot be written
  // leaves the next start nothing to revoke, but this run still revokes at
  // its end.
  SaveGrantRecord(modelCode);
  return true;
}

void CBrisaConfig::GrantRevoked(std::uint16_t modelCode) {
  if (modelCode == StandingGrant) {
    StandingGrant = 0;
    ClearGrantRecord();
  }
}

void CBrisaConfig::RevokeStandingGrant() {
  if (StandingGrant != 0 && RevokeEepromWrite(StandingGrant)) {
    GrantRevoked(StandingGrant);
  }
}
