// Managing Ortek and Selvo cameras means writing the driver's service key, which
// takes administrator rights: the service manager's full access tells.
#include "app/brisa_config.h"

namespace {

using OpenSCManagerFn = SC_HANDLE(WINAPI*)(LPCSTR, LPCSTR, DWORD);
using CloseServiceHandleFn = BOOL(WINAPI*)(SC_HANDLE);
constexpr DWORD FullAccess = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE;

// Entries looked up by name come back untyped; the detour through a plain
// function pointer says the conversion is meant.
template <typename Fn>
Fn ProcAs(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

bool IsAdministrator() {
  OSVERSIONINFOA version;
  Lib::Fill(&version, sizeof version, 0);
  version.dwOSVersionInfoSize = sizeof version;
  if (GetVersionExA(&version) != 1) {
    return false;
  }
  if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    return true;
  }
  if (version.dwPlatformId != VER_PLATFORM_WIN32_NT) {
    return false;
  }
  HMODULE advapi = LoadLibraryA("advapi32.dll");
  if (advapi == nullptr) {
    return false;
  }
  bool administrator = false;
  auto openManager = ProcAs<OpenSCManagerFn>(advapi, "OpenSCManagerA");
  auto closeHandle = ProcAs<CloseServiceHandleFn>(advapi, "CloseServiceHandle");
  if (openManager != nullptr && closeHandle != nullptr) {
    SC_HANDLE manager = openManager(nullptr, nullptr, FullAccess);
    if (manager != nullptr) {
      closeHandle(manager);
      administrator = true;
    }
  }
  FreeLibrary(advapi);
  return administrator;
}
