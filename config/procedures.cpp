// The work of each wizard page: scan the camera, grant the driver's write
// permission while the camera is unplugged, write the new configuration and
// verify it by reading it back.
#include "app/brisa_config.h"
#include "app/texts.h"
#include "config/records.h"
#include "wizard/camera_info_pane.h"

namespace {

constexpr char NotConnected[] = "Not connected";

}  // namespace

void CBrisaConfig::RunStepAction() {
  switch (WizardStep) {
    case 1:
    case 3:
      ScanCamera();
      break;
    case 2:
      GrantStep();
      break;
    case 4:
      WriteConfiguration();
      break;
    default:
      break;
  }
}

void CBrisaConfig::ShowError(const char* line1, const char* line2, PPicture icon) {
  constexpr char title[] = "Error";
  CRect rect;
  DoMessageBox(this, 2, rect, 1, 1, 4, Len(title), title, Str::LengthA(line1), line1,
               Str::LengthA(line2), line2, 0, "", icon);
}

void CBrisaConfig::PostQuit() {
  TEvent quit;
  quit.Kind = EventKindCommand;
  quit.Command = CommandQuit;
  MakeEvent(quit);
}

void CBrisaConfig::ShowCamera() {
  if (InfoPane != nullptr) {
    const std::uint8_t* block = StoredBlock();
    const std::uint32_t nameOffset =
        (LinkFlags & OrtekGroup) ? OrtekTypeNameOffset : TypeNameOffset;
    Str::CopyA(ValueTextCapacity, InfoPane->ValueLine[0], TypeNameLength,
               reinterpret_cast<const char*>(block + nameOffset));
    Str::CardToStrA(CameraIdOf(block), ValueTextCapacity, InfoPane->ValueLine[1], 10, 0);
    const TListItem& positions = FilterPositionsText(FilterPositionsOf());
    Str::CopyA(ValueTextCapacity, InfoPane->ValueLine[2], positions.Length, positions.Text);
    const TListItem& wheel = WheelTypeText(WheelTypeOf());
    Str::CopyA(ValueTextCapacity, InfoPane->ValueLine[3], wheel.Length, wheel.Text);
  }
  if (NextButton != nullptr) {
    NextButton->Enable();
  }
  if (InfoPane != nullptr) {
    InfoPane->InvalidateView();
  }
}

void CBrisaConfig::ShowNotConnected() {
  if (InfoPane == nullptr) {
    return;
  }
  Str::CopyA(ValueTextCapacity, InfoPane->ValueLine[0], Len(NotConnected), NotConnected);
  InfoPane->ValueLine[1][0] = '\0';
  InfoPane->ValueLine[2][0] = '\0';
}

// The header and the block in the connected camera's group's form, as the
// second scan reads them. Tamis cameras have only the block.
bool CBrisaConfig::ReadRecords(std::uint8_t* header, std::uint8_t* block) {
  if (LinkFlags & TamisGroup) {
    return ReadEepromLong(TamisBlockAddress, BlockSize, block);
  }
  const std::uint32_t blockSize = (LinkFlags & OrtekGroup) ? OrtekBlockSize : BlockSize;
  return ReadEepromShort(HeaderAddress, HeaderSize, header) &&
         ReadEepromShort(ShortBlockAddress, blockSize, block);
}

void CBrisaConfig::ScanCamera() {
  bool scanned = false;
  std::uint8_t header[HeaderSize];
  std::uint8_t block[BlockSize];
  do {
    if (!(LinkFlags & LinkConnected)) {
      ConnectCamera();
      if (!(LinkFlags & LinkConnected)) {
        break;
      }
    }
    if (LinkFlags & TamisGroup) {
      scanned = ReadEepromLong(TamisBlockAddress, BlockSize, BlockCopy);
      break;
    }
    if (!IsAdministrator()) {
      ShowError("Managing Selvo cameras requires administrative privileges.",
                "Right-click on the application icon", piInfo32);
      PostQuit();
      break;
    }
    const bool ortek = (LinkFlags & OrtekGroup) != 0;
    const std::uint32_t blockSize = ortek ? OrtekBlockSize : BlockSize;
    std::uint8_t* stored = ortek ? OrtekBlockCopy : BlockCopy;
    if (!ReadRecords(header, block)) {
      break;
    }
    if (WizardStep == 1) {
      Lib::Move(header, HeaderCopy, HeaderSize);
      Lib::Move(block, stored, blockSize);
    } else if (Lib::Compare(header, HeaderCopy, HeaderSize) != HeaderSize ||
               Lib::Compare(block, stored, blockSize) != blockSize) {
      ShowError("This camera is different", "Plug in the same camera", piInfo32);
      RestartWizard();
      return;
    }
    scanned = true;
  } while (false);

  if (scanned) {
    ScannedSerial = ConnectionSerial;
    ScannedKind = LinkFlags & KindBits;
    ShowCamera();
    return;
  }
  ShowNotConnected();
  if (NextButton != nullptr) {
    NextButton->Disable();
  }
  if (InfoPane != nullptr) {
    InfoPane->InvalidateView();
  }
}

// Whether the connected camera is the one the last successful scan read. The
// scan's own connection is; any later one (a device arrival reconnects to
// whichever interface is found first) is read again and compared with the
// stored copies. *readFailed tells a read that failed from a camera that differs.
bool CBrisaConfig::IsScannedCamera(bool* readFailed) {
  *readFailed = false;
  if (ConnectionSerial == ScannedSerial) {
    return true;
  }
  std::uint8_t header[HeaderSize];
  std::uint8_t block[BlockSize];
  if (!ReadRecords(header, block)) {
    *readFailed = true;
    return false;
  }
  const std::uint32_t blockSize = (LinkFlags & OrtekGroup) ? OrtekBlockSize : BlockSize;
  const bool same =
      (LinkFlags & KindBits) == ScannedKind &&
      ((LinkFlags & TamisGroup) || Lib::Compare(header, HeaderCopy, HeaderSize) == HeaderSize) &&
      Lib::Compare(block, StoredBlock(), blockSize) == blockSize;
  if (same) {
    ScannedSerial = ConnectionSerial;
  }
  return same;
}

void CBrisaConfig::GrantStep() {
  if (LinkFlags & LinkConnected) {
    if (NextButton != nullptr) {
      NextButton->Disable();
    }
    if (InfoPane != nullptr) {
      InfoPane->InvalidateView();
    }
    return;
  }
  ShowNotConnected();
  if (NextButton != nullptr) {
    NextButton->Enable();
  }
  const std::uint16_t modelCode = ModelCodeOf(HeaderCopy);
  if (!HoldGrant(modelCode)) {
    ShowError("Cannot write Windows Registry", "Application requires administrative priviledges",
              piStop);
    PostQuit();
  }
  if (InfoPane != nullptr) {
    InfoPane->InvalidateView();
  }
}

void CBrisaConfig::WriteConfiguration() {
  if (!(LinkFlags & LinkConnected)) {
    ShowError("Camera not connected", "Plug in the camera", piStop);
    RestartWizard();
    return;
  }
  // Before the stored copy takes the choice: it is what the camera is compared with.
  bool readFailed = false;
  if (!IsScannedCamera(&readFailed)) {
    if (readFailed) {
      ShowError("Cannot write camera EEPROM", "Contact technical support", piStop);
    } else {
      ShowError("This camera is different", "Plug in the same camera", piInfo32);
    }
    RestartWizard();
    return;
  }
  const std::int32_t position = PositionsList != nullptr ? PositionsList->GetSelected() : 0;
  if (position >= 1 && position <= PositionsItemCount) {
    SetFilterPositions(PositionsItems[position - 1].Value);
  }
  const std::int32_t wheel = WheelTypeList != nullptr ? WheelTypeList->GetSelected() : 0;
  SetWheelType(wheel != 1);

  std::uint8_t readBack[BlockSize];
  bool verified;
  if (LinkFlags & OrtekGroup) {
    verified = WriteEepromShort(ShortBlockAddress, OrtekBlockSize, OrtekBlockCopy) &&
               ReadEepromShort(ShortBlockAddress, OrtekBlockSize, readBack) &&
               Lib::Compare(readBack, OrtekBlockCopy, OrtekBlockSize) == OrtekBlockSize;
  } else if (LinkFlags & TamisGroup) {
    verified = WriteEepromLong(TamisBlockAddress, TamisFirstPartSize, BlockCopy) &&
               WriteEepromLong(TamisSecondPartAddress, TamisSecondPartSize,
                               BlockCopy + TamisFirstPartSize) &&
               ReadEepromLong(TamisBlockAddress, BlockSize, readBack) &&
               Lib::Compare(readBack, BlockCopy, BlockSize) == BlockSize;
  } else {
    verified = WriteEepromShort(ShortBlockAddress, BlockSize, BlockCopy) &&
               ReadEepromShort(ShortBlockAddress, BlockSize, readBack) &&
               Lib::Compare(readBack, BlockCopy, BlockSize) == BlockSize;
  }
  if (verified) {
    if (NextButton != nullptr) {
      NextButton->Enable();
    }
    return;
  }
  ShowError("Cannot write camera EEPROM", "Contact technical support", piStop);
  RestartWizard();
}
