// The drivers of pelwin's model-code table: each service key as the registry
// store sees it, its write permission and whether a running pelwin holds it.
// Only looked at: the key is opened for writing and closed, nothing written.
#include <cstdint>

#include "config/permission_holders.h"
#include "registry_store.h"
#include "report/facts.h"

namespace {

bool NotThere(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

TDriverFacts FindDriver(const TServiceKey& key) {
  TDriverFacts driver;
  driver.Key = &key;
  SetLastError(ERROR_SUCCESS);
  driver.Writable = RegStoreCanWrite(HKEY_LOCAL_MACHINE, key.Path);
  driver.WriteError = driver.Writable ? ERROR_SUCCESS : GetLastError();
  SetLastError(ERROR_SUCCESS);
  TRegStoreKey* opened = RegStoreOpen(HKEY_LOCAL_MACHINE, key.Path, false);
  if (opened == nullptr) {
    driver.OpenError = GetLastError();
    driver.KeyState = NotThere(driver.OpenError) ? TKeyState::Missing : TKeyState::CannotOpen;
  } else {
    driver.KeyState = TKeyState::Present;
    SetLastError(ERROR_SUCCESS);
    if (RegStoreGetDword(opened, AllowEepromWriteValue, &driver.Number)) {
      driver.Value = TValueState::Dword;
    } else {
      driver.ValueError = GetLastError();
      driver.Value = NotThere(driver.ValueError) ? TValueState::Absent : TValueState::Unreadable;
    }
    RegStoreClose(opened);
  }
  driver.Held = EepromWriteHeld(key.ModelCode);
  driver.Marked = GrantMarked(key.ModelCode);
  return driver;
}

}  // namespace

std::vector<TDriverFacts> FindDrivers() {
  std::vector<TDriverFacts> drivers;
  for (std::int32_t i = 0; i < ServiceKeyCount; ++i) {
    drivers.push_back(FindDriver(ServiceKeyPath[i]));
  }
  return drivers;
}
