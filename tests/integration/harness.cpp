#include "integration/harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

TAppHarness::TAppHarness() {
  PosixFaults() = TPosixFaults{};
  PosixFaults().Administrator = 1;
  // The peer lives as long as the process; each test starts with its own record.
  Peers();
  HeadlessPeers()->Boxes.clear();
  HeadlessPeers()->OnBox = nullptr;
  HeadlessPeers()->Screens.clear();
  camsim::Simulator::Options options;
  options.DeviceRoot = Roots.Devices;
  options.MachineRegistry = Roots.MachineRegistry;
  options.StateDir = Roots.State;
  Sim = std::make_unique<camsim::Simulator>(options);
}

TAppHarness::~TAppHarness() {
  if (Window != nullptr) {
    EndApplication(Window);
    Window = nullptr;
  }
  Sim.reset();
  PosixFaults() = TPosixFaults{};
}

void TAppHarness::AddCamera(const std::string& id, const std::string& sample, bool plug) {
  std::string error;
  if (!Sim->Add(id, sample, &error)) {
    throw std::runtime_error("camsim add: " + error);
  }
  if (plug && !Sim->Plug(id, &error)) {
    throw std::runtime_error("camsim plug: " + error);
  }
}

void TAppHarness::Start(int showState) {
  Window = StartApplication(nullptr, showState);
  Pump();
}

void TAppHarness::Pump() {
  if (Window == nullptr) {
    return;
  }
  PBackground->Pump();
  if (!PBackground->HasWindows()) {
    WindowGone = true;
  }
}

bool TAppHarness::PumpUntil(bool (*done)(TAppHarness&), int timeoutMs) {
  TAppHarness* self = this;
  const bool reached = HeadlessPeers()->PumpUntil([self, done] { return done(*self); }, timeoutMs);
  if (!PBackground->HasWindows()) {
    WindowGone = true;
  }
  return reached;
}

void TAppHarness::PressStep() {
  ASSERT_NE(Window->StepButton, nullptr);
  Window->StepButton->Press();
  Pump();
}

void TAppHarness::PressNext() {
  ASSERT_NE(Window->NextButton, nullptr);
  Window->NextButton->Press();
  Pump();
}

void TAppHarness::PickPositions(std::int32_t item) {
  Window->PositionsList->Pick(item);
  Pump();
}

void TAppHarness::PickWheel(std::int32_t item) {
  Window->WheelTypeList->Pick(item);
  Pump();
}

void TAppHarness::Unplug(const std::string& id) {
  const bool wasConnected = Connected();
  Sim->Unplug(id);
  if (wasConnected) {
    PumpUntil([](TAppHarness& h) { return !h.Connected(); });
  }
  Pump();
}

void TAppHarness::Plug(const std::string& id) {
  Sim->Plug(id);
  Pump();
}

void TAppHarness::Close() {
  Window->Close();
  Pump();
}

void TAppHarness::ShareRegistries(const TTempRoots& shared, bool sameUser) {
  if (sameUser) {
    Roots.SetEnv("PELWIN_USER_REGISTRY", shared.UserRegistry);
  }
  Roots.SetEnv("PELWIN_MACHINE_REGISTRY", shared.MachineRegistry);
  Roots.SetEnv("PELWIN_OBJECT_ROOT", shared.Objects);
  camsim::Simulator::Options options;
  options.DeviceRoot = Roots.Devices;
  options.MachineRegistry = shared.MachineRegistry;
  options.StateDir = Roots.State;
  Sim.reset();
  Sim = std::make_unique<camsim::Simulator>(options);
}

std::string TAppHarness::Value(int line) const {
  return Window->InfoPane->ValueLine[line - 1];
}

std::string TAppHarness::Heading() const {
  return Window->InfoPane->Heading;
}

std::string TAppHarness::Instruction(int line) const {
  return Window->InfoPane->InstructionLine[line - 1];
}

std::uint16_t TAppHarness::HeaderModelCode() const {
  return static_cast<std::uint16_t>(Window->HeaderCopy[3] | Window->HeaderCopy[4] << 8);
}

bool TAppHarness::PermissionSet(std::uint16_t modelCode) const {
  const auto value = camsim::ReadRegistryDword(
      Roots.MachineRegistry, camsim::ServiceKeyPath(modelCode), camsim::kWritePermissionValue);
  return value.has_value() && *value != 0;
}

std::vector<std::uint8_t> CameraBlock(camsim::Simulator& sim, const std::string& id) {
  const auto kind = sim.KindOf(id);
  const std::vector<std::uint8_t> image = sim.Eeprom(id);
  if (!kind || image.empty()) {
    return {};
  }
  const auto start = image.begin() + camsim::BlockAddress(*kind);
  return {start, start + static_cast<std::ptrdiff_t>(camsim::BlockSize(*kind))};
}

void DriveToPage(TAppHarness& app, bool tamis, int page, const std::string& id, bool write) {
  const int filtersPage = tamis ? 2 : 4;
  if (page >= 2) {
    app.PressNext();
  }
  if (!tamis && page >= 3) {
    app.Unplug(id);
  }
  if (!tamis && page >= 4) {
    app.Plug(id);
    app.PressStep();
    app.PressNext();
  }
  if (page >= filtersPage && write) {
    app.PickPositions(ChosenItem);
    app.PickWheel(ChosenWheel);
    app.PressStep();
  }
  if (page > filtersPage) {
    app.PressNext();
  }
}

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) {
    text += (text.empty() ? "" : "; ") + ("\"" + item + "\"");
  }
  return text.empty() ? "none" : text;
}

void WriteReportSection(const std::string& text) {
  if (const char* path = std::getenv("PELWIN_RELIABILITY_REPORT")) {
    std::ofstream out(path, std::ios::app);
    out << text;
  }
}
