// camsim's control protocol: the input is split at newlines and each line goes
// to Simulator::Control, on a simulator with one camera (where the camera id may
// be left out) and on one with three. Between inputs every camera is unplugged
// and its faults cleared, so that an input's outcome depends on it alone.
//
// The whole input also goes, in pieces, through the reader of a control
// connection (the Linux socket's form) and as one message of a message-mode
// pipe (the Windows form), against a target that keeps images in memory:
// `image` lines name files, and a fuzzer must not write where they point.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "sim/core/control.h"
#include "sim/linux/simulator.h"

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
      FUZZ_CHECK(Sim.Fault(id, "clear"), "cannot clear the faults of %s", id.c_str());
    }
  }
};

// One camera and no device: whatever the commands change stays in memory.
class TMemoryTarget : public camsim::ControlTarget {
 public:
  std::vector<camsim::ControlCamera> ControlCameras() override {
    camsim::ControlCamera camera;
    camera.Id = "cam";
    camera.SampleName = "selvo-kaf";
    camera.kind = Model.kind();
    camera.Plugged = Plugged;
    camera.Model = &Model;
    camera.faults = &Faults;
    return {camera};
  }
  bool PlugById(const std::string& id, std::string* why) override { return Switch(id, true, why); }
  bool UnplugById(const std::string& id, std::string* why) override {
    return Switch(id, false, why);
  }
  // The faults are the camera's own; there are no pipes to follow them.
  bool FollowPipeFaults(const std::string& id) override {
    FUZZ_CHECK(id == "cam", "pipes of %s", id.c_str());
    return true;
  }
  size_t LogLineCount() override { return Lines.size(); }
  std::vector<std::string> LastLogLines(size_t count) override {
    return {Lines.end() - std::ptrdiff_t(std::min(count, Lines.size())), Lines.end()};
  }
  void LogLine(const std::string& who, const std::string& text) override {
    Lines.push_back(who + ": " + text);
  }
  void RequestStop() override {}
  bool SaveImageTo(const std::string& id, const std::string& path, std::string*) override {
    FUZZ_CHECK(id == "cam" && !path.empty(), "save of %s", id.c_str());
    return true;
  }
  bool LoadImageFrom(const std::string& id, const std::string& path, std::string* why) override {
    FUZZ_CHECK(id == "cam" && !path.empty(), "load of %s", id.c_str());
    *why = "no file " + path;
    return false;
  }

  void Reset() {
    Plugged = false;
    Faults = camsim::Faults{};
    Lines.clear();
  }

 private:
  bool Switch(const std::string& id, bool plugged, std::string* why) {
    FUZZ_CHECK(id == "cam", "plug of %s", id.c_str());
    if (Plugged == plugged) {
      *why = "already";
      return false;
    }
    Plugged = plugged;
    return true;
  }

  camsim::CameraModel Model{camsim::Kind::SelvoKaf,
                            camsim::SampleImage(*camsim::FindSample("selvo-kaf"))};
  camsim::Faults Faults;
  bool Plugged = false;
  std::vector<std::string> Lines;
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

  static TMemoryTarget memory;

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (TSimulator* sim : {&single, &several}) {
    std::size_t at = 0;
    while (at <= text.size()) {
      const std::size_t end = std::min(text.find('\n', at), text.size());
      const std::string_view line = text.substr(at, end - at);
      // Lines that name files go to the memory target only (below).
      if (line.find("image") == std::string_view::npos) {
        CheckAnswer(line, sim->Sim.Control(line));
      }
      at = end + 1;
    }
    sim->Reset();
  }

  // A socket's reads end anywhere; here in pieces of 1, 2, 3, ... bytes.
  camsim::ControlLines stream;
  std::string answer;
  bool open = true;
  for (std::size_t at = 0, piece = 1; open && at < text.size(); at += piece++) {
    open = stream.Feed(memory, text.substr(at, piece), &answer);
  }
  if (open) {
    stream.End(memory, &answer);
  }
  FUZZ_CHECK(answer.empty() == text.empty() || !open, "no answer to %zu bytes", size);
  if (!answer.empty()) {
    CheckAnswer(text, answer);
  }
  memory.Reset();
  answer.clear();
  camsim::ExecuteControlMessage(memory, text, text.size(), &answer);
  CheckAnswer(text, answer);
  memory.Reset();
  return 0;
}
