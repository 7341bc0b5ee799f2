// The report's words for what it finds. Each says what the finding means for
// pelwin and the one thing a user does about it; findings that need nothing
// done get no words.
#include "report/meanings.h"

#include "report/report.h"

namespace {

constexpr char RunAsAdministrator[] =
    "run it again with \"Run as administrator\" (right-click the program)";
constexpr char SendReport[] = "send this report to the camera's maker";

std::string Reconnect(const std::string& what) {
  return what +
         ": close other programs that use the camera, unplug it, plug it in again and run the "
         "report again";
}

}  // namespace

std::string ErrorName(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return "the system gave no reason";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "not found";
    case ERROR_ACCESS_DENIED:
      return "access denied";
    case ERROR_UNSUPPORTED_TYPE:
      return "not a DWORD";
    default:
      return "error " + std::to_string(error);
  }
}

std::string AdministratorMeaning(bool administrator) {
  if (administrator) {
    return {};
  }
  return std::string(
             "Ortek and Selvo cameras need administrator rights, for pelwin and for this report "
             "(Tamis cameras do not): ") +
         RunAsAdministrator;
}

std::string InterfaceMeaning(const TInterfaceFacts& entry) {
  if (entry.OpenError == ERROR_SUCCESS) {
    return {};
  }
  return entry.OpenError == ERROR_ACCESS_DENIED
             ? Reconnect("The camera is there, but another program may be holding it")
             : Reconnect("The camera is there, but its driver does not let it be opened");
}

std::string ClassListMeaning(const TClassFacts& facts) {
  if (facts.ListError == ERROR_SUCCESS) {
    return {};
  }
  return "Windows could not list these devices: run the report again; if it stays so, " +
         std::string(SendReport);
}

std::string DriverMeaning(const TDriverFacts& driver, bool camerasDriver, bool administrator) {
  if (driver.KeyState == TKeyState::Missing) {
    return camerasDriver ? "This is the driver of the camera found below, and it is not "
                           "installed: install the camera's driver again, then run the report "
                           "again"
                         : std::string();
  }
  if (driver.KeyState == TKeyState::CannotOpen) {
    return administrator
               ? "Its settings cannot be read even as administrator: " + std::string(SendReport)
               : "Its settings cannot be read without administrator rights: " +
                     std::string(RunAsAdministrator);
  }
  if (driver.Value == TValueState::Unreadable) {
    return driver.ValueError == ERROR_ACCESS_DENIED
               ? "AllowEEPROMWrite cannot be read: " + std::string(RunAsAdministrator)
               : "The driver takes only a number (a DWORD) as its write permission, so this "
                 "value grants nothing; remove it: " +
                     RemoveValueHow(*driver.Key);
  }
  if (driver.Value == TValueState::Dword && driver.Number == 0) {
    return "0 grants nothing: the driver refuses EEPROM writes as when the value is absent";
  }
  if (driver.Value == TValueState::Dword) {
    const std::string grants =
        "Any value but 0 lets the driver accept EEPROM writes from any "
        "program";
    if (driver.Held == THeldState::Held) {
      return grants + "; the running pelwin that set it deletes it when it is done with it";
    }
    if (driver.Held == THeldState::CannotTell) {
      return grants + "; close every pelwin and run the report again to see whether one holds it";
    }
    if (driver.Marked) {
      return grants +
             ", and no running pelwin needs it: pelwin set it and deletes it when it is "
             "next started as administrator";
    }
    return grants + ", and pelwin did not set it, so it stays until removed: " +
           RemoveValueHow(*driver.Key) + "; then unplug the camera and plug it in again";
  }
  if (!driver.Writable && (camerasDriver || administrator)) {
    return administrator ? "pelwin cannot set the write permission here even as administrator "
                           "(security software or a policy may protect the key): " +
                               std::string(SendReport)
                         : "pelwin cannot set this camera's write permission without "
                           "administrator rights: run pelwin with \"Run as administrator\"";
  }
  return {};
}

std::string NoCameraMeaning(bool anyInterface) {
  return anyInterface
             ? Reconnect("A camera is there, but it does not open")
             : "Windows does not see a camera through its driver: check the camera's power and "
               "cable, and that Device Manager shows it, without a warning sign, when it is "
               "plugged in";
}

std::string PipeMeaning(const TPipeFailure& failure) {
  return Reconnect(failure.Pipe == 0 ? "The camera was found, but its driver refuses commands"
                                     : "The camera was found, but its driver gives no answers");
}

std::string HeaderMeaning(const std::uint8_t* header) {
  if (header[0] == HeaderMarker) {
    return {};
  }
  return Reconnect("This is not a camera's identity header (a camera's starts with 5a)") +
         "; if it stays so, " + SendReport;
}

std::string ModelMeaning(const TServiceKey* key) {
  if (key != nullptr) {
    return {};
  }
  return "pelwin knows no driver for this model code, so it cannot let the driver accept the new "
         "configuration: " +
         std::string(SendReport);
}

std::string ReadFailedMeaning(const TCameraFacts& camera) {
  if (camera.LinkLost) {
    return Reconnect("The camera was found and opened, then the connection to it was lost");
  }
  return "The camera answered, but not with its EEPROM: its firmware or driver may not be one "
         "pelwin knows; " +
         std::string(SendReport);
}

std::string PositionsMeaning(const TCameraFacts& camera) {
  if (camera.PositionsHaveText) {
    return {};
  }
  return "pelwin's list has no entry for " + std::to_string(camera.Positions) +
         " positions: it shows \"Not installed\", and writing stores what you choose instead; "
         "keep this report, it holds the camera's own count";
}

std::string SilentMeaning() {
  return Reconnect("The camera was found and opened, but does not answer");
}
