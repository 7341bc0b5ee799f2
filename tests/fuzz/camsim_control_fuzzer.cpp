// camsim's control protocol: the input is split at newlines and each line goes
// to Simulator::Control, on a simulator with one camera (where the camera id may
// be left out) and on one with three. Between inputs every camera is unplugged
// and its faults cleared, so that an input's outcome depends on it alone.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "sim/camsim.h"

namespace {

struct TSimulator {
  fuzz::TScratchDir Scratch;
  camsim::Simulator Sim;
  std::vector<std::string> Ids;

  TSimulator(const char* tag, std::vector<std::pair<std::string, std::string>> cameras)
      : Scratch(tag), Sim(OptionsIn(Scratch.Path)) {
    for (const auto& [id, sample] : cameras) {
      std::string error;
      FUZZ_CHECK(Sim.Add(id, sample, &error), "cannot add %s: %s", id.c_str(), error.c_str());
      Ids.push_back(id);
    }
  }

  static camsim::Simulator::Options OptionsIn(const std::string& root) {
    camsim::Simulator::Options options;
    options.DeviceRoot = root + "/devices";
    options.MachineRegistry = root + "/registry";
    options.StateDir = root + "/state";
    return options;
  }

  void Reset() {
    for (const std::string& id : Ids) {
      if (Sim.IsPlugged(id)) {
        FUZZ_CHECK(Sim.Unplug(id), "cannot unplug %s", id.c_str());
      }
      FUZZ_CHECK(Sim.ClearFaults(id), "cannot clear the faults of %s", id.c_str());
    }
  }
};

void CheckAnswer(std::string_view line, const std::string& answer) {
  FUZZ_CHECK(!answer.empty() && answer.back() == '\n', "answer to a %zu-byte line not ended",
             line.size());
  const std::size_t lastStart = answer.find_last_of('\n', answer.size() - 2);
  const std::string_view last =
      std::string_view(answer).substr(lastStart == std::string::npos ? 0 : lastStart + 1);
  FUZZ_CHECK(last == "ok\n" || last.starts_with("error: "), "answer ends with '%.*s'",
             static_cast<int>(last.size()), last.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TSimulator single("control1", {{"cam", "selvo-kaf"}});
  static TSimulator several(
      "control3", {{"cam", "ortek-kai"}, {"clear", "tamis-b"}, {"x.y-z_1", "selvo-e2vb"}});

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (TSimulator* sim : {&single, &several}) {
    std::size_t at = 0;
    while (at <= text.size()) {
      const std::size_t end = std::min(text.find('\n', at), text.size());
      const std::string_view line = text.substr(at, end - at);
      CheckAnswer(line, sim->Sim.Control(line));
      at = end + 1;
    }
    sim->Reset();
  }
  return 0;
}
