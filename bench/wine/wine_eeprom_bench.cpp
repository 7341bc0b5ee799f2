// Under Wine, against the camera stand-in: one EEPROM read command of the
// program's camera link (CBrisaConfig::ReadEepromShort on the headless peer)
// against a bare client making the same WriteFile/ReadFile pair, on the same
// pipes and in the same process. The two go command by command, in pairs whose
// order alternates (product then bare, bare then product), and each pair gives
// one ratio: a change of the machine's pace (another program's burst, the
// scheduler moving a process) falls on both halves of a pair alike, where it
// would fall on one side only of a round of hundreds. bench/wine/eeprom.py runs
// it and judges the figures.
//
//   wine_eeprom_bench [--pairs N] [--warm-up N] [--raw]
//
// Prints "pairs N product US bare US ratio R" (the medians of the product's and
// the bare times in microseconds, and the median of the per-pair ratios); with
// --raw, then one line per pair, "product-first|bare-first US US". Exits 1 when
// no camera answers or a read fails, 2 on a bad command line.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/brisa_config.h"
#include "camera/interface_classes.h"

namespace {

constexpr std::uint32_t BlockAddress = 10;
constexpr DWORD ReadRequestSize = 3;
constexpr DWORD ReplyRoom = 64;  // what the program asks the data pipe for

constexpr char Usage[] =
    "usage: wine_eeprom_bench [--pairs N] [--warm-up N] [--raw]\n"
    "\n"
    "Times the program's EEPROM read command against a bare WriteFile/ReadFile\n"
    "pair of the same sizes on the same pipes, one of each per pair, the order\n"
    "alternating from pair to pair, against the camera that the driver stand-in\n"
    "serves (a Selvo or Ortek kind).\n"
    "\n"
    "  --pairs N     pairs that count (default 4000)\n"
    "  --warm-up N   pairs run first and not counted (default 200)\n"
    "  --raw         after the summary, one line per pair: which went first and\n"
    "                both times in microseconds\n"
    "\n"
    "Prints \"pairs N product US bare US ratio R\": the median times of each side\n"
    "and the median of the per-pair ratios product/bare.\n";

HANDLE OpenPipe(const char* devicePath, const char* suffix) {
  char path[DevicePathCapacity + 3];
  std::snprintf(path, sizeof path, "%s%s", devicePath, suffix);
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

double Median(std::vector<double> values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  if (values.size() % 2 != 0) {
    return *middle;
  }
  return (*middle + *std::max_element(values.begin(), middle)) / 2;
}

bool Count(const char* text, int* value) {
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < 0 || parsed > 10000000) {
    return false;
  }
  *value = static_cast<int>(parsed);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int pairs = 4000;
  int warmUp = 200;
  bool raw = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(Usage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--raw") == 0) {
      raw = true;
    } else if (std::strcmp(argv[i], "--pairs") == 0 && i + 1 < argc && Count(argv[i + 1], &pairs) &&
               pairs > 0) {
      ++i;
    } else if (std::strcmp(argv[i], "--warm-up") == 0 && i + 1 < argc &&
               Count(argv[i + 1], &warmUp)) {
      ++i;
    } else {
      std::fputs(Usage, stderr);
      return 2;
    }
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

  std::uint8_t block[BlockSize];
  const std::uint8_t request[ReadRequestSize] = {0x12, BlockAddress,
                                                 static_cast<std::uint8_t>(count)};
  std::uint8_t reply[ReplyRoom];
  const auto product = [&]() {
    if (window.ReadEepromShort(BlockAddress, count, block)) {
      return true;
    }
    std::fprintf(stderr, "wine_eeprom_bench: the program's read failed: %s\n", window.ErrorText);
    return false;
  };
  const auto bare = [&]() {
    DWORD moved = 0;
    if (WriteFile(window.CommandPipe, request, ReadRequestSize, &moved, nullptr) && moved != 0 &&
        ReadFile(window.DataPipe, reply, ReplyRoom, &moved, nullptr) && moved == count + 1 &&
        reply[0] == 0x80) {
      return true;
    }
    std::fprintf(stderr, "wine_eeprom_bench: the bare read failed (error %lu)\n", GetLastError());
    return false;
  };

  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  const double microsecondsPerTick = 1e6 / static_cast<double>(frequency.QuadPart);
  std::vector<double> productTimes;
  std::vector<double> bareTimes;
  std::vector<double> ratios;
  productTimes.reserve(static_cast<std::size_t>(pairs));
  bareTimes.reserve(static_cast<std::size_t>(pairs));
  ratios.reserve(static_cast<std::size_t>(pairs));
  int status = 0;
  for (int pair = -warmUp; pair < pairs; ++pair) {
    // The two halves share the middle reading of the clock.
    const bool productFirst = pair % 2 == 0;
    LARGE_INTEGER start;
    LARGE_INTEGER middle;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    const bool firstDone = productFirst ? product() : bare();
    QueryPerformanceCounter(&middle);
    const bool secondDone = firstDone && (productFirst ? bare() : product());
    QueryPerformanceCounter(&end);
    if (!secondDone) {
      status = 1;
      break;
    }
    if (pair < 0) {
      continue;
    }
    const double first =
        static_cast<double>(middle.QuadPart - start.QuadPart) * microsecondsPerTick;
    const double second = static_cast<double>(end.QuadPart - middle.QuadPart) * microsecondsPerTick;
    productTimes.push_back(productFirst ? first : second);
    bareTimes.push_back(productFirst ? second : first);
    ratios.push_back(productTimes.back() / bareTimes.back());
  }
  CloseHandle(window.CommandPipe);
  CloseHandle(window.DataPipe);
  CloseHandle(window.AuxPipe);
  window.CommandPipe = window.DataPipe = window.AuxPipe = INVALID_HANDLE_VALUE;
  window.LinkFlags = 0;
  if (status != 0) {
    return status;
  }

  std::printf("pairs %d product %.2f bare %.2f ratio %.4f\n", pairs, Median(productTimes),
              Median(bareTimes), Median(ratios));
  if (raw) {
    for (std::size_t i = 0; i < ratios.size(); ++i) {
      std::printf("%s %.2f %.2f\n", i % 2 == 0 ? "product-first" : "bare-first", productTimes[i],
                  bareTimes[i]);
    }
  }
  return 0;
}
