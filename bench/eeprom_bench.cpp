// One EEPROM read command through the platform layer to camsim, against the
// floor: a bare SEQPACKET request and reply of the same sizes between two
// threads. Run pinned to one CPU (bench/eeprom_bench.sh) so both pay the same
// wake-ups.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/brisa_config.h"
#include "sim/camsim.h"

namespace {

constexpr std::size_t RequestSize = 3;
constexpr std::size_t ReplySize = 62;  // status and 61 block bytes

std::string MakeRoot() {
  char pattern[] = "/tmp/pelwin-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("mkdtemp");
  }
  return pattern;
}

HANDLE OpenPipe(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

void ReadThroughCamsim(benchmark::State& state) {
  const std::string root = MakeRoot();
  {
    camsim::Simulator::Options options;
    options.DeviceRoot = root + "/devices";
    options.MachineRegistry = root + "/registry";
    options.StateDir = root + "/state";
    camsim::Simulator sim(options);
    std::string error;
    if (!sim.Add("cam", "selvo-kaf", &error) || !sim.Plug("cam", &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    CBrisaConfig window;
    const std::string path = sim.InterfacePath("cam");
    window.CommandPipe = OpenPipe(path + "\\0");
    window.DataPipe = OpenPipe(path + "\\1");
    window.AuxPipe = OpenPipe(path + "\\2");
    std::uint8_t block[BlockSize];
    for (auto _ : state) {
      if (!window.ReadEepromShort(10, BlockSize, block)) {
        state.SkipWithError(window.ErrorText);
        break;
      }
      benchmark::DoNotOptimize(block);
    }
    CloseHandle(window.CommandPipe);
    CloseHandle(window.DataPipe);
    CloseHandle(window.AuxPipe);
    window.CommandPipe = window.DataPipe = window.AuxPipe = INVALID_HANDLE_VALUE;
  }
  std::filesystem::remove_all(root);
}
BENCHMARK(ReadThroughCamsim)->UseRealTime();

// Request on one connection, reply on another, as the pipes are used.
void RawSeqpacketFloor(benchmark::State& state) {
  int command[2];
  int data[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, command) != 0 ||
      socketpair(AF_UNIX, SOCK_SEQPACKET, 0, data) != 0) {
    state.SkipWithError("socketpair");
    return;
  }
  std::thread server([&] {
    std::uint8_t buffer[64] = {0x80};
    while (recv(command[1], buffer, sizeof buffer, 0) > 0) {
      buffer[0] = 0x80;
      send(data[1], buffer, ReplySize, MSG_NOSIGNAL);
    }
  });
  std::uint8_t frame[64] = {0x12, 0x0A, 0x3D};
  for (auto _ : state) {
    send(command[0], frame, RequestSize, MSG_NOSIGNAL);
    benchmark::DoNotOptimize(recv(data[0], frame, sizeof frame, 0));
    frame[0] = 0x12;
  }
  shutdown(command[0], SHUT_RDWR);
  server.join();
  for (int fd : {command[0], command[1], data[0], data[1]}) {
    close(fd);
  }
}
BENCHMARK(RawSeqpacketFloor)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
