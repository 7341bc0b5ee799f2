// Device interface sets of the POSIX layer, driven the way the program's
// search drives them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "posix_devices.h"
#include "support/platform_test_env_posix.h"
#include "win32api.h"

namespace {

constexpr GUID kSelvoKai = {
    0x3789B7D9, 0xA441, 0x4B8B, {0xA9, 0x59, 0xEE, 0x19, 0xDB, 0x0B, 0x80, 0x02}};
constexpr GUID kTamisA = {
    0xAD8D593C, 0x2B2D, 0x4292, {0x8A, 0x80, 0xCD, 0x4D, 0xA1, 0x3F, 0xB1, 0x6A}};

struct TMember {
  bool Enumerated = false;
  DWORD EnumError = 0;
  DWORD RequiredSize = 0;
  bool DetailRead = false;
  DWORD DetailError = 0;
  std::string Path;
};

class PlatformDevices : public ::testing::Test {
 protected:
  void SetUp() override { ClassDir = PlatformMakeDirectory(Root / PosixGuidText(kSelvoKai)); }
  void TearDown() override { EXPECT_EQ(PosixLiveDeviceSetCount(), 0u); }

  void AddInterface(const std::string& name) { PlatformMakeDirectory(ClassDir + "/" + name); }

  // The search loop of the program: enumerate, ask the size, read the detail,
  // until ERROR_NO_MORE_ITEMS or `limit` indices.
  std::vector<TMember> Walk(const GUID& guid, DWORD limit = 16) {
    std::vector<TMember> members;
    HDEVINFO set =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    if (set == INVALID_HANDLE_VALUE)
      return members;
    for (DWORD index = 0; index < limit; ++index) {
      TMember m;
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof data;
      m.Enumerated = SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data);
      if (!m.Enumerated) {
        m.EnumError = GetLastError();
        if (m.EnumError == ERROR_NO_MORE_ITEMS)
          break;
        members.push_back(m);
        continue;
      }
      EXPECT_EQ(std::memcmp(&data.InterfaceClassGuid, &guid, sizeof guid), 0);
      EXPECT_FALSE(
          SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &m.RequiredSize, nullptr));
      EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
      if (m.RequiredSize >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        std::vector<char> block(m.RequiredSize);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
        detail->cbSize = sizeof *detail;
        m.DetailRead =
            SetupDiGetDeviceInterfaceDetailA(set, &data, detail, m.RequiredSize, nullptr, nullptr);
        if (m.DetailRead)
          m.Path = detail->DevicePath;
        else
          m.DetailError = GetLastError();
      }
      members.push_back(m);
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return members;
  }

  std::vector<std::string> Paths(const GUID& guid) {
    std::vector<std::string> paths;
    for (const TMember& m : Walk(guid))
      paths.push_back(m.Path);
    return paths;
  }

  PlatformFaultsReset Faults;
  PlatformTempDir Root;
  PlatformScopedEnv Env{"PELWIN_DEVICE_ROOT", Root.Path().c_str()};
  std::string ClassDir;
};

TEST_F(PlatformDevices, ReportsAbsolutePathsForARelativeRoot) {
  AddInterface("cam0");
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  ASSERT_EQ(chdir("/tmp"), 0);
  PlatformScopedEnv relative("PELWIN_DEVICE_ROOT", Root.Path().substr(5).c_str());
  const auto paths = Paths(kSelvoKai);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(paths, std::vector<std::string>{ClassDir + "/cam0"});
}

TEST_F(PlatformDevices, RootFollowsTheEnvironmentAtEveryCall) {
  EXPECT_EQ(PosixDeviceRoot(), Root.Path());
  {
    PlatformScopedEnv noRoot("PELWIN_DEVICE_ROOT", nullptr);
    PlatformScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/1234");
    EXPECT_EQ(PosixDeviceRoot(), "/run/user/1234/pelwin/devices");
    PlatformScopedEnv noRuntime("XDG_RUNTIME_DIR", nullptr);
    EXPECT_EQ(PosixDeviceRoot(), "/tmp/pelwin-" + std::to_string(getuid()) + "/devices");
  }
  EXPECT_EQ(PosixDeviceRoot(), Root.Path());
}

TEST_F(PlatformDevices, SetIsASnapshot) {
  AddInterface("cam0");
  AddInterface("cam1");
  HDEVINFO set =
      SetupDiGetClassDevsA(&kSelvoKai, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  ASSERT_EQ(rmdir((ClassDir + "/cam0").c_str()), 0);
  AddInterface("cam2");

  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  char block[512];
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block);
  detail->cbSize = sizeof *detail;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kSelvoKai, 0, &data));
  EXPECT_FALSE(
      SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof block, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kSelvoKai, 1, &data));
  EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof block, nullptr, nullptr));
  EXPECT_STREQ(detail->DevicePath, (ClassDir + "/cam1").c_str());
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kSelvoKai, 2, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  // Another class's GUID finds nothing in this class's set.
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kTamisA, 0, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(PlatformDevices, RefusesBadArgumentsAndStaleSets) {
  EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  AddInterface("cam0");
  HDEVINFO set =
      SetupDiGetClassDevsA(&kSelvoKai, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data - 1;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kSelvoKai, 0, &data));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kSelvoKai, 0, &data));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kSelvoKai, 0, &data));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  DWORD size = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(PlatformDevices, DetailFollowsTheSizeProtocol) {
  AddInterface("cam0");
  const std::string path = ClassDir + "/cam0";
  HDEVINFO set =
      SetupDiGetClassDevsA(&kSelvoKai, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kSelvoKai, 0, &data));

  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);

  std::vector<char> block(required + 8, 'x');
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
  detail->cbSize = 5;  // the 32-bit size, wrong here
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
  detail->cbSize = sizeof *detail;
  DWORD reported = 0;
  EXPECT_FALSE(
      SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required - 1, &reported, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(reported, required);
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(std::string(detail->DevicePath), path);
  EXPECT_EQ(block[required], 'x');  // nothing written past the size given
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(PlatformDevices, FaultPlanFailsTheNamedCalls) {
  for (const char* name : {"cam0", "cam1", "cam2"})
    AddInterface(name);

  PosixFaults().ClassDevsFail = true;
  EXPECT_EQ(
      SetupDiGetClassDevsA(&kSelvoKai, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
      INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  PosixFaults() = TPosixFaults{};

  PosixFaults().EnumFailIndex = 1;
  PosixFaults().EnumError = ERROR_NOT_ENOUGH_MEMORY;
  auto members = Walk(kSelvoKai);
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(members[0].Path, ClassDir + "/cam0");
  EXPECT_FALSE(members[1].Enumerated);
  EXPECT_EQ(members[1].EnumError, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(members[2].Path, ClassDir + "/cam2");
  PosixFaults() = TPosixFaults{};

  PosixFaults().EnumAlwaysFail = true;
  members = Walk(kSelvoKai, 5);
  ASSERT_EQ(members.size(), 5u);  // never the end of the list
  for (const TMember& m : members)
    EXPECT_EQ(m.EnumError, ERROR_GEN_FAILURE);
  PosixFaults() = TPosixFaults{};

  PosixFaults().DetailFailIndex = 0;
  PosixFaults().NoSizeIndex = 2;
  members = Walk(kSelvoKai);
  ASSERT_EQ(members.size(), 3u);
  EXPECT_FALSE(members[0].DetailRead);
  EXPECT_GE(members[0].RequiredSize, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
  EXPECT_EQ(members[1].Path, ClassDir + "/cam1");
  EXPECT_LT(members[2].RequiredSize, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
  EXPECT_FALSE(members[2].DetailRead);
}

TEST(PlatformGuidText, FormatsAndParsesTheClassDirectoryName) {
  EXPECT_EQ(PosixGuidText(kSelvoKai), "{3789B7D9-A441-4B8B-A959-EE19DB0B8002}");
  GUID parsed{};
  ASSERT_TRUE(PosixGuidFromText("{ad8d593c-2b2d-4292-8a80-cd4da13fb16a}", &parsed));
  EXPECT_EQ(std::memcmp(&parsed, &kTamisA, sizeof parsed), 0);
  for (const char* bad :
       {"", "AD8D593C-2B2D-4292-8A80-CD4DA13FB16A", "{AD8D593C-2B2D-4292-8A80-CD4DA13FB16}",
        "{AD8D593C-2B2D-4292-8A80-CD4DA13FB16AA}", "{AD8D593C+2B2D-4292-8A80-CD4DA13FB16A}",
        "{AD8D593C-2B2D-4292-8A80-CD4DA13FB16G}"})
    EXPECT_FALSE(PosixGuidFromText(bad, &parsed)) << bad;
}

}  // namespace
