// The four EEPROM commands against whatever a camera sends back. One input is
// one command and one reply frame:
//
//   byte 0     bits 0-1 command (read short, read long, write short, write long)
//              bit 2    the count is four bytes instead of one
//              bit 3    an empty reply closes only the data pipe, not both
//              bit 4    the window has no link when the command runs
//   bytes 1-4  address, little-endian
//   count      one byte, or four little-endian
//   one byte   fill of the destination (reads) and seed of the source (writes)
//   the rest   the reply frame, cut to 100 bytes; empty: the camera hangs up
//
// The camera end lives in this process: its reply is queued before the command
// runs, and SOCK_SEQPACKET keeps it one message, so no thread is needed.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "app/brisa_config.h"
#include "fuzz_support.h"

namespace {

constexpr std::size_t FrameSize = 64;
constexpr std::size_t MaxReply = 100;
constexpr std::size_t Guard = 16;

enum class TCommand { ReadShort, ReadLong, WriteShort, WriteLong };

bool IsRead(TCommand command) {
  return command == TCommand::ReadShort || command == TCommand::ReadLong;
}

bool IsLong(TCommand command) {
  return command == TCommand::ReadLong || command == TCommand::WriteLong;
}

std::uint32_t CountLimit(TCommand command) {
  switch (command) {
    case TCommand::WriteShort:
      return 61;
    case TCommand::WriteLong:
      return 58;
    default:
      return 63;
  }
}

int Listen(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  FUZZ_CHECK(path.size() < sizeof address.sun_path, "scratch path too long: %s", path.c_str());
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  FUZZ_CHECK(fd >= 0, "socket");
  FUZZ_CHECK(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0, "bind %s",
             path.c_str());
  FUZZ_CHECK(listen(fd, 4) == 0, "listen");
  return fd;
}

void CloseFd(int* fd) {
  if (*fd >= 0) {
    close(*fd);
    *fd = -1;
  }
}

HANDLE OpenPipe(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

// The camera's end of pipes 0 (requests) and 1 (replies), in an interface
// directory of its own.
class TCameraEnd {
 public:
  TCameraEnd() : Dir("eeprom") {
    CommandListener = Listen(Dir.Path + "/0");
    DataListener = Listen(Dir.Path + "/1");
  }

  // Opens the window's pipes the way the program names them.
  void Connect(CBrisaConfig& window) {
    CloseFd(&Command);
    CloseFd(&Data);
    window.CommandPipe = OpenPipe(Dir.Path + "\\0");
    window.DataPipe = OpenPipe(Dir.Path + "\\1");
    FUZZ_CHECK(
        window.CommandPipe != INVALID_HANDLE_VALUE && window.DataPipe != INVALID_HANDLE_VALUE,
        "cannot open the pipes in %s", Dir.Path.c_str());
    Command = accept4(CommandListener, nullptr, nullptr, SOCK_CLOEXEC);
    Data = accept4(DataListener, nullptr, nullptr, SOCK_CLOEXEC);
    FUZZ_CHECK(Command >= 0 && Data >= 0, "accept");
    window.LinkFlags = LinkConnected | KindSelvoKaf;
  }

  void Send(std::span<const std::uint8_t> bytes) {
    FUZZ_CHECK(
        send(Data, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()),
        "cannot queue %zu bytes", bytes.size());
  }

  void HangUp(bool dataOnly) {
    CloseFd(&Data);
    if (!dataOnly) {
      CloseFd(&Command);
    }
  }

  bool Open() const { return Command >= 0 && Data >= 0; }

  // Every request still queued on pipe 0, oldest first.
  std::vector<std::vector<std::uint8_t>> Requests() {
    std::vector<std::vector<std::uint8_t>> requests;
    if (Command < 0) {
      return requests;
    }
    for (;;) {
      std::vector<std::uint8_t> frame(256);
      const ssize_t n = recv(Command, frame.data(), frame.size(), MSG_DONTWAIT);
      if (n <= 0) {
        break;
      }
      frame.resize(static_cast<std::size_t>(n));
      requests.push_back(std::move(frame));
    }
    return requests;
  }

  void CloseCommand() { CloseFd(&Command); }

 private:
  fuzz::TScratchDir Dir;
  int CommandListener = -1;
  int DataListener = -1;
  int Command = -1;
  int Data = -1;
};

std::vector<std::uint8_t> ExpectedRequest(TCommand command, std::uint32_t address,
                                          std::uint32_t count, const std::uint8_t* source) {
  std::vector<std::uint8_t> frame;
  frame.push_back(IsRead(command) ? 0x12 : 0x13);
  frame.push_back(static_cast<std::uint8_t>(address));
  if (IsLong(command)) {
    frame.push_back(static_cast<std::uint8_t>(address >> 8));
    frame.push_back(static_cast<std::uint8_t>(address >> 16));
    frame.push_back(static_cast<std::uint8_t>(address >> 24));
  }
  frame.push_back(static_cast<std::uint8_t>(count));
  if (!IsRead(command)) {
    frame.insert(frame.end(), source, source + count);
  }
  return frame;
}

bool Run(CBrisaConfig& window, TCommand command, std::uint32_t address, std::uint32_t count,
         std::uint8_t* destination, const std::uint8_t* source) {
  switch (command) {
    case TCommand::ReadShort:
      return window.ReadEepromShort(address, count, destination);
    case TCommand::ReadLong:
      return window.ReadEepromLong(address, count, destination);
    case TCommand::WriteShort:
      return window.WriteEepromShort(address, count, source);
    case TCommand::WriteLong:
      return window.WriteEepromLong(address, count, source);
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TCameraEnd camera;
  static CBrisaConfig window;

  fuzz::TReader in(data, size);
  const std::uint8_t options = in.Byte();
  const auto command = static_cast<TCommand>(options & 0x03);
  const bool wideCount = (options & 0x04) != 0;
  const bool dataOnlyHangUp = (options & 0x08) != 0;
  const bool detached = (options & 0x10) != 0;
  const std::uint32_t address = in.Le32();
  const std::uint32_t count = wideCount ? in.Le32() : in.Byte();
  const std::uint8_t fill = in.Byte();
  std::span<const std::uint8_t> reply = in.Rest();
  if (reply.size() > MaxReply) {
    reply = reply.first(MaxReply);
  }

  if (window.CommandPipe == INVALID_HANDLE_VALUE) {
    camera.Connect(window);
  }
  const HANDLE commandPipe = window.CommandPipe;
  const HANDLE dataPipe = window.DataPipe;

  std::uint8_t destination[FrameSize + Guard];
  std::uint8_t source[FrameSize];
  for (std::size_t i = 0; i < sizeof destination; ++i) {
    destination[i] = static_cast<std::uint8_t>(fill + 0x3B * i);
  }
  for (std::size_t i = 0; i < sizeof source; ++i) {
    source[i] = static_cast<std::uint8_t>(fill ^ (0x5D * i));
  }
  std::uint8_t destinationBefore[sizeof destination];
  std::memcpy(destinationBefore, destination, sizeof destination);
  char errorBefore[ErrorTextCapacity + 1];
  std::memset(errorBefore, 'Z', ErrorTextCapacity);
  errorBefore[ErrorTextCapacity] = '\0';
  std::memcpy(window.ErrorText, errorBefore, sizeof errorBefore);

  if (reply.empty()) {
    camera.HangUp(dataOnlyHangUp);
  } else {
    camera.Send(reply);
  }
  if (detached) {
    window.CommandPipe = INVALID_HANDLE_VALUE;
    window.DataPipe = INVALID_HANDLE_VALUE;
  }
  const bool ok = Run(window, command, address, count, destination, source);
  if (detached) {
    window.CommandPipe = commandPipe;
    window.DataPipe = dataPipe;
  }

  const bool sends = !detached && count >= 1 && count <= CountLimit(command);
  bool expected = false;
  if (sends && !reply.empty() && reply[0] == 0x80) {
    // ReadFile cuts a reply to the frame the command offers.
    expected = !IsRead(command) || std::min(reply.size(), FrameSize) >= count + 1;
  }
  FUZZ_CHECK(ok == expected, "command %d address 0x%x count %u reply of %zu bytes: returned %d",
             static_cast<int>(command), address, count, reply.size(), ok);
  FUZZ_CHECK(std::memchr(window.ErrorText, '\0', sizeof window.ErrorText) != nullptr,
             "ErrorText not terminated");
  if (!ok) {
    FUZZ_CHECK(window.ErrorText[0] != '\0' && std::strcmp(window.ErrorText, errorBefore) != 0,
               "a failure without an error text");
  }
  if (!sends) {
    FUZZ_CHECK(std::strcmp(window.ErrorText,
                           detached ? "Device not initialised" : "Invalid byte count") == 0,
               "refused command explained as '%s'", window.ErrorText);
  } else if (reply.empty()) {
    FUZZ_CHECK(std::strcmp(window.ErrorText, "Camera not connected") == 0,
               "hang-up explained as '%s'", window.ErrorText);
  }

  if (IsRead(command) && ok) {
    FUZZ_CHECK(std::memcmp(destination, reply.data() + 1, count) == 0, "read data differs");
    FUZZ_CHECK(std::memcmp(destination + count, destinationBefore + count,
                           sizeof destination - count) == 0,
               "read wrote past its count %u", count);
  } else {
    FUZZ_CHECK(std::memcmp(destination, destinationBefore, sizeof destination) == 0,
               "destination touched by a failed or non-read command");
  }

  // Exactly the request frame went out, once, and only when the command
  // should send at all.
  const auto requests = camera.Requests();
  const bool requestDelivered = sends && !(reply.empty() && !dataOnlyHangUp);
  if (requestDelivered) {
    FUZZ_CHECK(requests.size() == 1, "%zu requests on pipe 0", requests.size());
    FUZZ_CHECK(requests[0] == ExpectedRequest(command, address, count, source),
               "request frame differs (command %d, address 0x%x, count %u)",
               static_cast<int>(command), address, count);
  } else {
    FUZZ_CHECK(requests.empty(), "%zu unexpected requests on pipe 0", requests.size());
  }

  const bool hungUp = sends && reply.empty();
  if (hungUp) {
    FUZZ_CHECK(window.CommandPipe == INVALID_HANDLE_VALUE &&
                   window.DataPipe == INVALID_HANDLE_VALUE &&
                   (window.LinkFlags & LinkConnected) == 0,
               "the window kept a link the camera closed");
    camera.CloseCommand();
    return 0;
  }
  FUZZ_CHECK(window.CommandPipe == commandPipe && window.DataPipe == dataPipe &&
                 (window.LinkFlags & LinkConnected) != 0,
             "the window dropped a live link");
  if (!camera.Open()) {
    // Hung up while the command refused to run: nothing noticed, so start afresh.
    CloseHandle(window.CommandPipe);
    CloseHandle(window.DataPipe);
    window.CommandPipe = window.DataPipe = INVALID_HANDLE_VALUE;
    return 0;
  }
  // What is left on pipe 1: the reply if the command never read it, then a
  // marker. Anything else means a reply was read twice or not at all.
  static constexpr std::uint8_t marker[] = {0xEE, 0x4D, 0x4B};
  camera.Send(marker);
  std::uint8_t left[FrameSize * 2];
  DWORD moved = 0;
  if (!sends) {
    FUZZ_CHECK(ReadFile(window.DataPipe, left, sizeof left, &moved, nullptr) &&
                   moved == reply.size() && std::memcmp(left, reply.data(), reply.size()) == 0,
               "the reply of a refused command was consumed");
  }
  FUZZ_CHECK(ReadFile(window.DataPipe, left, sizeof left, &moved, nullptr) &&
                 moved == sizeof marker && std::memcmp(left, marker, sizeof marker) == 0,
             "pipe 1 held something besides the marker");
  return 0;
}
