// Under Wine, against the camera stand-in: one EEPROM read command of the
// program's camera link (CBrisaConfig::ReadEepromShort on the headless peer)
// against a bare client making the same WriteFile/ReadFile pair, on the same
// pipes and in the same process. Rounds alternate between the two so that both
// see the same machine; bench/wine/eeprom.sh runs it and prints the ratio.
//
//   wine_eeprom_bench [ROUNDS] [COMMANDS-PER-ROUND]
//
// Prints one line per round ("product US bare US", microseconds per command)
// and exits 1 when no camera answers.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "app/brisa_config.h"
#include "camera/interface_classes.h"

namespace {

constexpr std::uint32_t BlockAddress = 10;
constexpr DWORD ReadRequestSize = 3;
constexpr DWORD ReplyRoom = 64;  // what the program asks the data pipe for

HANDLE OpenPipe(const char* devicePath, const char* suffix) {
  char path[DevicePathCapacity + 3];
  std::snprintf(path, sizeof path, "%s%s", devicePath, suffix);
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

double Microseconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency, int count) {
  return static_cast<double>(to.QuadPart - from.QuadPart) * 1e6 /
         static_cast<double>(frequency.QuadPart) / count;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 21;
  const int perRound = argc > 2 ? std::atoi(argv[2]) : 500;
  if (rounds < 1 || perRound < 1) {
    std::fprintf(stderr, "usage: wine_eeprom_bench [ROUNDS] [COMMANDS-PER-ROUND]\n");
    return 2;
  }

  // Found as the program finds it; a Selvo or Ortek camera, whose block is
  // read with the short form.
  CBrisaConfig window;
  const TInterfaceClass* found = nullptr;
  for (const TInterfaceClass& cls : InterfaceClassTable) {
    HANDLE probe = FindDeviceByClass(&cls.Guid, DevicePathCapacity, window.DevicePath);
    if (probe != INVALID_HANDLE_VALUE) {
      CloseHandle(probe);
      found = &cls;
      break;
    }
  }
  if (found == nullptr || (found->KindBit & TamisGroup) != 0) {
    std::fprintf(stderr, "wine_eeprom_bench: no Ortek or Selvo camera found\n");
    return 1;
  }
  const std::uint32_t count = (found->KindBit & OrtekGroup) != 0 ? OrtekBlockSize : BlockSize;
  window.CommandPipe = OpenPipe(window.DevicePath, "\\0");
  window.DataPipe = OpenPipe(window.DevicePath, "\\1");
  window.AuxPipe = OpenPipe(window.DevicePath, "\\2");
  if (window.CommandPipe == INVALID_HANDLE_VALUE || window.DataPipe == INVALID_HANDLE_VALUE ||
      window.AuxPipe == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "wine_eeprom_bench: cannot open the camera's pipes (error %lu)\n",
                 GetLastError());
    return 1;
  }
  window.LinkFlags = LinkConnected | found->KindBit;

  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  std::uint8_t block[BlockSize];
  const std::uint8_t request[ReadRequestSize] = {0x12, BlockAddress,
                                                 static_cast<std::uint8_t>(count)};
  std::uint8_t reply[ReplyRoom];
  const auto timeProduct = [&]() -> double {
    LARGE_INTEGER from;
    LARGE_INTEGER to;
    QueryPerformanceCounter(&from);
    for (int i = 0; i < perRound; ++i) {
      if (!window.ReadEepromShort(BlockAddress, count, block)) {
        std::fprintf(stderr, "wine_eeprom_bench: the program's read failed: %s\n",
                     window.ErrorText);
        return -1;
      }
    }
    QueryPerformanceCounter(&to);
    return Microseconds(from, to, frequency, perRound);
  };
  const auto timeBare = [&]() -> double {
    LARGE_INTEGER from;
    LARGE_INTEGER to;
    QueryPerformanceCounter(&from);
    for (int i = 0; i < perRound; ++i) {
      DWORD moved = 0;
      if (!WriteFile(window.CommandPipe, request, ReadRequestSize, &moved, nullptr) || moved == 0 ||
          !ReadFile(window.DataPipe, reply, ReplyRoom, &moved, nullptr) || moved != count + 1 ||
          reply[0] != 0x80) {
        std::fprintf(stderr, "wine_eeprom_bench: the bare read failed (error %lu)\n",
                     GetLastError());
        return -1;
      }
    }
    QueryPerformanceCounter(&to);
    return Microseconds(from, to, frequency, perRound);
  };
  // Round 0 warms both paths up and is not printed; the order within a round
  // alternates, so that neither always runs second.
  int status = 0;
  for (int round = 0; round <= rounds; ++round) {
    double product = 0;
    double bare = 0;
    if (round % 2 == 0) {
      product = timeProduct();
      bare = product < 0 ? -1 : timeBare();
    } else {
      bare = timeBare();
      product = bare < 0 ? -1 : timeProduct();
    }
    if (product < 0 || bare < 0) {
      status = 1;
      break;
    }
    if (round > 0) {
      std::printf("product %.2f bare %.2f\n", product, bare);
      std::fflush(stdout);
    }
  }
  CloseHandle(window.CommandPipe);
  CloseHandle(window.DataPipe);
  CloseHandle(window.AuxPipe);
  window.CommandPipe = window.DataPipe = window.AuxPipe = INVALID_HANDLE_VALUE;
  window.LinkFlags = 0;
  return status;
}
