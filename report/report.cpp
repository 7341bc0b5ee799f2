// The report's sections. The system, administrator and driver parts run on
// the calling thread; everything that touches a device runs on a thread of its
// own, because a camera or driver that stops answering blocks the link's calls
// for good, and the report must still be finished and shown.
#include "report/report.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "app/brisa_config.h"
#include "camera/interface_classes.h"
#include "config/records.h"
#include "registry_store.h"

namespace {

constexpr char AllowValue[] = "AllowEEPROMWrite";

// The same bounds as pelwin's own search: a driver that keeps failing or
// hands over a huge detail record cannot hold the report.
constexpr DWORD MaxInterfaceIndex = 4096;
constexpr int MaxConsecutiveEnumFailures = 32;
constexpr DWORD MaxDetailSize = 64 * 1024;
// Listed per class; more than this is not a camera set-up anybody has.
constexpr std::size_t MaxListedInterfaces = 16;

std::string Number(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(value));
  return text;
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(value));
  return text;
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : " %02x", bytes[i]);
    text += byte;
  }
  return text;
}

// What a device or an EEPROM hands over is shown as printable ASCII only.
std::string Printable(const char* text, std::size_t length) {
  std::string shown;
  for (std::size_t i = 0; i < length && text[i] != '\0'; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    shown += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return shown;
}

std::string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

std::string KindName(const TInterfaceClass& cls) {
  return std::string(cls.Title, static_cast<std::size_t>(cls.TitleLength));
}

// The service's name in its parameters key "SYSTEM\...\Services\<name>\Parameters".
std::string ServiceName(const TServiceKey& key) {
  const std::string path(key.Path, static_cast<std::size_t>(key.Length));
  const std::string marker = "\\Services\\";
  const std::size_t start = path.find(marker);
  if (start == std::string::npos) {
    return path;
  }
  const std::size_t from = start + marker.size();
  return path.substr(from, path.find('\\', from) - from);
}

std::string ErrorName(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return "not found";
    case ERROR_ACCESS_DENIED:
      return "access denied";
    case ERROR_UNSUPPORTED_TYPE:
      return "not a DWORD";
    default:
      return "error " + Number(error);
  }
}

bool NotThere(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// ---- Drivers: their service keys, the permission value and its holder ----

std::string DescribeKey(const TServiceKey& key) {
  std::string line = "  " + Number(key.ModelCode) + " " + ServiceName(key) + ": ";
  SetLastError(ERROR_SUCCESS);
  const bool writable = RegStoreCanWrite(HKEY_LOCAL_MACHINE, key.Path);
  const DWORD writeError = GetLastError();
  SetLastError(ERROR_SUCCESS);
  TRegStoreKey* opened = RegStoreOpen(HKEY_LOCAL_MACHINE, key.Path, false);
  const DWORD openError = GetLastError();
  if (opened == nullptr) {
    line +=
        NotThere(openError) ? "key missing" : "key cannot be opened (" + ErrorName(openError) + ")";
  } else {
    line += writable ? "key present, can be written"
                     : "key present, cannot be written (" + ErrorName(writeError) + ")";
    std::uint32_t value = 0;
    SetLastError(ERROR_SUCCESS);
    if (RegStoreGetDword(opened, AllowValue, &value)) {
      line += std::string("; ") + AllowValue + " = " + (value == 1 ? "1" : Hex(value) + " (other)");
    } else {
      const DWORD error = GetLastError();
      line += std::string("; ") + AllowValue +
              (NotThere(error) ? " absent" : " unreadable (" + ErrorName(error) + ")");
    }
    RegStoreClose(opened);
  }
  const THeldState held = EepromWriteHeld(key.ModelCode);
  line += held == THeldState::Held      ? "; held by a running pelwin"
          : held == THeldState::NotHeld ? "; not held by a running pelwin"
                                        : "; cannot tell whether a running pelwin holds it";
  return line + "\n";
}

std::string DescribeDrivers() {
  std::string text =
      "Driver write permission (service keys under HKEY_LOCAL_MACHINE\\SYSTEM\\"
      "CurrentControlSet\\Services\\<service>\\Parameters, by model code):\n";
  for (std::int32_t i = 0; i < ServiceKeyCount; ++i) {
    text += DescribeKey(ServiceKeyPath[i]);
  }
  return text;
}

// ---- Devices: the interfaces of each class and the camera pelwin would use ----

struct TInterface {
  std::string Path;
  DWORD OpenError = ERROR_SUCCESS;  // opened and closed as pelwin opens it
};

// Every present interface of the class, as the setup services list it.
std::vector<TInterface> ListInterfaces(const GUID& guid, DWORD* listError) {
  std::vector<TInterface> found;
  HDEVINFO set =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE || set == nullptr) {
    *listError = GetLastError();
    return found;
  }
  int failures = 0;
  for (DWORD index = 0; index < MaxInterfaceIndex && found.size() < MaxListedInterfaces; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) {
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
    std::vector<std::uint8_t> block(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
    detail->cbSize = fixedPart;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)) {
      continue;
    }
    // The path may fill the block to its end without a terminator.
    const std::size_t room = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    TInterface entry;
    entry.Path.assign(detail->DevicePath, room);
    entry.Path.resize(entry.Path.find('\0') == std::string::npos ? room : entry.Path.find('\0'));
    HANDLE probe =
        CreateFileA(entry.Path.c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
      entry.OpenError = GetLastError();
    } else {
      CloseHandle(probe);
    }
    found.push_back(entry);
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

std::string DescribeClasses() {
  std::string text = "Camera interface classes (searched in this order):\n";
  for (int i = 0; i < InterfaceClassCount; ++i) {
    const TInterfaceClass& cls = InterfaceClassTable[i];
    DWORD listError = ERROR_SUCCESS;
    const std::vector<TInterface> present = ListInterfaces(cls.Guid, &listError);
    text += "  class " + Number(static_cast<std::uint32_t>(i + 1)) + " " + KindName(cls) + " " +
            GuidText(cls.Guid) + ": ";
    if (listError != ERROR_SUCCESS) {
      text += "the device list cannot be read (" + ErrorName(listError) + ")\n";
      continue;
    }
    text += present.empty() ? std::string("no device\n")
                            : Number(static_cast<std::uint32_t>(present.size())) +
                                  (present.size() == 1 ? " device\n" : " devices\n");
    for (const TInterface& entry : present) {
      text += "    " + Printable(entry.Path.data(), entry.Path.size()) +
              (entry.OpenError == ERROR_SUCCESS
                   ? std::string(" (opens)")
                   : " (does not open: " + ErrorName(entry.OpenError) + ")") +
              "\n";
    }
  }
  return text;
}

HANDLE OpenPipe(const char* devicePath, const char* suffix) {
  const std::string path = std::string(devicePath) + suffix;
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

// What the device thread found, handed to the report under the lock.
struct TDeviceFindings {
  std::mutex Lock;
  std::condition_variable Changed;
  std::string Classes;
  bool ClassesDone = false;
  std::string Camera;
  bool CameraDone = false;
  // The link the thread reads through: pelwin's own window, never shown.
  CBrisaConfig Link;
};

// Lines of the camera part as they are found, so that a camera that stops
// answering still leaves what was learnt before.
void Add(TDeviceFindings* findings, const std::string& text) {
  const std::lock_guard<std::mutex> hold(findings->Lock);
  findings->Camera += text;
}

void Finish(TDeviceFindings* findings, bool* done) {
  const std::lock_guard<std::mutex> hold(findings->Lock);
  *done = true;
  findings->Changed.notify_all();
}

// The camera pelwin would connect to (the first class, in its order, with an
// interface that opens), read as pelwin's scan reads it: header and block,
// through pelwin's own EEPROM read commands and decoders.
void ReadCamera(TDeviceFindings* findings) {
  CBrisaConfig* link = &findings->Link;
  const TInterfaceClass* found = nullptr;
  for (const TInterfaceClass& cls : InterfaceClassTable) {
    HANDLE probe = FindDeviceByClass(&cls.Guid, DevicePathCapacity, link->DevicePath);
    if (probe != INVALID_HANDLE_VALUE) {
      CloseHandle(probe);
      found = &cls;
      break;
    }
  }
  if (found == nullptr) {
    Add(findings, "Camera: none found (no interface of the classes above opens)\n");
    return;
  }
  Add(findings, "Camera: " + KindName(*found) + " at " +
                    Printable(link->DevicePath, DevicePathCapacity) + "\n");
  link->LinkFlags = found->KindBit;
  link->CommandPipe = OpenPipe(link->DevicePath, "\\0");
  if (link->CommandPipe == INVALID_HANDLE_VALUE) {
    Add(findings, "  the command pipe does not open (" + ErrorName(GetLastError()) + ")\n");
    return;
  }
  link->DataPipe = OpenPipe(link->DevicePath, "\\1");
  link->AuxPipe = OpenPipe(link->DevicePath, "\\2");
  if (link->DataPipe == INVALID_HANDLE_VALUE || link->AuxPipe == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    link->DisconnectCamera();
    Add(findings, "  the data pipes do not open (" + ErrorName(error) + ")\n");
    return;
  }
  link->LinkFlags |= LinkConnected;

  const bool tamis = (link->LinkFlags & TamisGroup) != 0;
  const bool ortek = (link->LinkFlags & OrtekGroup) != 0;
  std::uint8_t* block = ortek ? link->OrtekBlockCopy : link->BlockCopy;
  const std::size_t blockSize = ortek ? OrtekBlockSize : BlockSize;
  if (tamis) {
    Add(findings, "  header: not used by this kind\n");
  } else if (link->ReadEepromShort(HeaderAddress, HeaderSize, link->HeaderCopy)) {
    const std::uint16_t model = ModelCodeOf(link->HeaderCopy);
    const TServiceKey* key = FindServiceKey(model);
    Add(findings, "  header: " + HexBytes(link->HeaderCopy, HeaderSize) + "\n" +
                      "  model code: " + Number(model) + " (" +
                      (key != nullptr ? "driver service " + ServiceName(*key)
                                      : std::string("no driver service of the table")) +
                      "), kind " + KindName(*found) + "\n");
  } else {
    Add(findings,
        "  header: cannot be read (" + Printable(link->ErrorText, ErrorTextCapacity) + ")\n");
    link->DisconnectCamera();
    return;
  }
  const bool read = tamis ? link->ReadEepromLong(TamisBlockAddress, BlockSize, block)
                          : link->ReadEepromShort(ShortBlockAddress, blockSize, block);
  if (!read) {
    Add(findings,
        "  block: cannot be read (" + Printable(link->ErrorText, ErrorTextCapacity) + ")\n");
    link->DisconnectCamera();
    return;
  }
  link->DisconnectCamera();
  const std::uint32_t positions = link->FilterPositionsOf();
  const TListItem& positionsText = FilterPositionsText(positions);
  const TListItem& wheelText = WheelTypeText(link->WheelTypeOf());
  const std::uint32_t nameOffset = ortek ? OrtekTypeNameOffset : TypeNameOffset;
  // A count without a text of its own shows as pelwin shows it, with the
  // number beside it.
  const bool ownText = PositionsItemOf(positions) != 0;
  Add(findings, "  block: " + HexBytes(block, blockSize) + "\n" +
                    "  camera ID: " + Number(CameraIdOf(block)) + "\n" + "  type name: " +
                    Printable(reinterpret_cast<const char*>(block + nameOffset), TypeNameLength) +
                    "\n" + "  filter positions: " + positionsText.Text +
                    (ownText ? std::string() : " (the block holds " + Number(positions) + ")") +
                    "\n" + "  wheel type: " + wheelText.Text + "\n");
}

void DeviceThread(const std::shared_ptr<TDeviceFindings>& findings) {
  const std::string classes = DescribeClasses();
  {
    const std::lock_guard<std::mutex> hold(findings->Lock);
    findings->Classes = classes;
    findings->ClassesDone = true;
  }
  ReadCamera(findings.get());
  Finish(findings.get(), &findings->CameraDone);
}

std::string Version() {
  constexpr std::int32_t capacity = 31;
  char version[capacity + 1];
  ReadVersionString(capacity, version);
  return version;
}

}  // namespace

TReport MakeReport() {
  // Started first: the device part has its deadline while the rest is made.
  auto findings = std::make_shared<TDeviceFindings>();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(CameraDeadlineSeconds);
  std::thread devices;
  try {
    devices = std::thread(DeviceThread, findings);
  } catch (const std::system_error&) {
    findings->Classes = "Camera interface classes: no thread to search them\n";
    findings->ClassesDone = true;
    findings->CameraDone = true;
  }

  TReport report;
  report.Text = "pelwin-report " + Version() + "\n";
  report.Text += DescribeSystem();
  report.Text += std::string("Administrator: ") + (IsAdministrator() ? "yes" : "no") + "\n\n";
  const std::string drivers = DescribeDrivers();

  std::unique_lock<std::mutex> hold(findings->Lock);
  findings->Changed.wait_until(hold, deadline, [&] { return findings->CameraDone; });
  const std::string within =
      " within " + Number(static_cast<std::uint32_t>(CameraDeadlineSeconds)) + " s\n";
  report.Text += findings->ClassesDone
                     ? findings->Classes
                     : "Camera interface classes: the device search did not finish" + within;
  report.Text += "\n" + drivers;
  report.Text += "\n";
  report.Text += findings->Camera;
  if (!findings->CameraDone) {
    report.Text += (findings->Camera.empty() ? "Camera: " : "  ") +
                   std::string("the camera did not answer") + within;
    report.DeviceThreadRunning = true;
  }
  hold.unlock();
  // A thread that is done only has its return left; one that is not may
  // never return.
  if (devices.joinable() && report.DeviceThreadRunning) {
    devices.detach();
  } else if (devices.joinable()) {
    devices.join();
  }
  return report;
}

TArguments ReadArguments(int argc, char** argv) {
  TArguments arguments;
  for (int i = 1; i < argc && arguments.Error.empty(); ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h" || argument == "/?") {
      arguments.Help = true;
    } else if (argument == "--output" && i + 1 < argc && argv[i + 1][0] != '\0') {
      arguments.Output = argv[++i];
    } else if (argument == "--output") {
      arguments.Error = "--output needs a file name";
    } else {
      arguments.Error = "unknown argument \"" + argument + "\"";
    }
  }
  return arguments;
}

bool WriteTextFile(const std::string& path, const std::string& text, bool crlf) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return false;
  }
  bool written = true;
  for (const char c : text) {
    if (crlf && c == '\n') {
      written = written && std::fputc('\r', file) != EOF;
    }
    written = written && std::fputc(c, file) != EOF;
  }
  return std::fclose(file) == 0 && written;
}
