// The registry store on Windows: the real registry. A key handle is the store's
// key; integers are REG_DWORD values. A failure leaves the registry's own status
// as the thread's last error.
//
// Every key is opened in the 64-bit view: the 32-bit program on 64-bit Windows
// would otherwise read and write HKLM\Software under WOW6432Node, apart from
// what the 64-bit program and every other tool see. 32-bit Windows ignores the
// flag; the driver's keys under HKLM\SYSTEM are the same in both views.
#include "registry_store.h"

#include <new>

struct TRegStoreKey {
  HKEY Handle;
};

namespace {

constexpr REGSAM View = KEY_WOW64_64KEY;

bool Succeeded(LONG status) {
  if (status != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(status));
    return false;
  }
  return true;
}

TRegStoreKey* Wrap(HKEY handle) {
  auto* key = new (std::nothrow) TRegStoreKey{handle};
  if (key == nullptr) {
    RegCloseKey(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return key;
}

TRegStoreKey* OpenBelow(HKEY parent, const char* path, bool create) {
  HKEY handle = nullptr;
  LONG status;
  if (create) {
    status = RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_READ | KEY_WRITE | View, nullptr, &handle, nullptr);
  } else {
    status = RegOpenKeyExA(parent, path, 0, KEY_READ | KEY_WRITE | View, &handle);
    // A key the user may read but not write (a locked-down profile, a service
    // key without administrator rights) still gives its values; writes to it
    // then fail one by one, as they should.
    if (status == ERROR_ACCESS_DENIED) {
      status = RegOpenKeyExA(parent, path, 0, KEY_READ | View, &handle);
    }
  }
  return Succeeded(status) ? Wrap(handle) : nullptr;
}

}  // namespace

TRegStoreKey* RegStoreOpen(HKEY root, const char* path, bool create) {
  return OpenBelow(root, path, create);
}

TRegStoreKey* RegStoreOpenSub(TRegStoreKey* key, const char* name, bool create) {
  if (key == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return OpenBelow(key->Handle, name, create);
}

bool RegStoreGetDword(TRegStoreKey* key, const char* name, std::uint32_t* value) {
  if (key == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof data;
  const LONG status =
      RegQueryValueExA(key->Handle, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  // A value that is there but holds more than a DWORD, or another type, is
  // still there: callers tell it from a missing one.
  if (status == ERROR_MORE_DATA ||
      (status == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof data))) {
    SetLastError(ERROR_UNSUPPORTED_TYPE);
    return false;
  }
  if (!Succeeded(status)) {
    return false;
  }
  *value = data;
  return true;
}

bool RegStoreSetDword(TRegStoreKey* key, const char* name, std::uint32_t value) {
  if (key == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const DWORD data = value;
  return Succeeded(RegSetValueExA(key->Handle, name, 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&data), sizeof data));
}

bool RegStoreDeleteValue(TRegStoreKey* key, const char* name) {
  if (key == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return Succeeded(RegDeleteValueA(key->Handle, name));
}

void RegStoreClose(TRegStoreKey* key) {
  if (key != nullptr) {
    RegCloseKey(key->Handle);
    delete key;
  }
}

bool RegStoreCanWrite(HKEY root, const char* path) {
  HKEY handle = nullptr;
  if (!Succeeded(RegOpenKeyExA(root, path, 0, KEY_READ | KEY_WRITE | View, &handle))) {
    return false;
  }
  RegCloseKey(handle);
  return true;
}

bool RegStoreDeleteEmptyKey(HKEY root, const char* path) {
  HKEY handle = nullptr;
  const LONG opened = RegOpenKeyExA(root, path, 0, KEY_READ | View, &handle);
  if (opened == ERROR_FILE_NOT_FOUND) {
    return true;
  }
  if (!Succeeded(opened)) {
    return false;
  }
  DWORD subkeys = 0;
  DWORD values = 0;
  const LONG queried = RegQueryInfoKeyA(handle, nullptr, nullptr, nullptr, &subkeys, nullptr,
                                        nullptr, &values, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(handle);
  if (!Succeeded(queried)) {
    return false;
  }
  if (subkeys != 0 || values != 0) {
    SetLastError(ERROR_DIR_NOT_EMPTY);
    return false;
  }
  const LONG deleted = RegDeleteKeyExA(root, path, View, 0);
  return deleted == ERROR_FILE_NOT_FOUND || Succeeded(deleted);
}
