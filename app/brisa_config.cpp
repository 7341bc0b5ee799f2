// The main window's life: creation connects and builds the first page, device
// messages connect and disconnect, the wizard's commands reach their operations,
// and the end saves the window's position.
#include "app/brisa_config.h"
#include "app/texts.h"

CBrisaConfig::CBrisaConfig()
    : WizardStep(0),
      HeaderCopy{},
      OrtekBlockCopy{},
      BlockCopy{},
      NotificationHandle(nullptr),
      LinkFlags(0),
      DevicePath{},
      CommandPipe(INVALID_HANDLE_VALUE),
      DataPipe(INVALID_HANDLE_VALUE),
      AuxPipe(INVALID_HANDLE_VALUE),
      ErrorText{},
      InfoPane(nullptr),
      PositionsList(nullptr),
      WheelTypeList(nullptr),
      StepButton(nullptr),
      NextButton(nullptr),
      StandingGrant(0),
      GrantHold(nullptr),
      PermissionLock(nullptr),
      ConnectionSerial(0),
      ScannedSerial(0),
      ScannedKind(0) {}

void CBrisaConfig::Init() {
  CRect rect;
  rect.Init(DefaultWindowX, DefaultWindowY, WindowWidth, WindowHeight);
  std::int32_t position[2] = {rect.x, rect.y};
  LoadWindowPosition(position);
  rect.x = position[0];
  rect.y = position[1];
  // A run that was killed or crashed may have left the driver open to EEPROM
  // writes from any program; close that before anything else happens.
  RevokeLeftoverGrant();
  CWindow::Init(rect, WindowOptions, Len(IdleTitle), IdleTitle, nullptr, nullptr, nullptr, nullptr);
}

void CBrisaConfig::CreatePeerWindow() {
  CWindow::CreatePeerWindow();
  ConnectCamera();
  WizardStep = 0;
  AdvanceWizard();
}

void CBrisaConfig::DeletePeerWindow() {
  DisconnectCamera();
  CWindow::DeletePeerWindow();
}

void CBrisaConfig::Done() {
  // At the unplug page this disconnect grants the permission, so the revoke
  // must come after it. Nothing needs the permission once the program ends.
  DisconnectCamera();
  RevokeStandingGrant();
  if (PermissionLock != nullptr) {
    CloseHandle(PermissionLock);
    PermissionLock = nullptr;
  }
  const CRect& saved =
      (WindowState & (WindowStateMinimized | WindowStateMaximized)) != 0 ? NormalRect : Rect;
  const std::int32_t position[2] = {saved.x, saved.y};
  SaveWindowPosition(position);
  CWindow::Done();
}

void CBrisaConfig::ReceiveEvent(TEvent* event) {
  if (event->Kind & (EventKindCommand | EventKindMenu)) {
    switch (event->Command) {
      case CommandAbout:
        ShowAbout();
        StopEvent(event);
        break;
      case CommandStepAction:
        RunStepAction();
        break;
      case CommandNext:
        AdvanceWizard();
        break;
      default:
        break;
    }
  }
  CWindow::ReceiveEvent(event);
}

bool CBrisaConfig::ReceiveMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  // lParam is the broadcast only for these two events, and a null one is no
  // broadcast at all.
  if (msg == WM_DEVICECHANGE &&
      (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) && lParam != 0) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
      if (wParam == DBT_DEVICEARRIVAL) {
        ConnectCamera();
      } else {
        DisconnectCamera();
      }
      return true;
    }
  }
  return CWindow::ReceiveMsg(msg, wParam, lParam, result);
}
