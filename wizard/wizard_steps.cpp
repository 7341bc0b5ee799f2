// The wizard's pages. Ortek and Selvo cameras go through five: scan, unplug,
// scan again, choose the filters, done. Tamis cameras need no driver permission
// and so no power cycle: scan, choose, done.
#include "app/brisa_config.h"
#include "app/texts.h"
#include "config/records.h"
#include "wizard/camera_info_pane.h"

namespace {

template <std::size_t N>
void SetPaneText(char (&field)[PaneTextCapacity + 1], const char (&text)[N]) {
  Str::CopyA(PaneTextCapacity, field, Len(text), text);
}

// Gives a control up and forgets it, so no later page reaches a control that
// is gone.
template <typename T>
void EndControl(T*& control) {
  if (control != nullptr) {
    control->Done();
    control = nullptr;
  }
}

constexpr std::int32_t ListX = 108;
constexpr std::int32_t PositionsListY = 101;
constexpr std::int32_t WheelTypeListY = 125;

}  // namespace

void CBrisaConfig::AdvanceWizard() {
  switch (WizardStep) {
    case 0: {
      InfoPane = new CCameraInfoPane();
      CRect rect;
      rect.Init(8, 8, InteriorWidth - 16, InteriorHeight - 40);
      InfoPane->Init(rect);
      Register(InfoPane);
      SetPaneText(InfoPane->Heading, "Step 1:");
      SetPaneText(InfoPane->InstructionLine[0], "Connect camera and click [Scan camera] button");
      InfoPane->Show();

      StepButton = new CButton();
      rect.Init(8, InteriorHeight - 32, (InteriorWidth - 24) / 2, 0);
      StepButton->Init(rect, CommandStepAction, Len("Scan camera"), "Scan camera", 0);
      Register(StepButton);
      StepButton->Show();

      NextButton = new CButton();
      const CRect step = StepButton->Rect;
      rect.Init(InteriorWidth - step.w - 8, step.y, step.w, step.h);
      NextButton->Init(rect, CommandNext, Len("Next ->"), "Next ->", 0);
      Register(NextButton);
      NextButton->Show();

      WizardStep = 1;
      RunStepAction();
      break;
    }
    case 1:
      if (LinkFlags & TamisGroup) {
        WizardStep = 3;
        AdvanceWizard();
        break;
      }
      SetPaneText(InfoPane->Heading, "Step 2:");
      SetPaneText(InfoPane->InstructionLine[0], "Unplug camera power");
      EndControl(StepButton);
      WizardStep = 2;
      RunStepAction();
      break;
    case 2: {
      // The old button was given up on page 2; page 3 gets a new one in its place.
      StepButton = new CButton();
      CRect rect;
      rect.Init(8, InteriorHeight - 32, (InteriorWidth - 24) / 2, 0);
      StepButton->Init(rect, CommandStepAction, Len("Scan camera"), "Scan camera", 0);
      Register(StepButton);
      StepButton->Show();
      SetPaneText(InfoPane->Heading, "Step 3:");
      SetPaneText(InfoPane->InstructionLine[0], "Connect camera again and click [Scan camera]");
      WizardStep = 3;
      RunStepAction();
      break;
    }
    case 3: {
      if (LinkFlags & TamisGroup) {
        SetPaneText(InfoPane->Heading, "Step 2:");
      } else {
        SetPaneText(InfoPane->Heading, "Step 4:");
      }
      SetPaneText(InfoPane->InstructionLine[0], "Enter requested number of filters");
      InfoPane->InvalidateView();

      const std::int32_t listWidth = InfoPane->Rect.w - 100;
      CRect rect;
      PositionsList = new CComboBox();
      rect.Init(ListX, PositionsListY, listWidth, 0);
      PositionsList->Init(rect, 0, 0);
      RegisterFirst(PositionsList);
      for (const TListItem& item : PositionsItems) {
        PositionsList->AddItem(item.Length, item.Text, 0);
      }
      PositionsList->ItemsAdded();
      const std::int32_t preselected = PositionsItemOf(FilterPositionsOf());
      if (preselected != 0) {
        PositionsList->SetSelected(preselected);
      }
      PositionsList->Show();

      WheelTypeList = new CComboBox();
      rect.Init(ListX, WheelTypeListY, listWidth, 0);
      WheelTypeList->Init(rect, 0, 0);
      RegisterFirst(WheelTypeList);
      for (const TListItem& item : WheelTypeItems) {
        WheelTypeList->AddItem(item.Length, item.Text, 0);
      }
      WheelTypeList->ItemsAdded();
      WheelTypeList->SetSelected(WheelTypeOf() ? 2 : 1);
      WheelTypeList->Show();

      if (StepButton != nullptr) {
        const CRect current = StepButton->Rect;
        StepButton->Init(current, CommandStepAction, Len("Write Filters"), "Write Filters", 0);
        StepButton->InvalidateView();
      }
      NextButton->Disable();
      WizardStep = 4;
      break;
    }
    case 4: {
      if (!(LinkFlags & TamisGroup)) {
        ReleaseGrant(ModelCodeOf(HeaderCopy));
      }
      if (LinkFlags & TamisGroup) {
        SetPaneText(InfoPane->Heading, "Step 3:");
      } else {
        SetPaneText(InfoPane->Heading, "Step 5:");
      }
      SetPaneText(InfoPane->InstructionLine[0], "Camera update successful.");
      SetPaneText(InfoPane->InstructionLine[1], "Changes will take effect after camera is");
      SetPaneText(InfoPane->InstructionLine[2], "unplugged from power and plugged again.");
      InfoPane->InvalidateView();
      EndControl(PositionsList);
      EndControl(WheelTypeList);
      EndControl(StepButton);
      const CRect current = NextButton->Rect;
      NextButton->Init(current, CommandNext, Len("Finish"), "Finish", 0);
      NextButton->InvalidateView();
      WizardStep = 5;
      break;
    }
    case 5:
      PostQuit();
      break;
    default:
      break;
  }
}

void CBrisaConfig::RestartWizard() {
  WizardStep = 0;
  EndControl(InfoPane);
  EndControl(StepButton);
  EndControl(NextButton);
  EndControl(PositionsList);
  EndControl(WheelTypeList);
  AdvanceWizard();
}
