// Every failure the user is told of: which box, with which icon, and where the
// wizard stands afterwards.
#include <gtest/gtest.h>

#include <filesystem>

#include "integration/harness.h"
#include "posix_devices.h"

namespace {

void ExpectBox(const THeadlessBox& box, const char* line1, const char* line2, PPicture icon) {
  EXPECT_EQ(box.Title, "Error");
  EXPECT_EQ(box.Line1, line1);
  EXPECT_EQ(box.Line2, line2);
  EXPECT_EQ(box.Line3, "");
  EXPECT_EQ(box.Icon, icon);
  EXPECT_EQ(box.Owner, PBackground->Windows().front());
}

// Brings a Selvo camera to the filters page the way a user does.
void ToFiltersPage(TAppHarness& app, const char* sample = "selvo-kai") {
  app.AddCamera("cam", sample);
  app.Start();
  app.PressNext();
  app.Unplug("cam");
  app.Plug("cam");
  app.PressStep();
  app.PressNext();
  ASSERT_EQ(app.Window->WizardStep, 4);
  ASSERT_TRUE(app.Boxes().empty());
}

TEST(ScanFailures, WithoutAdministratorRightsNothingIsReadAndTheProgramEnds) {
  TAppHarness app;
  PosixFaults().Administrator = 0;
  app.AddCamera("cam", "selvo-kaf");
  app.Start();
  ASSERT_EQ(app.Boxes().size(), 1u);
  ExpectBox(app.Boxes()[0], "Managing Selvo cameras requires administrative privileges.",
            "Right-click on the application icon", piInfo32);
  EXPECT_EQ(app.Sim->Transfers("cam"), 0u);
  EXPECT_TRUE(app.Ended());
}

TEST(ScanFailures, NoCameraShowsNotConnectedAfterOneAttempt) {
  TAppHarness app;
  app.Start();
  EXPECT_EQ(app.Value(1), "Not connected");
  EXPECT_EQ(app.Value(2), "");
  EXPECT_EQ(app.Value(3), "");
  EXPECT_FALSE(app.Window->NextButton->IsEnabled());
  EXPECT_EQ(app.Title(), "Corvane v3.0");
  EXPECT_EQ(app.Window->LinkFlags, 0u);
  // A camera plugged in later is found by the scan button.
  app.AddCamera("cam", "selvo-e2v");
  app.PressStep();
  EXPECT_EQ(app.Title(), "Selvo E2V");
  EXPECT_TRUE(app.Window->NextButton->IsEnabled());
}

TEST(ScanFailures, RefusedHeaderReadLeavesTheLinkOpen) {
  TAppHarness app;
  app.AddCamera("cam", "ortek-kai");
  app.Sim->Fault("cam", "refuse", {1, camsim::kStatusInvalidIndex});
  app.Start();
  EXPECT_EQ(app.Value(1), "Not connected");
  EXPECT_FALSE(app.Window->NextButton->IsEnabled());
  EXPECT_TRUE(app.Connected());
  EXPECT_STREQ(app.Window->ErrorText, "Instruction failed: Invalid index");
  EXPECT_TRUE(app.Boxes().empty());
  // The next scan uses the open link: no new connection, and it succeeds.
  const std::size_t handles = PosixOpenHandleCount();
  app.PressStep();
  EXPECT_EQ(PosixOpenHandleCount(), handles);
  EXPECT_TRUE(app.Window->NextButton->IsEnabled());
}

TEST(PermissionFailures, RegistryThatCannotBeWrittenEndsTheProgram) {
  TAppHarness app;
  app.AddCamera("cam", "selvo-kai");
  // A directory where the value belongs: no write can replace it.
  std::filesystem::create_directories(app.Roots.MachineRegistry +
                                      "/SYSTEM/CurrentControlSet/Services/ralcamI/Parameters/"
                                      "AllowEEPROMWrite");
  app.Start();
  app.PressNext();
  app.Unplug("cam");
  ASSERT_EQ(app.Boxes().size(), 1u);
  ExpectBox(app.Boxes()[0], "Cannot write Windows Registry",
            "Application requires administrative priviledges", piStop);
  EXPECT_TRUE(app.Ended());
}

TEST(PermissionFailures, UnknownModelCodeEndsTheProgram) {
  TAppHarness app;
  app.AddCamera("cam", "selvo-kai");
  const std::uint8_t code1100[] = {0x4C, 0x04};
  ASSERT_TRUE(app.Sim->Poke("cam", 3, code1100));
  app.Start();
  EXPECT_EQ(app.HeaderModelCode(), 1100);
  app.PressNext();
  app.Unplug("cam");
  ASSERT_EQ(app.Boxes().size(), 1u);
  EXPECT_EQ(app.Boxes()[0].Line1, "Cannot write Windows Registry");
  EXPECT_TRUE(app.Ended());
}

// A run answers for one permission: when a camera of another model takes the
// first one's place, its grant first takes back the first one's; when that
// cannot be done, nothing is granted.
TEST(PermissionFailures, AnotherModelTakesTheEarlierGrantBackFirst) {
  for (const bool revokeFails : {false, true}) {
    SCOPED_TRACE(revokeFails ? "the earlier one cannot be taken back" : "taken back");
    TAppHarness app;
    app.AddCamera("a", "selvo-kai");         // 1029
    app.AddCamera("b", "selvo-e2v", false);  // 1200
    app.Start();
    app.PressNext();
    app.Unplug("a");
    ASSERT_TRUE(app.PermissionSet(1029));
    app.Plug("b");
    app.PressStep();  // another camera: the wizard starts again with it
    ASSERT_EQ(app.Window->WizardStep, 1);
    ASSERT_EQ(app.HeaderModelCode(), 1200);
    app.PressNext();
    if (revokeFails) {
      PosixFaults().MachineRegistryReadOnly = true;
      // The registry refuses the new grant too; the refusal that counts comes first.
      EXPECT_FALSE(app.Window->HoldGrant(1200));
      EXPECT_EQ(app.Window->StandingGrant, 1029);
      EXPECT_TRUE(app.PermissionSet(1029));
      PosixFaults().MachineRegistryReadOnly = false;
      continue;
    }
    app.Unplug("b");
    EXPECT_EQ(app.Boxes().size(), 1u);  // "This camera is different" only
    EXPECT_FALSE(app.PermissionSet(1029));
    EXPECT_TRUE(app.PermissionSet(1200));
    EXPECT_EQ(app.Window->StandingGrant, 1200);
  }
}

// A grant goes ahead only once what makes it recoverable is in place: the
// run's hold, under the machine's lock, and pelwin's mark in the machine's
// registry. Without either, nothing is granted and pelwin ends with the box.
TEST(PermissionFailures, NoGrantWithoutItsHoldAndItsMark) {
  for (const bool holdFails : {true, false}) {
    SCOPED_TRACE(holdFails ? "no named objects" : "the mark cannot be written");
    TAppHarness app;
    app.AddCamera("cam", "selvo-kai");
    app.Start();
    app.PressNext();
    if (holdFails) {
      app.Roots.SetEnv("PELWIN_OBJECT_ROOT", "/dev/null/objects");
    } else {
      // A value where the marks' key would be: the key cannot be made.
      std::filesystem::create_directories(app.Roots.MachineRegistry + "/Software/Varnosti/pelwin");
      WriteFileText(app.Roots.MachineRegistry + "/Software/Varnosti/pelwin/Grants",
                    "dword:00000001\n");
    }
    app.Unplug("cam");
    ASSERT_EQ(app.Boxes().size(), 1u);
    EXPECT_EQ(app.Boxes()[0].Line1, "Cannot write Windows Registry");
    EXPECT_TRUE(app.Ended());
    EXPECT_FALSE(app.PermissionSet(1029));
  }
}

TEST(PermissionFailures, DriverRefusesWritesWhenPluggedInWithoutThePermission) {
  TAppHarness app;
  app.AddCamera("cam", "selvo-kai");
  app.Start();
  app.PressNext();
  app.Unplug("cam");
  // Someone takes the permission away before the camera starts again.
  std::filesystem::remove(app.Roots.MachineRegistry +
                          "/SYSTEM/CurrentControlSet/Services/ralcamI/Parameters/"
                          "AllowEEPROMWrite");
  app.Plug("cam");
  app.PressStep();
  app.PressNext();
  const std::vector<std::uint8_t> before = CameraBlock(*app.Sim, "cam");
  app.PickPositions(3);
  app.PressStep();
  ASSERT_EQ(app.Boxes().size(), 1u);
  ExpectBox(app.Boxes()[0], "Cannot write camera EEPROM", "Contact technical support", piStop);
  EXPECT_EQ(CameraBlock(*app.Sim, "cam"), before);
  EXPECT_EQ(app.Window->WizardStep, 1);
}

TEST(SecondScan, AnotherCameraRestartsTheWizard) {
  TAppHarness app;
  app.AddCamera("cam", "selvo-kaf");
  app.Start();
  app.PressNext();
  app.Unplug("cam");
  // Same header, one block byte different: not the camera that was scanned.
  const std::uint8_t otherId[] = {0x01};
  ASSERT_TRUE(app.Sim->Poke("cam", 10, otherId));
  app.Plug("cam");
  app.PressStep();
  ASSERT_EQ(app.Boxes().size(), 1u);
  ExpectBox(app.Boxes()[0], "This camera is different", "Plug in the same camera", piInfo32);
  // Page 1 again, with the camera now plugged in scanned afresh.
  EXPECT_EQ(app.Window->WizardStep, 1);
  EXPECT_EQ(app.Heading(), "Step 1:");
  EXPECT_EQ(app.Window->BlockCopy[0], 0x01);
  EXPECT_TRUE(app.Window->NextButton->IsEnabled());
  EXPECT_STREQ(app.Window->StepButton->Text(), "Scan camera");
}

TEST(WriteFailures, NoCameraAtTheWriteStep) {
  TAppHarness app;
  ToFiltersPage(app);
  app.Unplug("cam");
  EXPECT_EQ(app.Window->WizardStep, 4);
  app.PressStep();
  ASSERT_EQ(app.Boxes().size(), 1u);
  ExpectBox(app.Boxes()[0], "Camera not connected", "Plug in the camera", piStop);
  EXPECT_EQ(app.Window->WizardStep, 1);
  EXPECT_EQ(app.Window->PositionsList, nullptr);
  EXPECT_EQ(app.Window->WheelTypeList, nullptr);
  EXPECT_EQ(app.Value(1), "Not connected");
}

TEST(WriteFailures, RefusedWriteRestartsWithoutLists) {
  TAppHarness app;
  ToFiltersPage(app);
  app.Sim->Fault("cam", "refuse", {1, camsim::kStatusInvalidParameter});
  app.PressStep();
  ASSERT_EQ(app.Boxes().size(), 1u);
  ExpectBox(app.Boxes()[0], "Cannot write camera EEPROM", "Contact technical support", piStop);
  EXPECT_EQ(app.Window->WizardStep, 1);
  EXPECT_EQ(app.Window->PositionsList, nullptr);
  EXPECT_EQ(app.Window->WheelTypeList, nullptr);
}

TEST(WriteFailures, ReadBackThatDiffersByOneByte) {
  TAppHarness app;
  ToFiltersPage(app);
  app.Sim->Fault("cam", "corrupt", {1});
  app.PressStep();
  ASSERT_EQ(app.Boxes().size(), 1u);
  EXPECT_EQ(app.Boxes()[0].Line1, "Cannot write camera EEPROM");
  EXPECT_EQ(app.Window->WizardStep, 1);
}

TEST(WriteFailures, TamisFirstWriteFailureSendsNothingMore) {
  TAppHarness app;
  app.AddCamera("cam", "tamis-b");
  app.Start();
  app.PressNext();
  const std::vector<std::uint8_t> before = CameraBlock(*app.Sim, "cam");
  const std::uint64_t transfers = app.Sim->Transfers("cam");
  app.Sim->Fault("cam", "refuse", {1, camsim::kStatusInvalidIndex});
  app.PressStep();
  // The refused write, then the restart's scan: no second write, no read-back.
  EXPECT_EQ(app.Sim->Transfers("cam"), transfers + 2);
  ASSERT_EQ(app.Boxes().size(), 1u);
  EXPECT_EQ(app.Boxes()[0].Line1, "Cannot write camera EEPROM");
  EXPECT_EQ(CameraBlock(*app.Sim, "cam"), before);
}

TEST(WriteFailures, TamisSecondWriteFailureIsReportedNotHidden) {
  TAppHarness app;
  app.AddCamera("cam", "tamis-a");
  app.Start();
  app.PressNext();
  app.PickPositions(2);
  // Let the first part through and lose the camera on the second.
  app.Sim->Fault("cam", "drop", {2});
  app.PressStep();
  ASSERT_EQ(app.Boxes().size(), 1u);
  EXPECT_EQ(app.Boxes()[0].Line1, "Cannot write camera EEPROM");
  EXPECT_EQ(app.Window->WizardStep, 1);
}

TEST(WriteFailures, NoSelectionWritesTheStoredCountAndRevision2) {
  TAppHarness app;
  // Six positions and revision 1 stored: a count of 0 would not tell a kept
  // count from "no selection" read as "Not installed".
  ToFiltersPage(app, "selvo-e2v");
  const std::vector<std::uint8_t> before = CameraBlock(*app.Sim, "cam");
  ASSERT_EQ(before[5], 6);
  ASSERT_EQ(before[4] & 0x04, 0);
  app.Window->PositionsList->SetSelected(0);
  app.Window->WheelTypeList->SetSelected(0);
  app.PressStep();
  EXPECT_TRUE(app.Boxes().empty());
  const std::vector<std::uint8_t> after = CameraBlock(*app.Sim, "cam");
  EXPECT_EQ(after[5], 6);
  EXPECT_EQ(after[4], before[4] | 0x04);
}

}  // namespace
