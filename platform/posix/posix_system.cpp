// System version, the one system library the program loads (for its
// administrator check), and icons.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "posix_faults.h"
#include "posix_icons.h"
#include "posix_internal.h"
#include "posix_registry.h"

namespace {

// Distinct addresses serve as the fake module and service manager handles.
char g_advapi32_module;
char g_service_manager;

HMODULE Advapi32() {
  return reinterpret_cast<HMODULE>(&g_advapi32_module);
}

// May this process write the machine registry? The root may not exist yet: then
// whoever may create it in its nearest existing ancestor may write it.
bool MayWriteMachineRegistry() {
  if (geteuid() == 0)
    return true;
  std::string path = PosixRegistryRoot(HKEY_LOCAL_MACHINE);
  for (;;) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
      return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
      return false;
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
}

bool IsAdministrator() {
  const int forced = PosixFaults().Administrator;
  if (forced == 0 || forced == 1)
    return forced == 1;
  const std::string env = PosixEnv("PELWIN_ADMIN");
  if (env == "0" || env == "1")
    return env == "1";
  return MayWriteMachineRegistry();
}

struct TIconName {
  const char* Name;
};
constexpr TIconName kIcons[] = {{"DEFAULT_ICON"}};
// Without a size the program's own icon is drawn at the usual large icon size.
constexpr int kDefaultIconSize = 32;

std::mutex g_icons_mutex;
std::deque<TPosixIcon> g_icons;  // a deque: handed-out addresses stay valid

}  // namespace

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
  if (!IsAdministrator()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return reinterpret_cast<SC_HANDLE>(&g_service_manager);
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
  if (hSCObject != reinterpret_cast<SC_HANDLE>(&g_service_manager)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL GetVersionExA(OSVERSIONINFOA* lpVersionInformation) {
  if (!lpVersionInformation ||
      lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // The kernel's release stands in for the system version; its family is NT's,
  // the one with an administrator concept.
  unsigned major = 0, minor = 0, build = 0;
  utsname names;
  if (uname(&names) == 0)
    std::sscanf(names.release, "%u.%u.%u", &major, &minor, &build);
  lpVersionInformation->dwMajorVersion = major;
  lpVersionInformation->dwMinorVersion = minor;
  lpVersionInformation->dwBuildNumber = build;
  lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
  return TRUE;
}

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
  // Windows adds ".dll" to a name without an extension.
  if (lpLibFileName && (PosixEqualNoCase(lpLibFileName, "advapi32.dll") ||
                        PosixEqualNoCase(lpLibFileName, "advapi32")))
    return Advapi32();
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (hModule != Advapi32()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Ordinals (values below 0x10000) are not names; the module exports none.
  if (reinterpret_cast<std::uintptr_t>(lpProcName) >= 0x10000) {
    // Through void (*)(): the one function pointer type GCC accepts as a go-between.
    using TAnyFunction = void (*)();
    if (std::strcmp(lpProcName, "OpenSCManagerA") == 0)
      return reinterpret_cast<FARPROC>(reinterpret_cast<TAnyFunction>(&OpenSCManagerA));
    if (std::strcmp(lpProcName, "CloseServiceHandle") == 0)
      return reinterpret_cast<FARPROC>(reinterpret_cast<TAnyFunction>(&CloseServiceHandle));
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE hLibModule) {
  if (hLibModule != Advapi32()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HANDLE LoadImageA(HINSTANCE, LPCSTR name, UINT type, int cx, int cy, UINT) {
  if (type != IMAGE_ICON || cx < 0 || cy < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A resource number (below 0x10000) is no pointer; the program's resources
  // have icons by name only.
  const TIconName* icon = nullptr;
  if (reinterpret_cast<std::uintptr_t>(name) >= 0x10000)
    for (const TIconName& candidate : kIcons)
      if (PosixEqualNoCase(name, candidate.Name))
        icon = &candidate;
  if (!icon) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  const int width = cx ? cx : kDefaultIconSize, height = cy ? cy : kDefaultIconSize;
  std::lock_guard<std::mutex> lock(g_icons_mutex);
  for (TPosixIcon& known : g_icons)
    if (known.Name == icon->Name && known.Width == width && known.Height == height)
      return &known;
  g_icons.push_back(TPosixIcon{icon->Name, width, height});
  return &g_icons.back();
}

const TPosixIcon* PosixIconFromHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_icons_mutex);
  for (const TPosixIcon& known : g_icons)
    if (&known == handle)
      return &known;
  return nullptr;
}
