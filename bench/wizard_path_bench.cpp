// The whole five-page configuration of a Selvo camera on the headless peer
// against camsim in this process: how many EEPROM commands it sends (the
// procedures need six: header and block at each scan, the write and its
// read-back) and how long it takes, against the floor of the same six commands
// sent bare plus the same unplug and plug of the camera.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "app/brisa_config.h"
#include "headless.h"
#include "posix_faults.h"
#include "sim/linux/simulator.h"

namespace {

constexpr std::uint64_t MinimumTransfers = 6;

struct TRoots {
  TRoots() {
    char pattern[] = "/tmp/pelwin-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      throw std::runtime_error("mkdtemp");
    }
    Base = pattern;
    setenv("PELWIN_DEVICE_ROOT", (Base + "/devices").c_str(), 1);
    setenv("PELWIN_USER_REGISTRY", (Base + "/user").c_str(), 1);
    setenv("PELWIN_MACHINE_REGISTRY", (Base + "/machine").c_str(), 1);
    setenv("PELWIN_OBJECT_ROOT", (Base + "/objects").c_str(), 1);
    PosixFaults().Administrator = 1;
  }
  ~TRoots() { std::filesystem::remove_all(Base); }
  camsim::Simulator::Options Options() const {
    return {Base + "/devices", Base + "/machine", Base + "/state", ""};
  }
  std::string Base;
};

bool WaitFor(CBrisaConfig* window, bool connected) {
  return HeadlessPeers()->PumpUntil(
      [&] { return ((window->LinkFlags & LinkConnected) != 0) == connected; }, 5000);
}

void Press(CButton* button) {
  button->Press();
  PBackground->Pump();
}

void SelvoWizardPath(benchmark::State& state) {
  TRoots roots;
  camsim::Simulator sim(roots.Options());
  std::string error;
  if (!sim.Add("cam", "selvo-kaf", &error) || !sim.Plug("cam", &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::uint64_t transfers = 0;
  for (auto _ : state) {
    const std::uint64_t before = sim.Transfers("cam");
    CBrisaConfig* window = StartApplication(nullptr, 10);
    PBackground->Pump();
    Press(window->NextButton);
    sim.Unplug("cam");
    WaitFor(window, false);
    sim.Plug("cam");
    Press(window->StepButton);
    Press(window->NextButton);
    window->PositionsList->Pick(4);
    window->WheelTypeList->Pick(2);
    Press(window->StepButton);
    Press(window->NextButton);
    const bool done = window->WizardStep == 5;
    Press(window->NextButton);
    EndApplication(window);
    transfers = sim.Transfers("cam") - before;
    if (!done) {
      state.SkipWithError("the path did not reach the last page");
      break;
    }
  }
  state.counters["transfers"] = static_cast<double>(transfers);
  state.counters["minimum"] = static_cast<double>(MinimumTransfers);
}
BENCHMARK(SelvoWizardPath)->UseRealTime()->Unit(benchmark::kMillisecond);

HANDLE OpenPipe(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

// The same six commands on open pipes, and the same unplug and plug, with no
// window, wizard or discovery around them.
void BareTransfersFloor(benchmark::State& state) {
  TRoots roots;
  {
    std::string error;
    camsim::WriteRegistryDword(roots.Base + "/machine", camsim::ServiceKeyPath(1030),
                               camsim::kWritePermissionValue, 1, &error);
  }
  camsim::Simulator sim(roots.Options());
  std::string error;
  if (!sim.Add("cam", "selvo-kaf", &error) || !sim.Plug("cam", &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  CBrisaConfig window;
  const auto open = [&] {
    const std::string path = sim.InterfacePath("cam");
    window.CommandPipe = OpenPipe(path + "\\0");
    window.DataPipe = OpenPipe(path + "\\1");
    window.AuxPipe = OpenPipe(path + "\\2");
  };
  const auto close = [&] {
    for (HANDLE* pipe : {&window.CommandPipe, &window.DataPipe, &window.AuxPipe}) {
      CloseHandle(*pipe);
      *pipe = INVALID_HANDLE_VALUE;
    }
  };
  std::uint8_t header[HeaderSize];
  std::uint8_t block[BlockSize];
  for (auto _ : state) {
    open();
    bool ok = window.ReadEepromShort(0, HeaderSize, header) &&
              window.ReadEepromShort(10, BlockSize, block);
    close();
    sim.Unplug("cam");
    sim.Plug("cam");
    open();
    ok = ok && window.ReadEepromShort(0, HeaderSize, header) &&
         window.ReadEepromShort(10, BlockSize, block) &&
         window.WriteEepromShort(10, BlockSize, block) &&
         window.ReadEepromShort(10, BlockSize, block);
    close();
    if (!ok) {
      state.SkipWithError(window.ErrorText);
      break;
    }
  }
}
BENCHMARK(BareTransfersFloor)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
