// Device interface sets: a snapshot of the interface directories of one class.
#include "posix_devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "posix_faults.h"
#include "posix_internal.h"

namespace {

struct TDeviceSet {
  GUID ClassGuid;
  std::string ClassDir;  // absolute
  std::vector<std::string> Members;
};

// Sets are reached through numbers, not pointers, so a stale or forged handle
// is refused instead of being dereferenced.
std::mutex g_sets_mutex;
std::map<std::uintptr_t, std::unique_ptr<TDeviceSet>> g_sets;
std::uintptr_t g_next_set = 0x5e70000;

bool SameGuid(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TDeviceSet* FindSet(HDEVINFO handle) {
  auto it = g_sets.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == g_sets.end() ? nullptr : it->second.get();
}

bool IsInterfaceName(const char* name) {
  return name[0] != '.';
}

// A symbolic link is no interface, even to one: only a stand-in's own rename
// makes an interface appear, and only that is ever notified.
bool IsDirectoryAt(int dirfd, const char* name) {
  struct stat st;
  return fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> ListInterfaces(const std::string& classDir) {
  std::vector<std::string> names;
  DIR* dir = opendir(classDir.c_str());
  if (!dir)
    return names;  // no class directory: no interface of the class is present
  while (dirent* entry = readdir(dir)) {
    if (!IsInterfaceName(entry->d_name))
      continue;
    bool isDir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN)
      isDir = IsDirectoryAt(dirfd(dir), entry->d_name);
    if (!isDir)
      continue;
    names.emplace_back(entry->d_name);
  }
  closedir(dir);
  // std::string compares as unsigned bytes: the contract's byte order.
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::string PosixDeviceRoot() {
  std::string root = PosixEnv("PELWIN_DEVICE_ROOT");
  if (root.empty()) {
    std::string runtime = PosixEnv("XDG_RUNTIME_DIR");
    if (!runtime.empty())
      root = runtime + "/pelwin/devices";
    else
      root = "/tmp/pelwin-" + std::to_string(getuid()) + "/devices";
  }
  return PosixAbsolute(root);
}

std::string PosixGuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), static_cast<unsigned>(g.Data2),
                static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

bool PosixGuidFromText(const char* text, GUID* guid) {
  if (!text || !guid || std::strlen(text) != 38)
    return false;
  static constexpr char kPattern[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  unsigned char digits[32];
  int count = 0;
  for (int i = 0; i < 38; ++i) {
    char c = text[i];
    if (kPattern[i] != 'X') {
      if (c != kPattern[i])
        return false;
      continue;
    }
    int v = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                     : -1;
    if (v < 0)
      return false;
    digits[count++] = static_cast<unsigned char>(v);
  }
  auto take = [&digits](int from, int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i)
      v = (v << 4) | digits[from + i];
    return v;
  };
  GUID g;
  g.Data1 = take(0, 8);
  g.Data2 = static_cast<std::uint16_t>(take(8, 4));
  g.Data3 = static_cast<std::uint16_t>(take(12, 4));
  for (int i = 0; i < 8; ++i)
    g.Data4[i] = static_cast<std::uint8_t>(take(16 + 2 * i, 2));
  *guid = g;
  return true;
}

std::size_t PosixLiveDeviceSetCount() {
  std::lock_guard<std::mutex> lock(g_sets_mutex);
  return g_sets.size();
}

HDEVINFO SetupDiGetClassDevsA(const GUID* ClassGuid, LPCSTR Enumerator, HWND, DWORD Flags) {
  if (!ClassGuid || Enumerator) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // Without DIGCF_DEVICEINTERFACE the GUID would name a setup class, which this
  // platform does not have.
  if (!(Flags & DIGCF_DEVICEINTERFACE)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
  }
  if (PosixFaults().ClassDevsFail) {
    SetLastError(ERROR_GEN_FAILURE);
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_unique<TDeviceSet>();
  set->ClassGuid = *ClassGuid;
  set->ClassDir = PosixDeviceRoot() + "/" + PosixGuidText(*ClassGuid);
  set->Members = ListInterfaces(set->ClassDir);
  std::lock_guard<std::mutex> lock(g_sets_mutex);
  std::uintptr_t id = ++g_next_set;
  g_sets.emplace(id, std::move(set));
  return reinterpret_cast<HDEVINFO>(id);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, void* DeviceInfoData,
                                 const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                 SP_DEVICE_INTERFACE_DATA* DeviceInterfaceData) {
  std::lock_guard<std::mutex> lock(g_sets_mutex);
  TDeviceSet* set = FindSet(DeviceInfoSet);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (DeviceInfoData || !InterfaceClassGuid || !DeviceInterfaceData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  const TPosixFaults& faults = PosixFaults();
  if (faults.EnumAlwaysFail ||
      (faults.EnumFailIndex >= 0 && MemberIndex == static_cast<DWORD>(faults.EnumFailIndex))) {
    SetLastError(faults.EnumError);
    return FALSE;
  }
  if (!SameGuid(*InterfaceClassGuid, set->ClassGuid) || MemberIndex >= set->Members.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  DeviceInterfaceData->InterfaceClassGuid = set->ClassGuid;
  DeviceInterfaceData->Flags = 1;  // SPINT_ACTIVE: only present interfaces are listed
  DeviceInterfaceData->Reserved = static_cast<ULONG_PTR>(MemberIndex) + 1;
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet,
                                      SP_DEVICE_INTERFACE_DATA* DeviceInterfaceData,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, DWORD* RequiredSize,
                                      void*) {
  std::lock_guard<std::mutex> lock(g_sets_mutex);
  TDeviceSet* set = FindSet(DeviceInfoSet);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  ULONG_PTR member = DeviceInterfaceData->Reserved;
  if (member == 0 || member > set->Members.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int index = static_cast<int>(member - 1);
  const std::string& name = set->Members[member - 1];
  const std::string path = set->ClassDir + "/" + name;
  constexpr DWORD kFixed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  const DWORD required =
      std::max<DWORD>(kFixed + static_cast<DWORD>(path.size()) + 1,
                      static_cast<DWORD>(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)));
  const TPosixFaults& faults = PosixFaults();

  if (!DeviceInterfaceDetailData) {
    if (DeviceInterfaceDetailDataSize != 0) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    if (RequiredSize)
      *RequiredSize = index == faults.NoSizeIndex ? 1 : required;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (DeviceInterfaceDetailDataSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
      DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (DeviceInterfaceDetailDataSize < required) {
    if (RequiredSize)
      *RequiredSize = required;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (index == faults.DetailFailIndex) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  // An interface that left after the snapshot has no path to report.
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
  if (RequiredSize)
    *RequiredSize = required;
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  std::lock_guard<std::mutex> lock(g_sets_mutex);
  if (g_sets.erase(reinterpret_cast<std::uintptr_t>(DeviceInfoSet)) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
