// The main window: the whole state of the running tool. Its fields stand in the
// order the rest of the program expects; each folder adds the operations of its
// subsystem (camera/ the link, config/ the records and procedures, wizard/ the
// pages, app/ the window's life).
#pragma once

#include <cstdint>

#include "toolkit.h"
#include "win32api.h"

class CCameraInfoPane;
struct TInterfaceClass;

// Which of the three pipes did not open when a link was opened (-1: none),
// and the system's reason.
struct TPipeFailure {
  int Pipe = -1;
  DWORD Error = 0;
};

// Command codes of the window's events.
constexpr std::uint32_t CommandAbout = 1001;
constexpr std::uint32_t CommandStepAction = 1002;
constexpr std::uint32_t CommandNext = 1003;

// LinkFlags: bit 0 connected, bits 1 to 8 the interface class of the camera.
constexpr std::uint32_t LinkConnected = 0x001;
constexpr std::uint32_t KindOrtekKai = 0x002;
constexpr std::uint32_t KindOrtekKaf = 0x004;
constexpr std::uint32_t KindSelvoKai = 0x008;
constexpr std::uint32_t KindSelvoKaf = 0x010;
constexpr std::uint32_t KindSelvoE2v = 0x020;
constexpr std::uint32_t KindSelvoE2vB = 0x040;
constexpr std::uint32_t KindTamisA = 0x080;
constexpr std::uint32_t KindTamisB = 0x100;
constexpr std::uint32_t KindBits = 0x1FE;
constexpr std::uint32_t OrtekGroup = 0x006;
constexpr std::uint32_t SelvoGroup = 0x078;
constexpr std::uint32_t TamisGroup = 0x180;

constexpr std::int32_t DevicePathCapacity = 260;
constexpr std::int32_t ErrorTextCapacity = 127;
constexpr std::size_t HeaderSize = 10;
constexpr std::size_t OrtekBlockSize = 59;
constexpr std::size_t BlockSize = 61;

// Default window rectangle and options.
constexpr std::int32_t DefaultWindowX = 100;
constexpr std::int32_t DefaultWindowY = 100;
constexpr std::int32_t WindowWidth = 272;
constexpr std::int32_t WindowHeight = 188;
constexpr std::uint32_t WindowOptions = 0x80001213u;
constexpr std::uint32_t ViewFlagBit31 = 0x80000000u;
inline constexpr char IdleTitle[] = "Corvane v3.0";

class CBrisaConfig : public CWindow {
 public:
  CBrisaConfig();

  void Init();

  // Window life (app/).
  bool ReceiveMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
  void CreatePeerWindow() override;
  void DeletePeerWindow() override;
  void Done() override;
  void ReceiveEvent(TEvent* event) override;
  void ShowAbout();

  // Camera link (camera/).
  void ConnectCamera();
  // The link to the camera found in DevicePath, of the class given: its kind
  // bit, the notification, the three pipes. False when a pipe does not open:
  // then ErrorText and *failure say which, and the link is closed.
  bool OpenLink(const TInterfaceClass& found, TPipeFailure* failure);
  void DisconnectCamera();
  void RegisterInterfaceNotification();
  bool ReadEepromShort(std::uint32_t address, std::uint32_t count, std::uint8_t* destination);
  bool ReadEepromLong(std::uint32_t address, std::uint32_t count, std::uint8_t* destination);
  bool WriteEepromShort(std::uint32_t address, std::uint32_t count, const std::uint8_t* source);
  bool WriteEepromLong(std::uint32_t address, std::uint32_t count, const std::uint8_t* source);

  // Records (config/).
  std::uint32_t FilterPositionsOf() const;
  bool WheelTypeOf() const;
  void SetFilterPositions(std::uint32_t positions);
  void SetWheelType(bool revision2);

  // Procedures (config/).
  void RunStepAction();

  // The driver permission this run is answerable for (config/).
  void RevokeLeftoverGrant();
  bool HoldGrant(std::uint16_t modelCode);
  void ReleaseGrant(std::uint16_t modelCode);
  void RevokeStandingGrant();

  // Wizard (wizard/).
  void AdvanceWizard();
  void RestartWizard();

  std::int32_t WizardStep;
  std::uint8_t HeaderCopy[HeaderSize];
  std::uint8_t OrtekBlockCopy[OrtekBlockSize];
  std::uint8_t BlockCopy[BlockSize];
  HDEVNOTIFY NotificationHandle;
  std::uint32_t LinkFlags;
  char DevicePath[DevicePathCapacity + 1];
  HANDLE CommandPipe;
  HANDLE DataPipe;
  HANDLE AuxPipe;
  char ErrorText[ErrorTextCapacity + 1];
  CCameraInfoPane* InfoPane;
  CComboBox* PositionsList;
  CComboBox* WheelTypeList;
  CButton* StepButton;
  CButton* NextButton;

  // The model code whose AllowEEPROMWrite this run granted and has neither
  // seen deleted nor left to another running pelwin; 0 when none. GrantHold is
  // the run's hold on it, null once let go: while it is open, no other pelwin
  // deletes the value.
  std::uint16_t StandingGrant;
  HANDLE GrantHold;
  // The permission lock's object, opened at the run's first decision on a
  // permission and kept until the window ends, so that no other process can
  // take its name between two decisions while this run may need it.
  HANDLE PermissionLock;
  // Counts the connections made. A connection is only known to reach the
  // camera that was scanned if the last successful scan used it.
  std::uint32_t ConnectionSerial;
  std::uint32_t ScannedSerial;
  std::uint32_t ScannedKind;  // the kind bits at that scan

 private:
  // EEPROM command helpers (camera/).
  bool Transfer(std::uint8_t* frame, std::uint32_t requestLength, std::uint32_t replyLength,
                std::uint32_t* received);
  bool ReadEeprom(std::uint8_t* frame, std::uint32_t requestLength, std::uint32_t count,
                  std::uint8_t* destination);
  bool WriteEeprom(std::uint8_t* frame, std::uint32_t requestLength);
  void CloseLink();

  // Procedures (config/).
  void ScanCamera();
  bool ReadRecords(std::uint8_t* header, std::uint8_t* block);
  bool IsScannedCamera(bool* readFailed);
  void GrantStep();
  void WriteConfiguration();
  void ShowCamera();
  void ShowNotConnected();
  void ShowError(const char* line1, const char* line2, PPicture icon);
  void PostQuit();
  std::uint8_t* StoredBlock();
  const std::uint8_t* StoredBlock() const;
};

// Free functions of the camera link.
// Opens a device interface or pipe as the link does (read and write, shared).
HANDLE OpenForLink(const char* path);
// Called for each present interface of a class with its path; true stops.
using TInterfaceVisit = bool (*)(void* context, const char* path);
// Hands each present interface of the class, cut to capacity in path, to
// visit. ERROR_SUCCESS, or why the class's interfaces could not be listed.
DWORD ForEachInterface(const GUID* classGuid, std::int32_t capacity, char* path,
                       TInterfaceVisit visit, void* context);
// The first interface of the class that opens: its handle and path.
HANDLE FindDeviceByClass(const GUID* classGuid, std::int32_t capacity, char* path);
// The camera pelwin connects to: the first class, in the table's order, with an
// interface that opens; its path in path (DevicePathCapacity). Null for none.
const TInterfaceClass* FindCamera(char* path);
void StatusText(std::uint8_t status, std::int32_t capacity, char* text);

// Free functions of the configuration.
bool IsAdministrator();
bool GrantEepromWrite(std::uint16_t modelCode);
// True when no AllowEEPROMWrite stands for the model code afterwards.
bool RevokeEepromWrite(std::uint16_t modelCode);

// The drivers that take a write permission: a model code and its driver's
// service parameters key below HKEY_LOCAL_MACHINE.
struct TServiceKey {
  std::uint16_t ModelCode;
  const char* Path;
  std::int32_t Length;
};
extern const TServiceKey ServiceKeyPath[];
extern const std::int32_t ServiceKeyCount;
// The value under a service key that lets its driver accept EEPROM writes.
extern const char AllowEepromWriteValue[];
// The table's entry for the model code, or null when its driver takes none.
const TServiceKey* FindServiceKey(std::uint16_t modelCode);
// Whether a running pelwin holds the write permission of the model code's
// driver (it granted it and is not done with it). Looking holds nothing; it
// cannot tell while another process keeps the permission lock, or when the
// hold's object cannot be looked at (no rights to it, say).
enum class THeldState { NotHeld, Held, CannotTell };
THeldState EepromWriteHeld(std::uint16_t modelCode);

// Window position and About (app/).
void LoadWindowPosition(std::int32_t* position);
void SaveWindowPosition(const std::int32_t* position);
void ReadVersionString(std::int32_t capacity, char* text);

// The start-up sequence of both entry points; returns the exit code.
int RunApplication(HINSTANCE module, int showState);
// Its two halves, for tests that drive the event loop themselves: everything
// up to the first page, and what follows the loop (ends the window if it is
// still open, then releases what the program never frees while it runs).
CBrisaConfig* StartApplication(HINSTANCE module, int showState);
void EndApplication(CBrisaConfig* window);
extern PPicture AboutIcon;
