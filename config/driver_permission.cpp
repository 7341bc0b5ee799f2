// The driver accepts EEPROM writes only while AllowEEPROMWrite is set under its
// service key; which driver is meant follows from the camera's model code.
// When pelwin sets and deletes it is grant_policy.cpp's.
#include "app/brisa_config.h"
#include "app/texts.h"

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

extern const char AllowEepromWriteValue[] = "AllowEEPROMWrite";

namespace {

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
  const bool written = scanner.SetKeyCard(Len(AllowEepromWriteValue), AllowEepromWriteValue, 1);
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
  bool gone = scanner.DeleteKey(Len(AllowEepromWriteValue), AllowEepromWriteValue) ||
              NotThere(GetLastError());
  // A key opened for reading only refuses the delete whether the value is
  // there or not; the read tells.
  if (!gone) {
    std::uint32_t value = 0;
    SetLastError(ERROR_SUCCESS);
    gone = !scanner.GetKeyCard(Len(AllowEepromWriteValue), AllowEepromWriteValue, &value) &&
           NotThere(GetLastError());
  }
  scanner.vfDone();
  return gone;
}
