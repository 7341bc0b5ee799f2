// Installing the driver stand-in and talking to its control device.
//
// No INF: the driver file is copied next to the system's drivers, its service
// is made with the service control manager, and a root-enumerated device is
// made with the setup API and given that service. When the service starts,
// Wine's PnP manager finds the device and hands it to the driver (AddDevice,
// then a start request), as Windows would after an INF installation.
#include <windows.h>
// After windows.h:
#include <objbase.h>
#include <setupapi.h>

#include <cstring>
#include <memory>
#include <type_traits>

#include "sim/standin/ioctl.h"
#include "sim/windows/standin.h"

namespace camsim::win {
namespace {

// GUID_DEVCLASS_SYSTEM: the setup class of root-enumerated system devices.
constexpr GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// How long a starting driver may take to show its control device.
constexpr DWORD kStartTimeoutMs = 15000;

// HKLM-relative service key and its Parameters key.
std::string ServiceKey(const std::string& service) {
  return "SYSTEM\\CurrentControlSet\\Services\\" + service;
}

std::string ParametersKey(const std::string& service) {
  return ServiceKey(service) + "\\Parameters";
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) {
    return {};
  }
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring out(size_t(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), out.data(), n);
  return out;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) {
    return {};
  }
  const int n =
      WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string DriverPath(const std::string& service) {
  char system[MAX_PATH] = {};
  const UINT n = GetSystemDirectoryA(system, MAX_PATH);
  return std::string(system, n < MAX_PATH ? n : 0) + "\\drivers\\" + service + ".sys";
}

std::string HardwareId(const std::string& service) {
  return "root\\camsim_" + service;
}

struct CloseService {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, CloseService>;

// Asks ready every 50 ms, for at most timeoutMs; whether it said yes.
template <typename Ready>
bool WaitFor(DWORD timeoutMs, Ready ready) {
  for (const ULONGLONG until = GetTickCount64() + timeoutMs;; Sleep(50)) {
    if (ready()) {
      return true;
    }
    if (GetTickCount64() > until) {
      return false;
    }
  }
}

// A service that cannot be asked is not in the state.
bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs) {
  SERVICE_STATUS status{};
  bool asked = true;
  WaitFor(timeoutMs, [&] {
    asked = QueryServiceStatus(service, &status);
    return !asked || status.dwCurrentState == state;
  });
  return asked && status.dwCurrentState == state;
}

// The devices of the root enumerator whose service is ours.
template <typename Visit>
void ForEachDevice(const std::string& service, Visit visit) {
  HDEVINFO set = SetupDiGetClassDevsA(nullptr, "ROOT", nullptr, DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) {
    return;
  }
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (!SetupDiEnumDeviceInfo(set, index, &info)) {
      break;
    }
    char name[256] = {};
    DWORD type = 0;
    if (SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_SERVICE, &type,
                                          reinterpret_cast<BYTE*>(name), sizeof name - 1,
                                          nullptr) &&
        lstrcmpiA(name, service.c_str()) == 0) {
      visit(set, &info);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
}

bool MakeDevice(const std::string& service, std::string* error) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) {
    return Fail(error, "SetupDiCreateDeviceInfoList: " + ErrorText(GetLastError()));
  }
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  const std::string name = "camsim_" + service;
  std::string ids = HardwareId(service);
  ids.append(2, '\0');
  bool ok = SetupDiCreateDeviceInfoA(set, name.c_str(), &kSystemClass, nullptr, nullptr,
                                     DICD_GENERATE_ID, &info) &&
            SetupDiSetDeviceRegistryPropertyA(set, &info, SPDRP_HARDWAREID,
                                              reinterpret_cast<const BYTE*>(ids.data()),
                                              static_cast<DWORD>(ids.size())) &&
            SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &info) &&
            SetupDiSetDeviceRegistryPropertyA(set, &info, SPDRP_SERVICE,
                                              reinterpret_cast<const BYTE*>(service.c_str()),
                                              static_cast<DWORD>(service.size() + 1));
  const DWORD why = GetLastError();
  SetupDiDestroyDeviceInfoList(set);
  return ok || Fail(error, "cannot make the device " + name + ": " + ErrorText(why));
}

// The stand-in's root devices, CAMSIM_STANDIN_DEVICES of them: a prefix
// installed with one gets the second at its next install.
bool MakeDevices(const std::string& service, std::string* error) {
  int found = 0;
  ForEachDevice(service, [&](HDEVINFO, SP_DEVINFO_DATA*) { ++found; });
  for (; found < CAMSIM_STANDIN_DEVICES; ++found) {
    if (!MakeDevice(service, error)) {
      return false;
    }
  }
  return true;
}

bool SameContents(const std::string& a, const std::string& b) {
  std::vector<uint8_t> first, second;
  std::string why;
  WIN32_FILE_ATTRIBUTE_DATA info{};
  if (!GetFileAttributesExA(a.c_str(), GetFileExInfoStandard, &info) || info.nFileSizeHigh != 0) {
    return false;
  }
  return LoadImageFile(a, info.nFileSizeLow, &first, &why) &&
         LoadImageFile(b, info.nFileSizeLow, &second, &why) && first == second;
}

bool WaitForControl(const std::string& service, DWORD timeoutMs, std::string* error) {
  std::string why;
  return WaitFor(timeoutMs,
                 [&] {
                   StandinControl control;
                   if (!control.Open(service, &why)) {
                     return false;
                   }
                   unsigned device = 0;
                   for (StandinStatus status;
                        device < CAMSIM_STANDIN_DEVICES && control.Status(&status, &why, device) &&
                        status.Started;
                        ++device) {
                   }
                   return device == CAMSIM_STANDIN_DEVICES ||
                          Fail(&why, "the driver " + service + " runs but has not got its device " +
                                         std::to_string(device));
                 }) ||
         Fail(error, why);
}

bool SetClassValue(const std::string& service, Kind kind, std::string* error) {
  GUID guid;
  if (IIDFromString(Wide(ClassGuid(kind)).c_str(), &guid) != S_OK) {
    return Fail(error, std::string("bad class GUID ") + ClassGuid(kind));
  }
  HKEY key;
  LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, ServiceKey(service).c_str(), 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    return Fail(error, "cannot open HKLM\\" + ServiceKey(service) + ": " + ErrorText(status));
  }
  status = RegSetValueExW(key, CAMSIM_STANDIN_CLASS_VALUE, 0, REG_BINARY,
                          reinterpret_cast<const BYTE*>(&guid), sizeof guid);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    return Fail(error, "cannot set the interface class: " + ErrorText(status));
  }
  // The program grants its permission under Parameters; the real driver's
  // installation makes that key.
  status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, ParametersKey(service).c_str(), 0, nullptr, 0,
                           KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    return Fail(error, "cannot make HKLM\\" + ParametersKey(service) + ": " + ErrorText(status));
  }
  RegCloseKey(key);
  return true;
}

}  // namespace

std::string ErrorText(DWORD error) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = n && text ? std::string(text, n) : std::string("error");
  if (text) {
    LocalFree(text);
  }
  while (!out.empty() &&
         (out.back() == '\n' || out.back() == '\r' || out.back() == '.' || out.back() == ' ')) {
    out.pop_back();
  }
  return out + " (" + std::to_string(error) + ")";
}

std::string StandinService(const Sample& sample) {
  if (const char* service = ServiceName(sample.ModelCode)) {
    return service;
  }
  return std::string("camsim") + KindName(sample.kind);
}

// Wine's plug-and-play manager loads the driver of a present device by itself
// when the prefix starts; a StartService racing with it finds the driver
// object already made (ERROR_ALREADY_EXISTS). Either way the driver is coming
// up: whether it runs is for WaitForControl to see. Then waits for it.
static bool StartDriver(SC_HANDLE handle, const std::string& service, std::string* error) {
  const DWORD code = StartServiceA(handle, 0, nullptr) ? ERROR_SUCCESS : GetLastError();
  if (code != ERROR_SUCCESS && code != ERROR_SERVICE_ALREADY_RUNNING &&
      code != ERROR_ALREADY_EXISTS) {
    return Fail(error, "cannot start " + service + ": " + ErrorText(code));
  }
  return WaitForControl(service, kStartTimeoutMs, error);
}

bool InstallStandin(const Sample& sample, const std::string& driverFile, std::string* error) {
  const std::string service = StandinService(sample);
  const std::string target = DriverPath(service);
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    return Fail(error, "cannot open the service control manager: " + ErrorText(GetLastError()));
  }
  ServiceHandle handle(OpenServiceA(manager.get(), service.c_str(), SERVICE_ALL_ACCESS));
  // A prefix installed by an older build keeps its driver: it goes, and this
  // build's takes its place.
  if (handle && !SameContents(driverFile, target)) {
    handle.reset(nullptr);
    if (!RemoveStandin(sample, error)) {
      return false;
    }
    handle.reset(OpenServiceA(manager.get(), service.c_str(), SERVICE_ALL_ACCESS));
  }
  const bool existed = bool(handle);
  if (!existed) {
    if (!CopyFileA(driverFile.c_str(), target.c_str(), FALSE)) {
      return Fail(error,
                  "cannot copy " + driverFile + " to " + target + ": " + ErrorText(GetLastError()));
    }
    if (!SetClassValue(service, sample.kind, error)) {
      return false;
    }
    handle.reset(CreateServiceA(manager.get(), service.c_str(), service.c_str(), SERVICE_ALL_ACCESS,
                                SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                target.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!handle) {
      return Fail(error, "cannot make the service " + service + ": " + ErrorText(GetLastError()));
    }
  }
  return MakeDevices(service, error) && StartDriver(handle.get(), service, error);
}

bool RemoveStandin(const Sample& sample, std::string* error) {
  const std::string service = StandinService(sample);
  // A server would lose its driver under it, and the camera with it.
  if (HANDLE server = OpenMutexA(SYNCHRONIZE, FALSE, kServeMutex)) {
    CloseHandle(server);
    return Fail(error, "a camsim serve runs on this Wine server: `camsim stop` it first");
  }
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    return Fail(error, "cannot open the service control manager: " + ErrorText(GetLastError()));
  }
  ServiceHandle handle(OpenServiceA(manager.get(), service.c_str(), SERVICE_ALL_ACCESS));
  if (!handle) {
    return Fail(error,
                "no stand-in for " + sample.Name + " is installed (no service " + service + ")");
  }
  // The device goes first: its driver then has nothing left that keeps it.
  ForEachDevice(service, [](HDEVINFO set, SP_DEVINFO_DATA* info) {
    SetupDiCallClassInstaller(DIF_REMOVE, set, info);
  });
  SERVICE_STATUS status{};
  if (!ControlService(handle.get(), SERVICE_CONTROL_STOP, &status) &&
      GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    return Fail(error, "cannot stop " + service + ": " + ErrorText(GetLastError()));
  }
  if (!WaitForState(handle.get(), SERVICE_STOPPED, kStartTimeoutMs)) {
    return Fail(error, service + " does not stop");
  }
  if (!DeleteService(handle.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
    return Fail(error, "cannot delete the service " + service + ": " + ErrorText(GetLastError()));
  }
  DeleteFileA(DriverPath(service).c_str());
  return true;
}

bool EnsureStandinRunning(const Sample& sample, std::string* error) {
  const std::string service = StandinService(sample);
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  ServiceHandle handle(
      manager ? OpenServiceA(manager.get(), service.c_str(), SERVICE_START | SERVICE_QUERY_STATUS)
              : nullptr);
  if (!handle) {
    return Fail(error, "no stand-in for " + sample.Name + " is installed (camsim install " +
                           sample.Name + ")");
  }
  return StartDriver(handle.get(), service, error);
}

StandinControl::~StandinControl() {
  if (handle_ != INVALID_HANDLE_VALUE) {
    CloseHandle(handle_);
  }
}

bool StandinControl::Open(const std::string& service, std::string* error) {
  const std::string path = "\\\\.\\" + Narrow(CAMSIM_STANDIN_PREFIX) + service;
  handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr);
  service_ = service;
  if (handle_ == INVALID_HANDLE_VALUE) {
    return Fail(error, "the driver stand-in " + service + " is not running (" + path + ": " +
                           ErrorText(GetLastError()) + ")");
  }
  return true;
}

bool StandinControl::Request(unsigned code, unsigned device, void* out, DWORD outSize,
                             std::string* error) {
  DWORD moved = 0;
  if (!DeviceIoControl(handle_, code, &device, sizeof device, out, outSize, &moved, nullptr)) {
    return Fail(error,
                "the driver stand-in " + service_ + " refused: " + ErrorText(GetLastError()));
  }
  return true;
}

bool StandinControl::Plug(std::string* error, unsigned device) {
  return Request(IOCTL_CAMSIM_PLUG, device, nullptr, 0, error);
}

bool StandinControl::Unplug(std::string* error, unsigned device) {
  return Request(IOCTL_CAMSIM_UNPLUG, device, nullptr, 0, error);
}

bool StandinControl::Status(StandinStatus* status, std::string* error, unsigned device) {
  CAMSIM_STANDIN_STATUS raw{};
  if (!Request(IOCTL_CAMSIM_STATUS, device, &raw, sizeof raw, error)) {
    return false;
  }
  raw.Interface[CAMSIM_INTERFACE_CHARS - 1] = 0;
  status->Started = raw.Started != 0;
  status->Plugged = raw.Plugged != 0;
  status->Interface = Narrow(raw.Interface);
  return true;
}

}  // namespace camsim::win
