// The report's text: the findings in the order the user reads them, each
// meaning under its finding after "-> ". The device search starts first, so
// that its deadline runs while the rest is found.
#include <cstdio>

#include "config/records.h"
#include "report/facts.h"
#include "report/meanings.h"
#include "report/report.h"

namespace {

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
std::string Printable(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    shown += (byte >= 0x20 && byte < 0x7F) ? c : '?';
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

// A line, and its meaning under it when there is one.
std::string Line(const std::string& indent, const std::string& fact, const std::string& meaning) {
  return indent + fact + "\n" + (meaning.empty() ? "" : indent + "  -> " + meaning + "\n");
}

const std::string Within = " within " + std::to_string(CameraDeadlineSeconds) + " s";

std::string Classes(const TDeviceFindings& found) {
  if (!found.Started) {
    return "Camera interface classes: no thread to search them\n";
  }
  if (!found.ClassesDone) {
    return "Camera interface classes: the device search did not finish" + Within + "\n";
  }
  std::string text = "Camera interface classes (searched in this order):\n";
  for (const TClassFacts& facts : found.Classes) {
    const std::string head = "class " + std::to_string(ClassNumber(*facts.Class)) + " " +
                             ClassName(*facts.Class) + " " + GuidText(facts.Class->Guid) + ": ";
    if (facts.ListError != ERROR_SUCCESS) {
      text +=
          Line("  ", head + "the device list cannot be read (" + ErrorName(facts.ListError) + ")",
               ClassListMeaning(facts));
      continue;
    }
    const std::size_t count = facts.Interfaces.size();
    text +=
        "  " + head +
        (count == 0 ? "no device" : std::to_string(count) + (count == 1 ? " device" : " devices")) +
        "\n";
    for (const TInterfaceFacts& entry : facts.Interfaces) {
      text += Line(
          "    ",
          Printable(entry.Path) + (entry.OpenError == ERROR_SUCCESS
                                       ? std::string(" (opens)")
                                       : " (does not open: " + ErrorName(entry.OpenError) + ")"),
          InterfaceMeaning(entry));
    }
  }
  return text;
}

std::string DriverFacts(const TDriverFacts& driver) {
  std::string line = std::to_string(driver.Key->ModelCode) + " " + ServiceName(*driver.Key) + ": ";
  if (driver.KeyState == TKeyState::Missing) {
    line += "key missing";
  } else if (driver.KeyState == TKeyState::CannotOpen) {
    line += "key cannot be opened (" + ErrorName(driver.OpenError) + ")";
  } else {
    line += driver.Writable
                ? "key present, can be written"
                : "key present, cannot be written (" + ErrorName(driver.WriteError) + ")";
    line += std::string("; ") + AllowEepromWriteValue;
    if (driver.Value == TValueState::Absent) {
      line += " absent";
    } else if (driver.Value == TValueState::Unreadable) {
      line += " unreadable (" + ErrorName(driver.ValueError) + ")";
    } else {
      line += " = " + std::to_string(driver.Number) +
              (driver.Number > 9 ? " (" + Hex(driver.Number) + ")" : std::string());
    }
  }
  line += driver.Held == THeldState::Held      ? "; held by a running pelwin"
          : driver.Held == THeldState::NotHeld ? "; not held by a running pelwin"
                                               : "; cannot tell whether a running pelwin holds it";
  return line;
}

// The model code of the camera read, when its header was.
const TServiceKey* CamerasKey(const TCameraFacts& camera) {
  return camera.HasHeader ? FindServiceKey(ModelCodeOf(camera.Header)) : nullptr;
}

std::string Drivers(const std::vector<TDriverFacts>& drivers, const TCameraFacts& camera,
                    bool administrator) {
  std::string text =
      "Driver write permission (service keys under HKEY_LOCAL_MACHINE\\SYSTEM\\"
      "CurrentControlSet\\Services\\<service>\\Parameters, by model code):\n";
  const TServiceKey* camerasKey = CamerasKey(camera);
  for (const TDriverFacts& driver : drivers) {
    text += Line("  ", DriverFacts(driver),
                 DriverMeaning(driver, driver.Key == camerasKey, administrator));
  }
  return text;
}

// "header: cannot be read ...": pelwin's error text, and what happened.
std::string ReadFailed(const std::string& what, const TCameraFacts& camera) {
  return Line("  ",
              what + ": cannot be read" + (camera.LinkLost ? ": the connection was lost" : "") +
                  " (" + Printable(camera.ReadError) + ")",
              ReadFailedMeaning(camera));
}

std::string Camera(const TDeviceFindings& found) {
  const TCameraFacts& camera = found.Camera;
  if (!found.Started) {
    return {};
  }
  if (camera.Step == TCameraStep::Searching) {
    return Line("", "Camera: the camera did not answer" + Within, SilentMeaning());
  }
  if (camera.Step == TCameraStep::NoneFound) {
    bool anyInterface = false;
    for (const TClassFacts& facts : found.Classes) {
      anyInterface = anyInterface || !facts.Interfaces.empty();
    }
    return Line("", "Camera: none found (no interface of the classes above opens)",
                NoCameraMeaning(anyInterface));
  }
  std::string text = "Camera: " + KindName(*camera.Class) + " at " + Printable(camera.Path) + "\n";
  if (camera.Step == TCameraStep::PipeFailed) {
    return text + Line("  ",
                       (camera.Pipe.Pipe == 0 ? std::string("the command pipe")
                                              : "data pipe " + std::to_string(camera.Pipe.Pipe)) +
                           " does not open (" + ErrorName(camera.Pipe.Error) + ")",
                       PipeMeaning(camera.Pipe));
  }
  if (camera.Step == TCameraStep::HeaderFailed) {
    return text + ReadFailed("header", camera);
  }
  if (camera.Class->Group == TamisGroup) {
    text += "  header: not used by this kind\n";
  } else if (camera.HasHeader) {
    const std::uint16_t model = ModelCodeOf(camera.Header);
    const TServiceKey* key = FindServiceKey(model);
    text +=
        Line("  ", "header: " + HexBytes(camera.Header, HeaderSize), HeaderMeaning(camera.Header));
    text += Line("  ",
                 "model code: " + std::to_string(model) + " (" +
                     (key != nullptr ? "driver service " + ServiceName(*key)
                                     : std::string("no driver service of the table")) +
                     "), kind " + KindName(*camera.Class),
                 ModelMeaning(key));
  }
  if (camera.Step == TCameraStep::BlockFailed) {
    return text + ReadFailed("block", camera);
  }
  if (camera.Step != TCameraStep::Done) {
    return text + Line("  ", "the camera did not answer" + Within, SilentMeaning());
  }
  text += "  block: " + HexBytes(camera.Block.data(), camera.Block.size()) + "\n";
  text += "  camera ID: " + std::to_string(camera.CameraId) + "\n";
  text += "  type name: " + Printable(camera.TypeName) + "\n";
  // A count without a text of its own shows as pelwin shows it, with the
  // number beside it.
  text += Line("  ",
               "filter positions: " + camera.PositionsText +
                   (camera.PositionsHaveText
                        ? std::string()
                        : " (the block holds " + std::to_string(camera.Positions) + ")"),
               PositionsMeaning(camera));
  text += "  wheel type: " + camera.WheelText + "\n";
  return text;
}

}  // namespace

std::string VersionLine() {
  return "pelwin-report " PELWIN_RELEASE "\n";
}

TReport MakeReport() {
  TReport report;
  bool administrator = false;
  std::vector<TDriverFacts> drivers;
  std::string system;
  // The device search starts first: its deadline runs while the rest is found.
  const TDeviceFindings found = SearchDevices(CameraDeadlineSeconds, [&] {
    system = DescribeSystem();
    administrator = IsAdministrator();
    drivers = FindDrivers();
  });
  report.DeviceThreadRunning = found.Started && !found.CameraDone;
  report.Text = VersionLine() + system;
  report.Text += Line("", std::string("Administrator: ") + (administrator ? "yes" : "no"),
                      AdministratorMeaning(administrator));
  // Each part after a blank line.
  for (const std::string& part :
       {Classes(found), Drivers(drivers, found.Camera, administrator), Camera(found)}) {
    report.Text += '\n';
    report.Text += part;
  }
  return report;
}
