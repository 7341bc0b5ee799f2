// The three ways through the wizard, end to end against camsim: what the user
// sees on each page and what the camera holds afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "integration/harness.h"
#include "posix_devices.h"

namespace {

// Every key and value below a registry root, with the value files' contents.
std::map<std::string, std::string> RegistryTree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string path = entry.path().string().substr(root.size());
    tree[path] = entry.is_directory() ? "<key>" : ReadFileText(entry.path().string());
  }
  return tree;
}

// The positions list's item for a stored count: none outside the eight choices.
std::int32_t PositionsItemFor(unsigned positions) {
  static const unsigned choices[] = {0, 5, 6, 7, 8, 9, 10, 12};
  for (std::int32_t i = 0; i < 8; ++i) {
    if (choices[i] == positions) {
      return i + 1;
    }
  }
  return 0;
}

// Every byte of the block but ConfigFlags and PositionCount, and every bit of
// those two that the layout does not use, must come back as it was.
void ExpectOnlyConfigChanged(const std::vector<std::uint8_t>& before,
                             const std::vector<std::uint8_t>& after, std::uint8_t flagMask,
                             std::uint8_t countMask) {
  ASSERT_EQ(before.size(), after.size());
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (i == 4) {
      EXPECT_EQ(before[i] & ~flagMask & 0xFF, after[i] & ~flagMask & 0xFF) << "ConfigFlags";
    } else if (i == 5) {
      EXPECT_EQ(before[i] & ~countMask & 0xFF, after[i] & ~countMask & 0xFF) << "PositionCount";
    } else {
      EXPECT_EQ(before[i], after[i]) << "block byte " << i;
    }
  }
}

struct TFivePageCase {
  const char* Sample;
  const char* Title;
  std::uint16_t ModelCode;
  std::int32_t PositionsItem;  // chosen on the filters page
  std::int32_t WheelItem;
  std::uint8_t FlagMask;
  std::uint8_t CountMask;
};

// Named, so that test reports never print the struct's padding bytes.
void PrintTo(const TFivePageCase& c, std::ostream* out) {
  *out << c.Sample << " item " << c.PositionsItem << "/" << c.WheelItem;
}

class FivePagePath : public ::testing::TestWithParam<TFivePageCase> {};

TEST_P(FivePagePath, ConfiguresTheCameraThroughThePowerCycle) {
  const TFivePageCase& c = GetParam();
  TAppHarness app;
  app.AddCamera("cam", c.Sample);
  const std::vector<std::uint8_t> before = CameraBlock(*app.Sim, "cam");
  const camsim::Sample* sample = camsim::FindSample(c.Sample);
  ASSERT_NE(sample, nullptr);
  const camsim::BlockFields fields = camsim::DecodeBlock(sample->kind, before);

  app.Start();
  // Page 1: found, scanned, shown.
  EXPECT_EQ(app.Title(), c.Title);
  EXPECT_EQ(app.Window->WizardStep, 1);
  EXPECT_EQ(app.Heading(), "Step 1:");
  EXPECT_EQ(app.Instruction(1), "Connect camera and click [Scan camera] button");
  EXPECT_EQ(app.Value(1), fields.TypeName);
  EXPECT_EQ(app.Value(2), std::to_string(fields.CameraId));
  EXPECT_EQ(app.Value(3), camsim::PositionsText(fields.FilterPositions));
  EXPECT_EQ(app.Value(4), camsim::WheelText(fields.WheelRevision2));
  EXPECT_TRUE(app.Window->NextButton->IsEnabled());
  EXPECT_STREQ(app.Window->StepButton->Text(), "Scan camera");
  EXPECT_EQ(app.HeaderModelCode(), c.ModelCode);

  // Page 2: the camera is still plugged in, so nothing is granted yet.
  app.PressNext();
  EXPECT_EQ(app.Window->WizardStep, 2);
  EXPECT_EQ(app.Heading(), "Step 2:");
  EXPECT_EQ(app.Instruction(1), "Unplug camera power");
  EXPECT_EQ(app.Window->StepButton, nullptr);
  EXPECT_FALSE(app.Window->NextButton->IsEnabled());
  EXPECT_FALSE(app.PermissionSet(c.ModelCode));

  // Unplugging grants the permission and moves on by itself.
  app.Unplug("cam");
  EXPECT_EQ(app.Window->WizardStep, 3);
  EXPECT_TRUE(app.PermissionSet(c.ModelCode));
  EXPECT_EQ(app.Heading(), "Step 3:");
  EXPECT_EQ(app.Instruction(1), "Connect camera again and click [Scan camera]");
  EXPECT_EQ(app.Title(), "Corvane v3.0");
  EXPECT_EQ(app.Value(1), "Not connected");
  EXPECT_EQ(app.Value(2), "");
  EXPECT_FALSE(app.Window->NextButton->IsEnabled());

  // Plugged in again: the driver starts with the permission; the scan finds the same camera.
  app.Plug("cam");
  EXPECT_TRUE(app.Sim->WriteAllowed("cam"));
  app.PressStep();
  EXPECT_EQ(app.Title(), c.Title);
  EXPECT_EQ(app.Value(2), std::to_string(fields.CameraId));
  EXPECT_TRUE(app.Window->NextButton->IsEnabled());
  EXPECT_TRUE(app.Boxes().empty());

  // Page 4: lists preselected from the stored block; Next waits for the write.
  app.PressNext();
  EXPECT_EQ(app.Window->WizardStep, 4);
  EXPECT_EQ(app.Heading(), "Step 4:");
  EXPECT_EQ(app.Instruction(1), "Enter requested number of filters");
  ASSERT_NE(app.Window->PositionsList, nullptr);
  ASSERT_NE(app.Window->WheelTypeList, nullptr);
  EXPECT_EQ(app.Window->PositionsList->ItemCount(), 8);
  const std::int32_t positionsItem = PositionsItemFor(fields.FilterPositions);
  const std::int32_t wheelItem = fields.WheelRevision2 ? 2 : 1;
  EXPECT_EQ(app.Window->PositionsList->GetSelected(), positionsItem);
  EXPECT_EQ(app.Window->WheelTypeList->GetSelected(), wheelItem);
  ASSERT_NE(app.Peers()->Native(app.Window->PositionsList), nullptr);
  EXPECT_EQ(app.Peers()->Native(app.Window->PositionsList)->Selected, positionsItem);
  EXPECT_EQ(app.Peers()->Native(app.Window->WheelTypeList)->Selected, wheelItem);
  EXPECT_STREQ(app.Window->StepButton->Text(), "Write Filters");
  EXPECT_FALSE(app.Window->NextButton->IsEnabled());

  app.PickPositions(c.PositionsItem);
  app.PickWheel(c.WheelItem);
  app.PressStep();
  EXPECT_TRUE(app.Boxes().empty());
  EXPECT_TRUE(app.Window->NextButton->IsEnabled());

  const std::vector<std::uint8_t> after = CameraBlock(*app.Sim, "cam");
  const camsim::BlockFields written = camsim::DecodeBlock(sample->kind, after);
  static const unsigned positions[] = {0, 5, 6, 7, 8, 9, 10, 12};
  EXPECT_EQ(written.FilterPositions, positions[c.PositionsItem - 1]);
  EXPECT_EQ(written.WheelRevision2, c.WheelItem == 2);
  ExpectOnlyConfigChanged(before, after, c.FlagMask, c.CountMask);

  // Page 5: the permission goes, the pane turns into the message.
  app.PressNext();
  EXPECT_EQ(app.Window->WizardStep, 5);
  EXPECT_EQ(app.Heading(), "Step 5:");
  EXPECT_EQ(app.Instruction(1), "Camera update successful.");
  EXPECT_EQ(app.Instruction(2), "Changes will take effect after camera is");
  EXPECT_EQ(app.Instruction(3), "unplugged from power and plugged again.");
  EXPECT_FALSE(app.PermissionSet(c.ModelCode));
  EXPECT_EQ(app.Window->PositionsList, nullptr);
  EXPECT_EQ(app.Window->WheelTypeList, nullptr);
  EXPECT_EQ(app.Window->StepButton, nullptr);
  EXPECT_STREQ(app.Window->NextButton->Text(), "Finish");

  // Finish ends the program and lets go of the camera.
  app.PressNext();
  EXPECT_TRUE(app.Ended());
  EXPECT_EQ(PosixLiveNotificationCount(), 0u);
  EXPECT_EQ(app.Window->CommandPipe, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(app.Boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, FivePagePath,
    ::testing::Values(
        // Ortek: PositionCode in bits 0-1, revision in bit 7; 7 to 12 positions
        // go to the count's low nibble, 0, 5 and 6 leave the count byte alone.
        TFivePageCase{"ortek-kaf", "Ortek KAF", 1028, 5, 1, 0x83, 0x0F},
        TFivePageCase{"ortek-kai", "Ortek KAI", 1027, 8, 2, 0x83, 0x0F},
        TFivePageCase{"ortek-kai", "Ortek KAI", 1027, 2, 2, 0x83, 0x00},
        // Selvo: revision in bit 2, the whole count byte.
        TFivePageCase{"selvo-kaf", "Selvo KAF", 1030, 6, 1, 0x04, 0xFF},
        TFivePageCase{"selvo-e2vb", "Selvo E2V", 1201, 1, 2, 0x04, 0xFF}),
    [](const auto& info) {
      std::string name = info.param.Sample;
      for (char& ch : name) {
        if (ch == '-') {
          ch = '_';
        }
      }
      return name + "_" + std::to_string(info.index);
    });

TEST(ThreePagePath, TamisCameraSkipsThePermissionAndThePowerCycle) {
  TAppHarness app;
  // Every driver's permission left set by earlier runs, and the header of a
  // Selvo camera scanned before the Tamis camera took its place: a grant or a
  // revoke for that header would show in the machine registry.
  for (std::uint16_t code : {1027, 1028, 1029, 1030, 1200, 1201}) {
    ASSERT_TRUE(camsim::WriteRegistryDword(app.Roots.MachineRegistry, camsim::ServiceKeyPath(code),
                                           camsim::kWritePermissionValue, 1, nullptr));
  }
  app.AddCamera("selvo", "selvo-kai");
  app.AddCamera("cam", "tamis-a", false);
  const std::vector<std::uint8_t> before = CameraBlock(*app.Sim, "cam");
  const std::map<std::string, std::string> machineRegistry =
      RegistryTree(app.Roots.MachineRegistry);
  app.Start();
  ASSERT_EQ(app.HeaderModelCode(), 1029);
  app.Unplug("selvo");
  app.Plug("cam");
  app.PressStep();
  EXPECT_EQ(app.Title(), "Tamis Camera");
  EXPECT_EQ(app.Window->WizardStep, 1);
  EXPECT_TRUE(app.Window->NextButton->IsEnabled());
  const std::uint64_t scanTransfers = app.Sim->Transfers("cam");
  EXPECT_EQ(scanTransfers, 1u);  // one long read of the block, no header

  app.PressNext();
  EXPECT_EQ(app.Window->WizardStep, 4);
  EXPECT_EQ(app.Heading(), "Step 2:");
  EXPECT_STREQ(app.Window->StepButton->Text(), "Write Filters");
  EXPECT_EQ(app.Sim->Transfers("cam"), scanTransfers);

  app.PickPositions(7);  // 10 positions
  app.PickWheel(2);
  app.PressStep();
  EXPECT_TRUE(app.Boxes().empty());
  EXPECT_EQ(app.Sim->Transfers("cam"), scanTransfers + 3);  // two writes, one read-back
  const std::vector<std::uint8_t> after = CameraBlock(*app.Sim, "cam");
  const camsim::BlockFields written = camsim::DecodeBlock(camsim::Kind::TamisA, after);
  EXPECT_EQ(written.FilterPositions, 10u);
  EXPECT_TRUE(written.WheelRevision2);
  ExpectOnlyConfigChanged(before, after, 0x02, 0xFF);

  app.PressNext();
  EXPECT_EQ(app.Heading(), "Step 3:");
  EXPECT_EQ(app.Instruction(1), "Camera update successful.");
  app.PressNext();
  EXPECT_TRUE(app.Ended());
  // No driver permission is granted or revoked for a Tamis camera.
  EXPECT_EQ(RegistryTree(app.Roots.MachineRegistry), machineRegistry);
}

// Where each page puts its controls, as the peer is told: the pane and the
// buttons from the window's 272 x 188 interior, the lists from the pane's
// width, every control at the standard height of 24.
TEST(PageGeometry, EveryPageLaysOutItsControlsFromTheInterior) {
  TAppHarness app;
  app.AddCamera("cam", "selvo-kai");
  app.Start();
  ASSERT_EQ(app.Window->InteriorWidth, 272);
  ASSERT_EQ(app.Window->InteriorHeight, 188);
  const CRect pane{8, 8, 256, 148};
  const CRect left{8, 156, 124, 24};
  const CRect right{140, 156, 124, 24};
  const CRect positions{108, 101, 156, 24};
  const CRect wheel{108, 125, 156, 24};
  auto expectAt = [&app](const CView* view, const CRect& want, const char* page) {
    ASSERT_NE(view, nullptr) << page;
    const THeadlessNative* native = app.Peers()->Native(view);
    ASSERT_NE(native, nullptr) << page;
    for (const CRect& got : {view->Rect, native->Rect}) {
      EXPECT_EQ(got.x, want.x) << page;
      EXPECT_EQ(got.y, want.y) << page;
      EXPECT_EQ(got.w, want.w) << page;
      EXPECT_EQ(got.h, want.h) << page;
    }
  };
  expectAt(app.Window->InfoPane, pane, "page 1");
  expectAt(app.Window->StepButton, left, "page 1");
  expectAt(app.Window->NextButton, right, "page 1");
  app.PressNext();
  expectAt(app.Window->NextButton, right, "page 2");
  app.Unplug("cam");
  ASSERT_EQ(app.Window->WizardStep, 3);
  expectAt(app.Window->StepButton, left, "page 3");
  expectAt(app.Window->NextButton, right, "page 3");
  app.Plug("cam");
  app.PressStep();
  app.PressNext();
  ASSERT_EQ(app.Window->WizardStep, 4);
  expectAt(app.Window->InfoPane, pane, "page 4");
  expectAt(app.Window->StepButton, left, "page 4");
  expectAt(app.Window->NextButton, right, "page 4");
  expectAt(app.Window->PositionsList, positions, "page 4");
  expectAt(app.Window->WheelTypeList, wheel, "page 4");
  app.PressStep();
  app.PressNext();
  ASSERT_EQ(app.Window->WizardStep, 5);
  expectAt(app.Window->InfoPane, pane, "page 5");
  expectAt(app.Window->NextButton, right, "page 5");
}

TEST(ThreePagePath, TamisCameraNeverReadsTheHeaderNorAsksForAdministrator) {
  TAppHarness app;
  PosixFaults().Administrator = 0;
  app.AddCamera("cam", "tamis-b");
  app.Start();
  EXPECT_TRUE(app.Boxes().empty());
  EXPECT_TRUE(app.Window->NextButton->IsEnabled());
  EXPECT_FALSE(app.Ended());
}

}  // namespace
