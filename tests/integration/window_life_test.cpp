// The window's life: stored position, show state, About box, routing of
// commands, and the wizard's re-entrant paths while the window closes.
#include <gtest/gtest.h>

#include <filesystem>

#include "integration/harness.h"
#include "posix_devices.h"

namespace {

std::string PositionDir(const TAppHarness& app) {
  return app.Roots.UserRegistry + "/Software/Varnosti/pelwin/Window";
}

std::string Dword(std::uint32_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "dword:%08x\n", value);
  return text;
}

TEST(WindowPosition, FirstStartOpensAt100And100AndCloseStoresBoth) {
  TAppHarness app;
  app.Start();
  EXPECT_EQ(app.Window->Rect.x, 100);
  EXPECT_EQ(app.Window->Rect.y, 100);
  EXPECT_EQ(app.Window->Rect.w, 272);
  EXPECT_EQ(app.Window->Rect.h, 188);
  EXPECT_EQ(app.Window->Title(), std::string("Corvane v3.0"));
  app.Window->Rect.x = 321;
  app.Window->Rect.y = -45;
  app.Close();
  EXPECT_EQ(ReadFileText(PositionDir(app) + "/XPos"), Dword(321));
  EXPECT_EQ(ReadFileText(PositionDir(app) + "/YPos"), Dword(static_cast<std::uint32_t>(-45)));
}

// The window is 272 by 188; what counts is the screens' work areas.
TEST(WindowPosition, StoredValuesAreKeptWhileAnyPartIsOnAScreen) {
  const CRect primary{0, 0, 1024, 728};  // a taskbar below, 40 pixels high
  const CRect leftOfPrimary{-1280, 0, 1280, 1024};
  constexpr std::int32_t None = INT32_MIN;  // not stored
  const struct {
    std::vector<CRect> Screens;
    std::int32_t X, Y;
    std::int32_t WantX, WantY;
  } rows[] = {
      {{}, -20000, None, -20000, 100},  // the peer cannot tell: as stored
      {{primary, leftOfPrimary}, -1000, 900, -1000, 900},
      {{primary}, -1000, 900, 100, 100},  // that monitor has gone
      {{primary}, -1000, None, 100, 100},
      {{primary}, -136, 300, -136, 300},  // half on the screen
      {{primary}, -271, 727, -271, 727},  // a pixel on it
      {{primary}, -272, 300, 100, 100},
      {{primary}, 500, 728, 100, 100},  // under the taskbar
      // Very large, on a screen out there: its right edge is past INT32_MAX.
      {{{INT32_MAX - 999, 0, 1000, 1000}}, INT32_MAX - 100, 0, INT32_MAX - 100, 0},
  };
  for (const auto& row : rows) {
    const std::string name = std::to_string(row.X) + "," + std::to_string(row.Y);
    TAppHarness app;
    app.Peers()->Screens = row.Screens;
    std::filesystem::create_directories(PositionDir(app));
    WriteFileText(PositionDir(app) + "/XPos", Dword(static_cast<std::uint32_t>(row.X)));
    if (row.Y != None) {
      WriteFileText(PositionDir(app) + "/YPos", Dword(static_cast<std::uint32_t>(row.Y)));
    }
    app.Start();
    EXPECT_EQ(app.Window->Rect.x, row.WantX) << name;
    EXPECT_EQ(app.Window->Rect.y, row.WantY) << name;
    EXPECT_EQ(app.Peers()->Native(app.Window)->Rect.x, row.WantX) << name;
  }
}

TEST(WindowPosition, KeyWithoutSectionGetsTheSectionOnClose) {
  TAppHarness app;
  std::filesystem::create_directories(app.Roots.UserRegistry + "/Software/Varnosti/pelwin");
  app.Start();
  EXPECT_EQ(app.Window->Rect.x, 100);
  app.Close();
  EXPECT_EQ(ReadFileText(PositionDir(app) + "/XPos"), Dword(100));
  EXPECT_EQ(ReadFileText(PositionDir(app) + "/YPos"), Dword(100));
}

TEST(WindowPosition, MinimisedOrMaximisedCloseStoresTheNormalPosition) {
  for (int showState : {2, 3, 6}) {
    TAppHarness app;
    app.Start(showState);
    EXPECT_NE(app.Window->WindowState, 0u) << showState;
    app.Window->Rect.x = 0;
    app.Window->Rect.y = 0;
    app.Close();
    EXPECT_EQ(ReadFileText(PositionDir(app) + "/XPos"), Dword(100)) << showState;
  }
  for (int showState : {1, 7, 10, 0, 99}) {
    TAppHarness app;
    app.Start(showState);
    EXPECT_EQ(app.Window->WindowState, 0u) << showState;
  }
}

TEST(WindowPosition, UnwritableStoreIsSilent) {
  TAppHarness app;
  std::filesystem::create_directories(app.Roots.UserRegistry + "/Software/Varnosti");
  WriteFileText(app.Roots.UserRegistry + "/Software/Varnosti/pelwin", "a file, not a key");
  app.Start();
  EXPECT_EQ(app.Window->Rect.x, 100);
  app.Close();
  EXPECT_TRUE(app.Ended());
}

TEST(About, ShowsNameAndVersionAndStopsTheEvent) {
  TAppHarness app;
  app.Start();
  PosixFaults().ModulePath = PELWIN_VERSION_FIXTURE;
  TEvent about;
  about.Kind = EventKindCommand;
  about.Command = CommandAbout;
  app.Window->ReceiveEvent(&about);
  EXPECT_TRUE(about.Stopped);
  ASSERT_EQ(app.Boxes().size(), 1u);
  const THeadlessBox& box = app.Boxes()[0];
  EXPECT_EQ(box.Title, "About configuration tool");
  EXPECT_EQ(box.Line1, "Corvane v3.0");
  EXPECT_EQ(box.Line2, "3.0.0.0");
  EXPECT_FALSE(box.Line3.empty());
  EXPECT_EQ(box.Icon, AboutIcon);
  EXPECT_FALSE(app.Ended());
}

TEST(About, VersionIsUnknownWithoutVersionData) {
  TAppHarness app;
  app.Start();
  char version[32];
  ReadVersionString(31, version);  // the test program carries no version data
  EXPECT_STREQ(version, "unknown");
  PosixFaults().ModulePath = app.Roots.Base + "/missing.exe";
  ReadVersionString(31, version);
  EXPECT_STREQ(version, "unknown");
  WriteFileText(app.Roots.Base + "/garbage.exe", std::string(4096, '\x7f'));
  PosixFaults().ModulePath = app.Roots.Base + "/garbage.exe";
  ReadVersionString(3, version);
  EXPECT_STREQ(version, "unk");
  PosixFaults().ModulePath = PELWIN_VERSION_FIXTURE;
  ReadVersionString(3, version);
  EXPECT_STREQ(version, "3.0");
}

TEST(Commands, OnlyCommandKindsAreActedOn) {
  TAppHarness app;
  app.AddCamera("cam", "selvo-kai");
  app.Start();
  TEvent next;
  next.Kind = 0x4000;
  next.Command = CommandNext;
  app.Window->ReceiveEvent(&next);
  EXPECT_EQ(app.Window->WizardStep, 1);
  next.Kind = EventKindMenu;
  app.Window->ReceiveEvent(&next);
  EXPECT_EQ(app.Window->WizardStep, 2);
  EXPECT_FALSE(next.Stopped);
}

TEST(Commands, FinishOnlyPostsQuit) {
  TAppHarness app;
  app.AddCamera("cam", "tamis-a");
  app.Start();
  app.PressNext();
  app.PressStep();
  app.PressNext();
  ASSERT_EQ(app.Window->WizardStep, 5);
  CButton* finish = app.Window->NextButton;
  app.Window->AdvanceWizard();
  EXPECT_EQ(app.Window->WizardStep, 5);
  EXPECT_EQ(app.Window->NextButton, finish);
  EXPECT_FALSE(app.Ended());  // queued, not yet handled
  app.Pump();
  EXPECT_TRUE(app.Ended());
}

// Steps 0 and 5 have no work. Each is tried where a wrong branch would show:
// with the camera connected (a scan or a write moves bytes, the permission
// step disables Next) and, at 5, on the real done page with the permission
// already revoked (a grant would set it again).
TEST(Commands, StepActionAtPagesWithoutWorkChangesNothing) {
  TAppHarness app;
  app.AddCamera("cam", "selvo-kai");
  app.Start();
  TEvent stepAction;
  stepAction.Kind = EventKindCommand;
  stepAction.Command = CommandStepAction;
  auto expectNothingDone = [&app, &stepAction](const char* page) {
    const std::uint64_t transfers = app.Sim->Transfers("cam");
    const std::string value = app.Value(1);
    const std::int32_t step = app.Window->WizardStep;
    app.Window->ReceiveEvent(&stepAction);
    app.Pump();
    EXPECT_EQ(app.Sim->Transfers("cam"), transfers) << page;
    EXPECT_EQ(app.Window->WizardStep, step) << page;
    EXPECT_TRUE(app.Window->NextButton->IsEnabled()) << page;
    EXPECT_EQ(app.Value(1), value) << page;
    EXPECT_FALSE(app.PermissionSet(1029)) << page;
    EXPECT_TRUE(app.Boxes().empty()) << page;
    EXPECT_FALSE(app.Ended()) << page;
  };
  ASSERT_TRUE(app.Connected());
  app.Window->WizardStep = 0;
  expectNothingDone("step 0");
  app.Window->WizardStep = 1;

  app.PressNext();
  app.Unplug("cam");
  app.Plug("cam");
  app.PressStep();
  app.PressNext();
  app.PressStep();
  app.PressNext();
  ASSERT_EQ(app.Window->WizardStep, 5);
  ASSERT_TRUE(app.Connected());
  expectNothingDone("step 5");
  EXPECT_STREQ(app.Window->NextButton->Text(), "Finish");
}

// Closing the window while the unplug page is shown runs the page's action
// and builds page 3 from inside DeletePeerWindow and Done: nothing may leak or
// touch what is gone.
TEST(Reentrancy, ClosingAtTheUnplugPage) {
  const std::size_t handles = PosixOpenHandleCount();
  {
    TAppHarness app;
    app.AddCamera("cam", "selvo-kaf");
    app.Start();
    app.PressNext();
    ASSERT_EQ(app.Window->WizardStep, 2);
    app.Close();
    EXPECT_TRUE(app.Ended());
    EXPECT_EQ(PosixLiveNotificationCount(), 0u);
    EXPECT_EQ(app.Window->CommandPipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(app.Window->WizardStep, 3);
  }
  EXPECT_EQ(PosixOpenHandleCount(), handles);
}

// A device arrival at the unplug page: its ConnectCamera begins with a
// disconnect that builds page 3, whose scan connects by itself.
TEST(Reentrancy, ArrivalAtTheUnplugPageConnectsOnce) {
  TAppHarness app;
  std::string error;
  ASSERT_TRUE(app.Sim->Add("a", "selvo-kaf", &error, "cam0"));
  ASSERT_TRUE(app.Sim->Add("b", "selvo-kaf", &error, "cam1"));
  app.Sim->Plug("a");
  app.Start();
  app.PressNext();
  ASSERT_EQ(app.Window->WizardStep, 2);
  app.Sim->Plug("b");
  ASSERT_TRUE(app.PumpUntil([](TAppHarness& h) { return h.Window->WizardStep == 3; }));
  app.Pump();
  EXPECT_TRUE(app.Connected());
  EXPECT_EQ(app.Title(), "Selvo KAF");
  EXPECT_EQ(PosixLiveNotificationCount(), 1u);
  EXPECT_EQ(PosixOpenHandleCount(), 5u);  // the three pipes, the hold on the grant, the lock
  EXPECT_TRUE(app.Window->NextButton->IsEnabled());
  EXPECT_TRUE(app.Boxes().empty());
}

// A command that loses the camera while page 2 is shown.
TEST(Reentrancy, LostTransferAtTheUnplugPage) {
  TAppHarness app;
  app.AddCamera("cam", "selvo-kai");
  app.Start();
  app.PressNext();
  app.Sim->Fault("cam", "drop", {1});
  std::uint8_t header[10];
  EXPECT_FALSE(app.Window->ReadEepromShort(0, 10, header));
  // The lost camera ran page 2's action and built page 3, whose scan found the
  // camera still present: connected again, with one registration of its own.
  EXPECT_EQ(app.Window->WizardStep, 3);
  EXPECT_TRUE(app.PermissionSet(1029));
  EXPECT_TRUE(app.Connected());
  EXPECT_EQ(PosixLiveNotificationCount(), 1u);
  EXPECT_EQ(PosixOpenHandleCount(), 5u);  // the three pipes, the hold on the grant, the lock
  EXPECT_TRUE(app.Window->NextButton->IsEnabled());
  EXPECT_TRUE(app.Boxes().empty());
}

}  // namespace
