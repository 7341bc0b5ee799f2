// The POSIX registry store: keys as directories, values as "dword:" files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "posix_faults.h"
#include "posix_registry.h"
#include "registry_store.h"
#include "support/platform_test_env_posix.h"

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class PlatformRegistry : public ::testing::Test {
 protected:
  std::string UserKey(const std::string& path) const { return User.Path() + "/" + path; }

  PlatformTempDir User;
  PlatformTempDir Machine;
  PlatformScopedEnv UserEnv{"PELWIN_USER_REGISTRY", User.Path().c_str()};
  PlatformScopedEnv MachineEnv{"PELWIN_MACHINE_REGISTRY", Machine.Path().c_str()};
};

TEST_F(PlatformRegistry, StoresValuesAsDwordFilesInNestedKeys) {
  TRegStoreKey* key = RegStoreOpen(HKEY_CURRENT_USER, "Software\\Varnosti\\pelwin", true);
  ASSERT_NE(key, nullptr);
  TRegStoreKey* section = RegStoreOpenSub(key, "Window", true);
  ASSERT_NE(section, nullptr);
  EXPECT_TRUE(RegStoreSetDword(section, "XPos", static_cast<std::uint32_t>(-5)));
  EXPECT_TRUE(RegStoreSetDword(section, "YPos", 0x7fffffff));
  EXPECT_TRUE(RegStoreSetDword(section, "YPos", 100));  // replaced in place

  const std::string dir = UserKey("Software/Varnosti/pelwin/Window");
  EXPECT_EQ(ReadText(dir + "/XPos"), "dword:fffffffb\n");
  EXPECT_EQ(ReadText(dir + "/YPos"), "dword:00000064\n");
  EXPECT_EQ(Entries(dir), (std::vector<std::string>{"XPos", "YPos"}));  // no temporaries left

  std::uint32_t x = 0, y = 0;
  EXPECT_TRUE(RegStoreGetDword(section, "XPos", &x));
  EXPECT_TRUE(RegStoreGetDword(section, "YPos", &y));
  EXPECT_EQ(static_cast<std::int32_t>(x), -5);
  EXPECT_EQ(y, 100u);

  EXPECT_TRUE(RegStoreDeleteValue(section, "XPos"));
  EXPECT_FALSE(RegStoreDeleteValue(section, "XPos"));
  EXPECT_FALSE(RegStoreGetDword(section, "XPos", &x));
  RegStoreClose(section);
  RegStoreClose(key);

  // Names are spelled exactly.
  EXPECT_EQ(RegStoreOpen(HKEY_CURRENT_USER, "software\\varnosti\\pelwin", false), nullptr);
}

TEST_F(PlatformRegistry, OpensOnlyExistingKeysUnlessAskedToCreate) {
  EXPECT_EQ(RegStoreOpen(HKEY_LOCAL_MACHINE, "SYSTEM\\Services\\ralcamB\\Parameters", false),
            nullptr);
  EXPECT_FALSE(std::filesystem::exists(Machine.Path() + "/SYSTEM"));
  TRegStoreKey* key =
      RegStoreOpen(HKEY_LOCAL_MACHINE, "SYSTEM\\Services\\ralcamB\\Parameters", true);
  ASSERT_NE(key, nullptr);
  EXPECT_TRUE(RegStoreSetDword(key, "AllowEEPROMWrite", 1));
  RegStoreClose(key);
  EXPECT_EQ(ReadText(Machine.Path() + "/SYSTEM/Services/ralcamB/Parameters/AllowEEPROMWrite"),
            "dword:00000001\n");
  EXPECT_EQ(RegStoreOpenSub(nullptr, "x", true), nullptr);
  EXPECT_EQ(RegStoreOpen(reinterpret_cast<HKEY>(0x80000003u), "", true), nullptr);

  // The empty path is the root key itself; a missing root is made on demand.
  PlatformScopedEnv fresh("PELWIN_USER_REGISTRY", (User.Path() + "/not/yet").c_str());
  EXPECT_EQ(RegStoreOpen(HKEY_CURRENT_USER, "", false), nullptr);
  key = RegStoreOpen(HKEY_CURRENT_USER, "", true);
  ASSERT_NE(key, nullptr);
  RegStoreClose(key);
  EXPECT_TRUE(std::filesystem::is_directory(User.Path() + "/not/yet"));
}

TEST_F(PlatformRegistry, RootsFollowTheEnvironment) {
  EXPECT_EQ(PosixRegistryRoot(HKEY_CURRENT_USER), User.Path());
  EXPECT_EQ(PosixRegistryRoot(HKEY_LOCAL_MACHINE), Machine.Path());
  PlatformScopedEnv noUser("PELWIN_USER_REGISTRY", nullptr);
  PlatformScopedEnv noMachine("PELWIN_MACHINE_REGISTRY", nullptr);
  PlatformScopedEnv config("XDG_CONFIG_HOME", "/cfg");
  EXPECT_EQ(PosixRegistryRoot(HKEY_CURRENT_USER), "/cfg/pelwin/registry");
  EXPECT_EQ(PosixRegistryRoot(HKEY_LOCAL_MACHINE), "/etc/pelwin/registry");
  PlatformScopedEnv noConfig("XDG_CONFIG_HOME", nullptr);
  PlatformScopedEnv home("HOME", "/home/someone");
  EXPECT_EQ(PosixRegistryRoot(HKEY_CURRENT_USER), "/home/someone/.config/pelwin/registry");
}

TEST_F(PlatformRegistry, KeyPathsNeverLeaveTheRoot) {
  std::filesystem::create_directories(User.Path() + "/a/b");
  for (const char* path :
       {"..", ".", "a\\..\\..", "a\\.\\b", "a/b", "\\a", "a\\", "a\\\\b", "..\\escaped"}) {
    EXPECT_EQ(RegStoreOpen(HKEY_CURRENT_USER, path, true), nullptr) << path;
  }
  TRegStoreKey* a = RegStoreOpen(HKEY_CURRENT_USER, "a", false);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(RegStoreOpenSub(a, "..", true), nullptr);
  EXPECT_EQ(RegStoreOpenSub(a, "../a", true), nullptr);
  EXPECT_EQ(RegStoreOpenSub(a, nullptr, true), nullptr);
  for (const char* name : {"", ".", "..", "../x", "x/y"}) {
    EXPECT_FALSE(RegStoreSetDword(a, name, 1)) << name;
    EXPECT_FALSE(RegStoreDeleteValue(a, name)) << name;
  }
  EXPECT_FALSE(RegStoreSetDword(a, nullptr, 1));
  // A symbolic link inside the store leads out of it: not followed.
  ASSERT_EQ(symlink("/tmp", (User.Path() + "/a/out").c_str()), 0);
  EXPECT_EQ(RegStoreOpenSub(a, "out", false), nullptr);
  RegStoreClose(a);
  EXPECT_EQ(Entries(User.Path()), std::vector<std::string>{"a"});
  EXPECT_FALSE(
      std::filesystem::exists(std::filesystem::path(User.Path()).parent_path() / "escaped"));
}

TEST_F(PlatformRegistry, KeyThatIsAFileDoesNotOpen) {
  WriteText(User.Path() + "/Software", "not a key");
  EXPECT_EQ(RegStoreOpen(HKEY_CURRENT_USER, "Software", false), nullptr);
  EXPECT_EQ(RegStoreOpen(HKEY_CURRENT_USER, "Software", true), nullptr);
  EXPECT_EQ(RegStoreOpen(HKEY_CURRENT_USER, "Software\\Varnosti", true), nullptr);
}

TEST_F(PlatformRegistry, ValueNameTakenByADirectoryFailsCleanly) {
  TRegStoreKey* key = RegStoreOpen(HKEY_CURRENT_USER, "k", true);
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(mkdir(UserKey("k/AllowEEPROMWrite").c_str(), 0755), 0);
  EXPECT_FALSE(RegStoreSetDword(key, "AllowEEPROMWrite", 1));
  std::uint32_t value = 42;
  EXPECT_FALSE(RegStoreGetDword(key, "AllowEEPROMWrite", &value));
  EXPECT_FALSE(RegStoreDeleteValue(key, "AllowEEPROMWrite"));
  EXPECT_EQ(value, 42u);
  EXPECT_EQ(Entries(UserKey("k")), std::vector<std::string>{"AllowEEPROMWrite"});
  RegStoreClose(key);
}

// Callers tell a value that is gone from one that stands by the last error: only
// what is not there is ERROR_FILE_NOT_FOUND.
TEST_F(PlatformRegistry, FailuresSayWhetherTheValueIsThere) {
  const std::string dir = Machine.Path() + "/S/P";
  std::filesystem::create_directories(dir);
  const std::string value = dir + "/AllowEEPROMWrite";
  enum class TOp { Open, Read, Delete, CanWrite };
  struct TRow {
    const char* Name;
    const char* File;  // the value file's contents; nullptr: none; "<dir>": a directory
    TPosixFaults Faults;
    TOp Op;
    DWORD Error;
  };
  TPosixFaults readOnly;
  readOnly.MachineRegistryReadOnly = true;
  TPosixFaults unreadableValues;
  unreadableValues.MachineRegistryUnreadable = TPosixFaults::TUnreadable::Values;
  TPosixFaults unreadableKeys;
  unreadableKeys.MachineRegistryUnreadable = TPosixFaults::TUnreadable::Keys;
  const TRow rows[] = {
      {"missing value read", nullptr, {}, TOp::Read, ERROR_FILE_NOT_FOUND},
      {"missing value deleted", nullptr, {}, TOp::Delete, ERROR_FILE_NOT_FOUND},
      {"directory read as a value", "<dir>", {}, TOp::Read, ERROR_FILE_NOT_FOUND},
      {"directory deleted as a value", "<dir>", {}, TOp::Delete, ERROR_FILE_NOT_FOUND},
      {"upper-case digits", "dword:0000000A\n", {}, TOp::Read, ERROR_UNSUPPORTED_TYPE},
      {"text", "hello\n", {}, TOp::Read, ERROR_UNSUPPORTED_TYPE},
      {"value read refused", "dword:00000001\n", unreadableValues, TOp::Read, ERROR_ACCESS_DENIED},
      {"read-only key, value there", "dword:00000001\n", readOnly, TOp::Delete,
       ERROR_ACCESS_DENIED},
      {"read-only key, value missing", nullptr, readOnly, TOp::Delete, ERROR_ACCESS_DENIED},
      {"key open refused", "dword:00000001\n", unreadableKeys, TOp::Open, ERROR_ACCESS_DENIED},
      {"read-only key asked for writing", nullptr, readOnly, TOp::CanWrite, ERROR_ACCESS_DENIED},
      {"refused key asked for writing", nullptr, unreadableKeys, TOp::CanWrite,
       ERROR_ACCESS_DENIED},
  };
  for (const TRow& row : rows) {
    std::filesystem::remove_all(value);
    if (row.File != nullptr && std::string(row.File) == "<dir>") {
      std::filesystem::create_directory(value);
    } else if (row.File != nullptr) {
      WriteText(value, row.File);
    }
    PosixFaults() = row.Faults;
    SetLastError(ERROR_SUCCESS);
    if (row.Op == TOp::CanWrite) {
      EXPECT_FALSE(RegStoreCanWrite(HKEY_LOCAL_MACHINE, "S\\P")) << row.Name;
      EXPECT_EQ(GetLastError(), row.Error) << row.Name;
      PosixFaults() = TPosixFaults{};
      continue;
    }
    TRegStoreKey* key = RegStoreOpen(HKEY_LOCAL_MACHINE, "S\\P", false);
    if (row.Op == TOp::Open) {
      EXPECT_EQ(key, nullptr) << row.Name;
    } else if (key == nullptr) {
      ADD_FAILURE() << row.Name << ": the key did not open";
    } else {
      std::uint32_t read = 0;
      EXPECT_FALSE(row.Op == TOp::Read ? RegStoreGetDword(key, "AllowEEPROMWrite", &read)
                                       : RegStoreDeleteValue(key, "AllowEEPROMWrite"))
          << row.Name;
    }
    EXPECT_EQ(GetLastError(), row.Error) << row.Name;
    RegStoreClose(key);
    PosixFaults() = TPosixFaults{};
  }
  // A key that is not there, and the fault's absence: the same key opens.
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(RegStoreOpen(HKEY_LOCAL_MACHINE, "S\\Q", false), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(RegStoreCanWrite(HKEY_LOCAL_MACHINE, "S\\Q"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  // Asking leaves no trace: no value, no temporary file.
  std::filesystem::remove_all(value);
  EXPECT_TRUE(RegStoreCanWrite(HKEY_LOCAL_MACHINE, "S\\P"));
  EXPECT_TRUE(Entries(dir).empty());
  TRegStoreKey* key = RegStoreOpen(HKEY_LOCAL_MACHINE, "S\\P", false);
  EXPECT_NE(key, nullptr);
  RegStoreClose(key);
}

}  // namespace
