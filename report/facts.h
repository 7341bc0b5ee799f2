// What the report finds, before anything is said about it: the drivers'
// service keys and write permission, the interfaces of each camera class, and
// the camera pelwin would use. Found by pelwin's own code (drivers.cpp,
// devices.cpp); said in words by meanings.cpp and output.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/brisa_config.h"
#include "camera/interface_classes.h"

// ---- Drivers ----

enum class TKeyState { Present, Missing, CannotOpen };
enum class TValueState { Absent, Dword, Unreadable };

struct TDriverFacts {
  const TServiceKey* Key = nullptr;
  TKeyState KeyState = TKeyState::Missing;
  DWORD OpenError = 0;  // CannotOpen: why
  bool Writable = false;
  DWORD WriteError = 0;  // not writable: why
  TValueState Value = TValueState::Absent;
  std::uint32_t Number = 0;  // Dword: the value
  DWORD ValueError = 0;      // Unreadable: why
  THeldState Held = THeldState::NotHeld;
  bool Marked = false;  // pelwin set the value and has not yet seen it gone
};

std::vector<TDriverFacts> FindDrivers();

// ---- Devices ----

struct TInterfaceFacts {
  std::string Path;
  DWORD OpenError = 0;  // 0: opens
};

struct TClassFacts {
  const TInterfaceClass* Class = nullptr;
  DWORD ListError = 0;  // the class's interfaces could not be listed, why
  std::vector<TInterfaceFacts> Interfaces;
};

// How far reading the camera got. Each step names what was being done; the
// last one reached is where it stopped.
enum class TCameraStep {
  Searching,      // looking for the camera
  NoneFound,      // no interface of any class opens
  OpeningPipes,   // found; its pipes being opened
  PipeFailed,     // a pipe does not open
  ReadingHeader,  // connected; the header asked for
  HeaderFailed,
  ReadingBlock,  // the block asked for
  BlockFailed,
  Done,
};

struct TCameraFacts {
  TCameraStep Step = TCameraStep::Searching;
  const TInterfaceClass* Class = nullptr;
  std::string Path;
  TPipeFailure Pipe;       // PipeFailed
  std::string ReadError;   // HeaderFailed, BlockFailed: pelwin's error text
  bool LinkLost = false;   // ... and the connection was gone
  bool HasHeader = false;  // not for Tamis cameras
  std::uint8_t Header[HeaderSize] = {};
  std::vector<std::uint8_t> Block;
  // Decoded as pelwin decodes them (Done).
  std::uint32_t CameraId = 0;
  std::string TypeName;
  std::uint32_t Positions = 0;
  std::string PositionsText;
  bool PositionsHaveText = false;
  std::string WheelText;
};

// A camera's identity header starts with this byte.
constexpr std::uint8_t HeaderMarker = 0x5A;

// pelwin's title for the class, as its title bar shows it.
std::string KindName(const TInterfaceClass& cls);
// The same, with " (A)" or " (B)" when another class has the same title.
std::string ClassName(const TInterfaceClass& cls);
// The 1-based number of the class in pelwin's search order.
int ClassNumber(const TInterfaceClass& cls);

struct TDeviceFindings {
  bool Started = true;  // false: there was no thread to search with
  bool ClassesDone = false;
  std::vector<TClassFacts> Classes;
  bool CameraDone = false;
  TCameraFacts Camera;
};

// The device search: every class's interfaces, then the camera, on a thread of
// its own, waited for at most `seconds`. Findings are handed over as they are
// made, so a device that stops answering still leaves what came before. When
// the camera is not done by then, the thread is left waiting in the link: the
// program must then end without its static destructors.
// `meanwhile` runs on the calling thread while the search has its time.
TDeviceFindings SearchDevices(int seconds, const std::function<void()>& meanwhile);
