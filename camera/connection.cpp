// Finding the camera, opening the driver's three pipes, and the notifications
// of its interface class.
#include <cstddef>

#include "app/brisa_config.h"
#include "app/texts.h"
#include "camera/interface_classes.h"

namespace {

// A driver that keeps failing enumeration without ever reporting the end of
// the list must not hold the search forever.
constexpr int MaxConsecutiveEnumFailures = 32;
constexpr DWORD MaxInterfaceIndex = 4096;
// A detail record is a path and a header; anything this large is not one.
constexpr DWORD MaxDetailSize = 64 * 1024;

constexpr DWORD PipeAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD PipeSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

void CloseIfOpen(HANDLE* handle) {
  if (*handle != INVALID_HANDLE_VALUE) {
    CloseHandle(*handle);
    *handle = INVALID_HANDLE_VALUE;
  }
}

// Opens DevicePath + "\n" (n a digit) into *pipe. The pipe path is cut to the
// path capacity like the interface path itself. On failure *error is the
// system's reason, taken before anything else can change it.
bool OpenPipe(const char* devicePath, const char* suffix, HANDLE* pipe, DWORD* error) {
  char pipePath[DevicePathCapacity + 1];
  Str::CopyA(DevicePathCapacity, pipePath, DevicePathCapacity, devicePath);
  Str::AppendA(DevicePathCapacity, pipePath, 2, suffix);
  CloseIfOpen(pipe);
  *pipe = OpenForLink(pipePath);
  *error = *pipe == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  return *pipe != INVALID_HANDLE_VALUE;
}

}  // namespace

HANDLE OpenForLink(const char* path) {
  return CreateFileA(path, PipeAccess, PipeSharing, nullptr, OPEN_EXISTING, 0, nullptr);
}

DWORD ForEachInterface(const GUID* classGuid, std::int32_t capacity, char* path,
                       TInterfaceVisit visit, void* context) {
  HDEVINFO set =
      SetupDiGetClassDevsA(classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE || set == nullptr) {
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error;
  }
  int failures = 0;
  for (DWORD index = 0; index < MaxInterfaceIndex; ++index) {
    SP_DEVICE_INTERFACE_DATA data;
    Lib::Fill(&data, sizeof data, 0);
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, classGuid, index, &data)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS || ++failures >= MaxConsecutiveEnumFailures) {
        break;
      }
      continue;
    }
    failures = 0;

    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
    constexpr DWORD fixedPart = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (required < fixedPart || required > MaxDetailSize) {
      continue;
    }
    void* block = nullptr;
    if (!Storage::Allocate(&block, required)) {
      continue;
    }
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block);
    detail->cbSize = fixedPart;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)) {
      Storage::Free(&block);
      continue;
    }
    // The path may fill the block to its end without a terminator: never read past it.
    const auto pathRoom = static_cast<std::int32_t>(
        required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath));
    Str::CopyA(capacity, path, pathRoom, detail->DevicePath);
    Storage::Free(&block);
    if (visit(context, path)) {
      break;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return ERROR_SUCCESS;
}

HANDLE FindDeviceByClass(const GUID* classGuid, std::int32_t capacity, char* path) {
  HANDLE found = INVALID_HANDLE_VALUE;
  ForEachInterface(
      classGuid, capacity, path,
      [](void* context, const char* interfacePath) {
        HANDLE probe = OpenForLink(interfacePath);
        *static_cast<HANDLE*>(context) = probe;
        return probe != INVALID_HANDLE_VALUE;
      },
      &found);
  return found;
}

const TInterfaceClass* FindCamera(char* path) {
  for (const TInterfaceClass& cls : InterfaceClassTable) {
    HANDLE probe = FindDeviceByClass(&cls.Guid, DevicePathCapacity, path);
    if (probe != INVALID_HANDLE_VALUE) {
      CloseHandle(probe);
      return &cls;
    }
  }
  return nullptr;
}

void CBrisaConfig::ConnectCamera() {
  DisconnectCamera();
  if (PeerHandle == nullptr) {
    return;
  }
  // At the unplug page the disconnect above builds the next page, whose scan
  // connects by itself. That connection is as good as ours would be: keep it
  // rather than tear it down and search again.
  if (LinkFlags & LinkConnected) {
    return;
  }
  LinkFlags &= ~KindBits;
  const TInterfaceClass* found = FindCamera(DevicePath);
  TPipeFailure failure;
  if (found == nullptr || !OpenLink(*found, &failure)) {
    return;
  }
  ++ConnectionSerial;
  SetTitle(found->TitleLength, found->Title);
}

bool CBrisaConfig::OpenLink(const TInterfaceClass& found, TPipeFailure* failure) {
  LinkFlags |= found.KindBit;

  RegisterInterfaceNotification();

  failure->Pipe = 0;
  if (!OpenPipe(DevicePath, "\\0", &CommandPipe, &failure->Error)) {
    constexpr char text[] = "DeviceInit failed, cannot open camera command pipe";
    Str::CopyA(ErrorTextCapacity, ErrorText, Len(text), text);
    DisconnectCamera();
    return false;
  }
  failure->Pipe = 1;
  bool opened = OpenPipe(DevicePath, "\\1", &DataPipe, &failure->Error);
  if (opened) {
    failure->Pipe = 2;
    opened = OpenPipe(DevicePath, "\\2", &AuxPipe, &failure->Error);
  }
  if (!opened) {
    constexpr char text[] = "DeviceInit failed, cannot open camera data pipe";
    Str::CopyA(ErrorTextCapacity, ErrorText, Len(text), text);
    DisconnectCamera();
    return false;
  }
  failure->Pipe = -1;
  LinkFlags |= LinkConnected;
  return true;
}

void CBrisaConfig::CloseLink() {
  DevicePath[0] = '\0';
  CloseIfOpen(&CommandPipe);
  CloseIfOpen(&DataPipe);
  CloseIfOpen(&AuxPipe);
  LinkFlags &= ~LinkConnected;
  if (NotificationHandle != nullptr) {
    UnregisterDeviceNotification(NotificationHandle);
    NotificationHandle = nullptr;
  }
}

void CBrisaConfig::DisconnectCamera() {
  CloseLink();
  if (WizardStep == 2) {
    RunStepAction();
    AdvanceWizard();
  }
  // The page built just above may have connected again; the title follows
  // the link as it stands now.
  if (!(LinkFlags & LinkConnected)) {
    SetTitle(Len(IdleTitle), IdleTitle);
  }
}

void CBrisaConfig::RegisterInterfaceNotification() {
  if (PeerHandle == nullptr) {
    return;
  }
  constexpr DWORD filterSize = 293;
  void* block = nullptr;
  if (!Storage::Allocate(&block, filterSize)) {
    return;
  }
  auto* filter = static_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(block);
  filter->dbcc_size = filterSize;
  filter->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter->dbcc_reserved = 0;
  for (const TInterfaceClass& cls : InterfaceClassTable) {
    if (LinkFlags & cls.KindBit) {
      filter->dbcc_classguid = cls.Guid;
      break;
    }
  }
  Lib::Move(DevicePath, filter->dbcc_name, DevicePathCapacity + 1);
  // A registration still held would be lost with its handle.
  if (NotificationHandle != nullptr) {
    UnregisterDeviceNotification(NotificationHandle);
  }
  NotificationHandle = RegisterDeviceNotificationA(PeerHandle, filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  Storage::Free(&block);
}
