// The registry store on Windows: the real registry. A key handle is the store's
// key; integers are REG_DWORD values.
#include "registry_store.h"

#include <new>

struct TRegStoreKey {
  HKEY Handle;
};

namespace {

TRegStoreKey* Wrap(HKEY handle) {
  auto* key = new (std::nothrow) TRegStoreKey{handle};
  if (key == nullptr) {
    RegCloseKey(handle);
  }
  return key;
}

TRegStoreKey* OpenBelow(HKEY parent, const char* path, bool create) {
  HKEY handle = nullptr;
  LONG status;
  if (create) {
    status = RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_READ | KEY_WRITE, nullptr, &handle, nullptr);
  } else {
    status = RegOpenKeyExA(parent, path, 0, KEY_READ | KEY_WRITE, &handle);
    // A key the user may read but not write (a locked-down profile, a service
    // key without administrator rights) still gives its values; writes to it
    // then fail one by one, as they should.
    if (status == ERROR_ACCESS_DENIED) {
      status = RegOpenKeyExA(parent, path, 0, KEY_READ, &handle);
    }
  }
  return status == ERROR_SUCCESS ? Wrap(handle) : nullptr;
}

}  // namespace

TRegStoreKey* RegStoreOpen(HKEY root, const char* path, bool create) {
  return OpenBelow(root, path, create);
}

TRegStoreKey* RegStoreOpenSub(TRegStoreKey* key, const char* name, bool create) {
  return key == nullptr ? nullptr : OpenBelow(key->Handle, name, create);
}

bool RegStoreGetDword(TRegStoreKey* key, const char* name, std::uint32_t* value) {
  if (key == nullptr) {
    return false;
  }
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof data;
  if (RegQueryValueExA(key->Handle, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof data) {
    return false;
  }
  *value = data;
  return true;
}

bool RegStoreSetDword(TRegStoreKey* key, const char* name, std::uint32_t value) {
  if (key == nullptr) {
    return false;
  }
  const DWORD data = value;
  return RegSetValueExA(key->Handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                        sizeof data) == ERROR_SUCCESS;
}

bool RegStoreDeleteValue(TRegStoreKey* key, const char* name) {
  return key != nullptr && RegDeleteValueA(key->Handle, name) == ERROR_SUCCESS;
}

void RegStoreClose(TRegStoreKey* key) {
  if (key != nullptr) {
    RegCloseKey(key->Handle);
    delete key;
  }
}
