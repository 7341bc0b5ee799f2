// Image files and registry value files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "sim/linux/simulator.h"
#include "sim/sim_support.h"

using namespace camsim;
using namespace camsim_test;

TEST(ImageFile, SaveReplacesAtomicallyAndLoadsBack) {
  TempDir dir;
  const std::string path = dir / "cam.eeprom";
  std::vector<uint8_t> image(256);
  for (size_t i = 0; i < image.size(); ++i) {
    image[i] = uint8_t(i * 3);
  }
  std::string error;
  ASSERT_TRUE(SaveImageFile(path, image, &error)) << error;
  struct stat first;
  ASSERT_EQ(::stat(path.c_str(), &first), 0);
  image[7] = 0xEE;
  ASSERT_TRUE(SaveImageFile(path, image, &error)) << error;
  struct stat second;
  ASSERT_EQ(::stat(path.c_str(), &second), 0);
  // A new inode means the file was renamed into place, never rewritten in place.
  EXPECT_NE(first.st_ino, second.st_ino);
  EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"cam.eeprom"}) << "no temporary left";
  std::vector<uint8_t> loaded;
  ASSERT_TRUE(LoadImageFile(path, 256, &loaded, &error)) << error;
  EXPECT_EQ(loaded, image);
}

TEST(ImageFile, WrongSizeOrUnreadableIsAnErrorAndLeftAlone) {
  TempDir dir;
  const std::string path = dir / "cam.eeprom";
  WriteFile(path, std::string(255, 'x'));
  std::vector<uint8_t> loaded = {1, 2, 3};
  std::string error;
  EXPECT_FALSE(LoadImageFile(path, 256, &loaded, &error));
  EXPECT_NE(error.find(path), std::string::npos);
  EXPECT_NE(error.find("255"), std::string::npos);
  EXPECT_EQ(loaded, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(ReadFile(path).size(), 255u);

  ASSERT_EQ(::mkdir((dir / "dir.eeprom").c_str(), 0700), 0);
  EXPECT_FALSE(LoadImageFile(dir / "dir.eeprom", 256, &loaded, &error));
  EXPECT_FALSE(LoadImageFile(dir / "missing.eeprom", 256, &loaded, &error));

  // A FIFO in an image file's place is refused at once: waiting for a writer
  // would hold the server, and every camera with it.
  const std::string fifo = dir / "fifo.eeprom";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto load = std::async(std::launch::async, [&] {
    std::vector<uint8_t> image;
    std::string why;
    return LoadImageFile(fifo, 256, &image, &why);
  });
  if (load.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
    // Let the waiting open go, so that the test can end.
    const int writer = ::open(fifo.c_str(), O_WRONLY);
    ::close(writer);
    ADD_FAILURE() << "loading a FIFO waited for a writer";
  }
  EXPECT_FALSE(load.get());

  EXPECT_FALSE(SaveImageFile(dir / "no/such/dir/cam.eeprom", loaded, &error));
  EXPECT_FALSE(error.empty());
}

// How a value file reads is a conformance row (tests/conformance), held to the
// tool and to camsim alike; here, where camsim puts keys and what it writes.
TEST(Registry, KeysAreDirectoriesAndValuesAreWrittenInLowerCase) {
  TempDir root;
  const std::string key = "SYSTEM\\CurrentControlSet\\Services\\ralcamI\\Parameters";
  std::string error;
  ASSERT_TRUE(EnsureRegistryKey(root.Path(), key, &error)) << error;
  const std::string dir = root / "SYSTEM/CurrentControlSet/Services/ralcamI/Parameters";
  ASSERT_EQ(RegistryKeyDir(root.Path(), key), dir);
  ASSERT_TRUE(Exists(dir));
  EXPECT_EQ(ReadRegistryDword(root.Path(), key, "AllowEEPROMWrite"), std::nullopt);
  ASSERT_TRUE(WriteRegistryDword(root.Path(), key, "Other", 0x12AB, &error)) << error;
  const auto text = ReadFile(dir + "/Other");
  EXPECT_EQ(std::string(text.begin(), text.end()), "dword:000012ab\n");
  EXPECT_EQ(ReadRegistryDword(root.Path(), key, "Other"), 0x12ABu);
}

TEST(Defaults, EnvironmentChains) {
  struct Saved {
    const char* name;
    std::optional<std::string> value;
  };
  std::vector<Saved> saved;
  for (const char* name : {"PELWIN_DEVICE_ROOT", "XDG_RUNTIME_DIR", "CAMSIM_STATE",
                           "XDG_STATE_HOME", "HOME", "PELWIN_MACHINE_REGISTRY"}) {
    const char* value = std::getenv(name);
    saved.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
    ::unsetenv(name);
  }
  EXPECT_EQ(DefaultDeviceRoot(), "/tmp/pelwin-" + std::to_string(::getuid()) + "/devices");
  ::setenv("XDG_RUNTIME_DIR", "/run/user/7", 1);
  EXPECT_EQ(DefaultDeviceRoot(), "/run/user/7/pelwin/devices");
  ::setenv("PELWIN_DEVICE_ROOT", "/x/devices", 1);
  EXPECT_EQ(DefaultDeviceRoot(), "/x/devices");
  EXPECT_EQ(DefaultMachineRegistry(), "/etc/pelwin/registry");
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(DefaultStateDir(), "/home/u/.local/state/camsim");
  ::setenv("XDG_STATE_HOME", "/s", 1);
  EXPECT_EQ(DefaultStateDir(), "/s/camsim");
  ::setenv("CAMSIM_STATE", "/c", 1);
  EXPECT_EQ(DefaultStateDir(), "/c");
  for (const auto& s : saved) {
    if (s.value) {
      ::setenv(s.name, s.value->c_str(), 1);
    } else {
      ::unsetenv(s.name);
    }
  }
}
