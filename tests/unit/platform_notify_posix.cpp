// Device notifications: inotify on the class directory, delivered through the
// toolkit's loop, with a window handler that may end its own registration.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "posix_devices.h"
#include "support/platform_test_env_posix.h"
#include "win32api.h"

namespace {

constexpr GUID kSelvoKaf = {
    0xA987BCF1, 0x59F2, 0x4E63, {0xB0, 0x63, 0xAF, 0xE3, 0x8A, 0x88, 0x7A, 0x72}};
constexpr GUID kOrtekKai = {
    0x2BCDDA06, 0xF3C9, 0x4AE6, {0xB2, 0x57, 0x21, 0x9D, 0xEF, 0xA0, 0xAB, 0xCB}};

HWND const kWindow = reinterpret_cast<HWND>(0x1234);

class PlatformNotify : public ::testing::Test {
 protected:
  void SetUp() override {
    ClassDir = PlatformMakeDirectory(Root / PosixGuidText(kSelvoKaf));
    PlatformMakeDirectory(Root / PosixGuidText(kOrtekKai));
  }
  void TearDown() override { EXPECT_EQ(PosixLiveNotificationCount(), 0u); }

  // The 293-byte filter block the program passes.
  HDEVNOTIFY Register(const GUID& guid = kSelvoKaf) {
    unsigned char block[293] = {};
    auto* filter = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(block);
    filter->dbcc_size = sizeof block;
    filter->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter->dbcc_classguid = guid;
    std::strcpy(filter->dbcc_name, (ClassDir + "/cam0").c_str());
    return RegisterDeviceNotificationA(kWindow, block, DEVICE_NOTIFY_WINDOW_HANDLE);
  }

  std::string In(const std::string& name) const { return ClassDir + "/" + name; }
  // Interfaces come and go by rename, as a stand-in makes them.
  void Arrive(const std::string& name) const {
    ASSERT_EQ(mkdir(In("." + name).c_str(), 0755), 0);
    ASSERT_EQ(rename(In("." + name).c_str(), In(name).c_str()), 0);
  }
  void Remove(const std::string& name) const {
    ASSERT_EQ(rename(In(name).c_str(), In(".gone").c_str()), 0);
    ASSERT_EQ(rmdir(In(".gone").c_str()), 0);
  }

  PlatformFaultsReset Faults;
  PlatformTempDir Root;
  PlatformScopedEnv Env{"PELWIN_DEVICE_ROOT", Root.Path().c_str()};
  PlatformFakeLoop Loop;
  std::string ClassDir;
};

TEST_F(PlatformNotify, HandlerMayEndItsRegistrationDuringDelivery) {
  HDEVNOTIFY reg = Register();
  ASSERT_NE(reg, nullptr);
  Loop.OnMessage = [&](const PlatformFakeLoop::TMessage&) {
    EXPECT_TRUE(UnregisterDeviceNotification(reg));
  };
  // Three events in the descriptor's queue at once; the first ends the
  // registration, the rest must not be delivered.
  for (const char* name : {"cam0", "cam1", "cam2"})
    Arrive(name);
  ASSERT_TRUE(Loop.PumpUntil(1));
  EXPECT_EQ(Loop.Messages.size(), 1u);
  EXPECT_EQ(PosixLiveNotificationCount(), 0u);
  EXPECT_FALSE(UnregisterDeviceNotification(reg));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(PlatformNotify, NewRegistrationMadeDuringDeliveryGetsOnlyItsOwnEvents) {
  HDEVNOTIFY reg = Register();
  ASSERT_NE(reg, nullptr);
  HDEVNOTIFY next = nullptr;
  // What the program does on an arrival: disconnect (unregister), connect
  // (register again), which may reuse the descriptor number.
  Loop.OnMessage = [&](const PlatformFakeLoop::TMessage&) {
    if (next)
      return;
    EXPECT_TRUE(UnregisterDeviceNotification(reg));
    next = Register();
    EXPECT_NE(next, nullptr);
  };
  for (const char* name : {"cam0", "cam1", "cam2"})
    Arrive(name);
  ASSERT_TRUE(Loop.PumpUntil(1));
  while (Loop.Pump(0) > 0) {
  }
  EXPECT_EQ(Loop.Messages.size(), 1u);
  ASSERT_NE(next, nullptr);
  EXPECT_NE(next, reg);

  Remove("cam2");
  ASSERT_TRUE(Loop.PumpUntil(2));
  EXPECT_EQ(Loop.Messages.back().Event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(Loop.Messages.back().Name, In("cam2"));
  EXPECT_EQ(Loop.Messages.size(), 2u);
  EXPECT_TRUE(UnregisterDeviceNotification(next));
}

TEST_F(PlatformNotify, StaleCallbackLeavesAReusedDescriptorAlone) {
  HDEVNOTIFY reg = Register();
  ASSERT_NE(reg, nullptr);
  const auto old = *Loop.Watches.begin();
  EXPECT_TRUE(UnregisterDeviceNotification(reg));
  HDEVNOTIFY next = Register();
  ASSERT_NE(next, nullptr);
  Arrive("cam0");
  // A loop that still calls the old callback, with the old data, on whatever
  // descriptor now has that number.
  old.second.Ready(old.first, old.second.Data);
  EXPECT_TRUE(Loop.Messages.empty());
  ASSERT_TRUE(Loop.PumpUntil(1));  // the event waited for its own registration
  EXPECT_EQ(Loop.Messages[0].Name, In("cam0"));
  EXPECT_TRUE(UnregisterDeviceNotification(next));
}

TEST_F(PlatformNotify, RefusesBadFiltersAndFailsAsPlanned) {
  unsigned char block[293] = {};
  auto* filter = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(block);
  filter->dbcc_size = sizeof block;
  filter->dbcc_devicetype = DBT_DEVTYP_PORT;
  filter->dbcc_classguid = kSelvoKaf;
  EXPECT_EQ(RegisterDeviceNotificationA(kWindow, block, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
  filter->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter->dbcc_size = sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) - 1;
  EXPECT_EQ(RegisterDeviceNotificationA(kWindow, block, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
  EXPECT_EQ(RegisterDeviceNotificationA(kWindow, nullptr, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);

  PosixFaults().RegisterNotificationFail = true;
  EXPECT_EQ(Register(), nullptr);
  PosixFaults() = TPosixFaults{};
  // A class without a directory cannot be watched.
  const GUID absent = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(Register(absent), nullptr);
  EXPECT_TRUE(Loop.Watches.empty());

  EXPECT_FALSE(UnregisterDeviceNotification(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(UnregisterDeviceNotification(reinterpret_cast<HDEVNOTIFY>(0x5)));
}

TEST_F(PlatformNotify, RegistersWithoutALoop) {
  PosixSetLoop(nullptr);
  HDEVNOTIFY reg = Register();
  ASSERT_NE(reg, nullptr);
  EXPECT_TRUE(Loop.Watches.empty());
  EXPECT_TRUE(UnregisterDeviceNotification(reg));
}

}  // namespace
