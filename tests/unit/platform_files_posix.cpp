// CreateFileA, ReadFile, WriteFile and CloseHandle on interface directories and
// SEQPACKET pipes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "posix_devices.h"
#include "support/platform_alloc_counter_posix.h"
#include "support/platform_test_env_posix.h"
#include "win32api.h"

namespace {

HANDLE Open(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

// Windows-style path: what the program builds from a device path and a suffix.
std::string Backslashed(std::string path) {
  for (char& c : path)
    if (c == '/')
      c = '\\';
  return path;
}

class PlatformFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    Baseline = PosixOpenHandleCount();
    Interface = PlatformMakeDirectory(Dir / "cam0");
  }
  void TearDown() override { EXPECT_EQ(PosixOpenHandleCount(), Baseline); }

  // A connected pipe: our handle and the server's end of it.
  bool Connect(const std::string& path, HANDLE* handle, int* peer) {
    Server = std::make_unique<PlatformSeqpacketServer>(path);
    if (!Server->Listening())
      return false;
    *handle = Open(Backslashed(path));
    *peer = Server->Accept();
    return *handle != INVALID_HANDLE_VALUE && *peer >= 0;
  }

  PlatformFaultsReset Faults;
  PlatformTempDir Dir;
  std::string Interface;
  std::unique_ptr<PlatformSeqpacketServer> Server;
  std::size_t Baseline = 0;
};

TEST_F(PlatformFiles, RefusesWhatIsNoDeviceObject) {
  std::ofstream(Interface + "/file") << "x";
  ASSERT_EQ(mkfifo((Interface + "/fifo").c_str(), 0600), 0);
  {
    // A socket file whose server has gone.
    PlatformSeqpacketServer gone(Interface + "/1");
  }
  const struct {
    std::string Path;
    DWORD Error;
  } cases[] = {
      {Interface + "/file", ERROR_ACCESS_DENIED},
      {Interface + "/fifo", ERROR_ACCESS_DENIED},  // and must not block
      {Interface + "/1", ERROR_FILE_NOT_FOUND},
      {Interface + "/missing", ERROR_FILE_NOT_FOUND},
      {Interface + "/missing/0", ERROR_PATH_NOT_FOUND},
      {Interface + "/file/0", ERROR_PATH_NOT_FOUND},
      {"", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(Open(Backslashed(c.Path)), INVALID_HANDLE_VALUE) << c.Path;
    EXPECT_EQ(GetLastError(), c.Error) << c.Path;
  }
  EXPECT_EQ(CreateFileA(nullptr, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
}

TEST_F(PlatformFiles, FaultPlanFailsPathsWithTheSuffix) {
  PosixFaults().CreateFileFailSuffix = "cam0/1";
  HANDLE pipe = INVALID_HANDLE_VALUE;
  int peer = -1;
  ASSERT_TRUE(Connect(Interface + "/0", &pipe, &peer));  // a different suffix opens
  EXPECT_TRUE(CloseHandle(pipe));
  close(peer);
  PlatformSeqpacketServer data(Interface + "/1");
  EXPECT_EQ(Open(Backslashed(Interface) + "\\1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// One message per call, cutting and hang-ups are rows of the conformance
// suite (tests/conformance); what is left here is the tool's own refusal.
TEST_F(PlatformFiles, RefusesOverlappedTransfers) {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  int peer = -1;
  ASSERT_TRUE(Connect(Interface + "/0", &pipe, &peer));
  unsigned char got[4];
  DWORD moved = 0;
  char overlapped[32] = {};
  EXPECT_FALSE(ReadFile(pipe, got, 1, &moved, overlapped));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(WriteFile(pipe, got, 1, &moved, overlapped));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(CloseHandle(pipe));
  close(peer);
}

TEST_F(PlatformFiles, TransfersDoNotAllocate) {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  int peer = -1;
  ASSERT_TRUE(Connect(Interface + "/0", &pipe, &peer));
  unsigned char frame[64] = {0x12, 0, 10};
  DWORD moved = 0;
  const std::size_t before = PlatformAllocationCount();
  for (int i = 0; i < 50; ++i) {
    WriteFile(pipe, frame, 3, &moved, nullptr);
    send(peer, frame, 11, 0);
    ReadFile(pipe, frame, 64, &moved, nullptr);
  }
  ReadFile(INVALID_HANDLE_VALUE, frame, 64, &moved, nullptr);
  EXPECT_EQ(PlatformAllocationCount(), before);
  EXPECT_TRUE(CloseHandle(pipe));
  close(peer);
}

TEST_F(PlatformFiles, StaleHandlesAreRefusedEvenWhenTheirDescriptorIsReused) {
  HANDLE first = Open(Interface);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(first));
  HANDLE second = Open(Interface);  // most likely the same descriptor number
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_NE(second, first);

  DWORD moved = 0;
  char buffer[4];
  EXPECT_FALSE(CloseHandle(first));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ReadFile(first, buffer, 4, &moved, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(WriteFile(first, buffer, 4, &moved, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(CloseHandle(nullptr));
  // The second handle was not touched by any of that.
  EXPECT_TRUE(CloseHandle(second));
}

TEST_F(PlatformFiles, ReadingADirectoryHandleFails) {
  HANDLE dir = Open(Interface);
  char buffer[4];
  DWORD moved = 0;
  EXPECT_FALSE(ReadFile(dir, buffer, sizeof buffer, &moved, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_TRUE(CloseHandle(dir));
}

}  // namespace
