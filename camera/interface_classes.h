// The eight device interface classes through which a camera's driver is found.
// The class decides the camera's kind, its group and the window title.
#pragma once

#include <cstdint>

#include "win32api.h"

struct TInterfaceClass {
  GUID Guid;
  std::uint32_t KindBit;
  std::uint32_t Group;
  const char* Title;
  std::int32_t TitleLength;
};

constexpr int InterfaceClassCount = 8;
// Searched in this order: class n (1-based) sets kind bit 1 << n.
extern const TInterfaceClass InterfaceClassTable[InterfaceClassCount];
