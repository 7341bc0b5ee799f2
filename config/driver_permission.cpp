// The driver accepts EEPROM writes only while AllowEEPROMWrite is set under its
// service key; which driver is meant follows from the camera's model code.
#include "app/brisa_config.h"
#include "app/texts.h"

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

void RevokeEepromWrite(std::uint16_t modelCode) {
  const TServiceKey* key = FindServiceKey(modelCode);
  if (key == nullptr) {
    return;
  }
  CRegScannerA scanner;
  if (!scanner.vfInit(0, "", key->Length, key->Path, HKEY_LOCAL_MACHINE)) {
    return;
  }
  scanner.DeleteKey(Len(AllowValue), AllowValue);
  scanner.vfDone();
}
