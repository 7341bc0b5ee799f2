// The four EEPROM commands: one request frame on the command pipe, one reply
// frame from the data pipe, sharing one 64-byte buffer and nothing on the heap.
#include "app/brisa_config.h"
#include "app/texts.h"

namespace {

constexpr std::uint8_t OpcodeReadEeprom = 0x12;
constexpr std::uint8_t OpcodeWriteEeprom = 0x13;
constexpr std::uint8_t StatusSuccess = 0x80;
constexpr std::uint8_t StatusInvalidIndex = 0x81;
constexpr std::uint8_t StatusInvalidParameter = 0x82;
constexpr std::uint8_t StatusUnknownInstruction = 0x83;

constexpr std::uint32_t FrameSize = 64;
constexpr std::uint32_t ShortHeader = 3;
constexpr std::uint32_t LongHeader = 6;
constexpr std::uint32_t MaxReadCount = FrameSize - 1;
constexpr std::uint32_t MaxShortWriteCount = FrameSize - ShortHeader;
constexpr std::uint32_t MaxLongWriteCount = FrameSize - LongHeader;

void PutShortAddress(std::uint8_t* frame, std::uint8_t opcode, std::uint32_t address,
                     std::uint32_t count) {
  frame[0] = opcode;
  frame[1] = static_cast<std::uint8_t>(address & 0xFF);
  frame[2] = static_cast<std::uint8_t>(count);
}

void PutLongAddress(std::uint8_t* frame, std::uint8_t opcode, std::uint32_t address,
                    std::uint32_t count) {
  frame[0] = opcode;
  frame[1] = static_cast<std::uint8_t>(address);
  frame[2] = static_cast<std::uint8_t>(address >> 8);
  frame[3] = static_cast<std::uint8_t>(address >> 16);
  frame[4] = static_cast<std::uint8_t>(address >> 24);
  frame[5] = static_cast<std::uint8_t>(count);
}

}  // namespace

void StatusText(std::uint8_t status, std::int32_t capacity, char* text) {
  constexpr char prefix[] = "Instruction failed: ";
  Str::CopyA(capacity, text, Len(prefix), prefix);
  switch (status) {
    case StatusInvalidIndex:
      Str::AppendA(capacity, text, Len("Invalid index"), "Invalid index");
      break;
    case StatusInvalidParameter:
      Str::AppendA(capacity, text, Len("Invalid parameter"), "Invalid parameter");
      break;
    case StatusUnknownInstruction:
      Str::AppendA(capacity, text, Len("Unknown instruction"), "Unknown instruction");
      break;
    default:
      Str::AppendA(capacity, text, Len("Unknown return code"), "Unknown return code");
      break;
  }
}

// Sends the request and receives the reply into the same frame. False when the
// camera is gone: then the link has been closed and ErrorText says so.
bool CBrisaConfig::Transfer(std::uint8_t* frame, std::uint32_t requestLength,
                            std::uint32_t replyLength, std::uint32_t* received) {
  DWORD moved = 0;
  if (!WriteFile(CommandPipe, frame, requestLength, &moved, nullptr)) {
    moved = 0;
  }
  if (moved != 0) {
    moved = 0;
    if (!ReadFile(DataPipe, frame, replyLength, &moved, nullptr)) {
      moved = 0;
    }
  }
  if (moved == 0) {
    constexpr char text[] = "Camera not connected";
    Str::CopyA(ErrorTextCapacity, ErrorText, Len(text), text);
    DisconnectCamera();
    return false;
  }
  *received = moved;
  return true;
}

bool CBrisaConfig::ReadEeprom(std::uint8_t* frame, std::uint32_t requestLength, std::uint32_t count,
                              std::uint8_t* destination) {
  std::uint32_t received = 0;
  if (!Transfer(frame, requestLength, FrameSize, &received)) {
    return false;
  }
  if (frame[0] != StatusSuccess) {
    StatusText(frame[0], ErrorTextCapacity, ErrorText);
    return false;
  }
  // A reply without all the bytes asked for would hand over the request's
  // leftovers as EEPROM contents, and a later write would store them.
  if (received < count + 1) {
    constexpr char text[] = "Camera reply too short";
    Str::CopyA(ErrorTextCapacity, ErrorText, Len(text), text);
    return false;
  }
  Lib::Move(frame + 1, destination, count);
  return true;
}

bool CBrisaConfig::WriteEeprom(std::uint8_t* frame, std::uint32_t requestLength) {
  std::uint32_t received = 0;
  if (!Transfer(frame, requestLength, 1, &received)) {
    return false;
  }
  if (frame[0] != StatusSuccess) {
    StatusText(frame[0], ErrorTextCapacity, ErrorText);
    return false;
  }
  return true;
}

namespace {

// Checked before anything is sent: a count outside the frame would overrun it.
bool CountFits(char* errorText, std::uint32_t count, std::uint32_t limit) {
  if (count >= 1 && count <= limit) {
    return true;
  }
  constexpr char text[] = "Invalid byte count";
  Str::CopyA(ErrorTextCapacity, errorText, Len(text), text);
  return false;
}

bool Initialised(HANDLE commandPipe, char* errorText) {
  if (commandPipe != INVALID_HANDLE_VALUE) {
    return true;
  }
  constexpr char text[] = "Device not initialised";
  Str::CopyA(ErrorTextCapacity, errorText, Len(text), text);
  return false;
}

}  // namespace

bool CBrisaConfig::ReadEepromShort(std::uint32_t address, std::uint32_t count,
                                   std::uint8_t* destination) {
  if (!Initialised(CommandPipe, ErrorText) || !CountFits(ErrorText, count, MaxReadCount)) {
    return false;
  }
  std::uint8_t frame[FrameSize];
  PutShortAddress(frame, OpcodeReadEeprom, address, count);
  return ReadEeprom(frame, ShortHeader, count, destination);
}

bool CBrisaConfig::ReadEepromLong(std::uint32_t address, std::uint32_t count,
                                  std::uint8_t* destination) {
  if (!Initialised(CommandPipe, ErrorText) || !CountFits(ErrorText, count, MaxReadCount)) {
    return false;
  }
  std::uint8_t frame[FrameSize];
  PutLongAddress(frame, OpcodeReadEeprom, address, count);
  return ReadEeprom(frame, LongHeader, count, destination);
}

bool CBrisaConfig::WriteEepromShort(std::uint32_t address, std::uint32_t count,
                                    const std::uint8_t* source) {
  if (!Initialised(CommandPipe, ErrorText) || !CountFits(ErrorText, count, MaxShortWriteCount)) {
    return false;
  }
  std::uint8_t frame[FrameSize];
  PutShortAddress(frame, OpcodeWriteEeprom, address, count);
  Lib::Move(source, frame + ShortHeader, count);
  return WriteEeprom(frame, ShortHeader + count);
}

bool CBrisaConfig::WriteEepromLong(std::uint32_t address, std::uint32_t count,
                                   const std::uint8_t* source) {
  if (!Initialised(CommandPipe, ErrorText) || !CountFits(ErrorText, count, MaxLongWriteCount)) {
    return false;
  }
  std::uint8_t frame[FrameSize];
  PutLongAddress(frame, OpcodeWriteEeprom, address, count);
  Lib::Move(source, frame + LongHeader, count);
  return WriteEeprom(frame, LongHeader + count);
}
