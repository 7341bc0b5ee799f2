// The sizes of the setup API's records that pelwin hands to Windows with their
// size in cbSize. setupapi refuses any other size, and the fixed part of the
// detail record differs by architecture (packed on 32-bit Windows): a header
// that left another packing or alignment in force would make every camera
// lookup fail without a word.
#include <gtest/gtest.h>

#include <cstddef>

#include "win32api.h"

namespace {

struct TExpectedSizes {
  std::size_t InterfaceData;
  std::size_t DetailFixedPart;
  std::size_t DevicePathOffset;
};

#if defined(_WIN64)
constexpr TExpectedSizes Expected{32, 8, 4};
#else
constexpr TExpectedSizes Expected{28, 5, 4};
#endif

TEST(Win32Records, SetupApiRecordsHaveTheSizesWindowsChecks) {
  EXPECT_EQ(sizeof(void*), sizeof(ULONG_PTR));
  EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DATA), Expected.InterfaceData);
  EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), Expected.DetailFixedPart);
  EXPECT_EQ(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath), Expected.DevicePathOffset);
  // The broadcast header that WM_DEVICECHANGE points at: three DWORDs everywhere.
  EXPECT_EQ(sizeof(DEV_BROADCAST_HDR), 12U);
}

}  // namespace
