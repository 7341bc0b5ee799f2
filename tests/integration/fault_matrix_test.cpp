// Every transfer of the whole wizard path, for one camera of each group, fails
// once in every way camsim can make it fail: the connection dropped, each
// refusal status, a short reply. A persistent user then carries on (scans
// again, starts over after a message) until the camera is configured.
//
// For every run: no crash, the message the failure calls for and no other,
// "Camera update successful." only over an EEPROM that holds the choice, no
// pipe or registration left behind, no byte outside the chosen fields changed.
//
// Then every way the program can end (finished, closed at each page, quit
// after a box, killed), with the driver permission afterwards; and another
// camera arriving at the filters page, which must never be written.
//
// The failing transfers' expected outcomes are data, one row per run, in
// tests/endtoend/expected/fault_matrix.tsv; the Wine runs of the same matrix
// (tests/endtoend/fault_matrix.py) read that file too.
//
// With PELWIN_RELIABILITY_REPORT set, the runs and outcomes are written there
// as Markdown tables (docs/reliability.md is made that way).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <span>
#include <sstream>
#include <tuple>

#include "config/records.h"
#include "integration/harness.h"
#include "posix_devices.h"

namespace {

enum class TFaultKind { None, Drop, Refuse, Short };

struct TFault {
  TFaultKind Kind;
  std::uint8_t Status;  // for Refuse
  const char* Name;
};

const TFault Faults[] = {
    {TFaultKind::Drop, 0, "drop"},
    {TFaultKind::Refuse, 0x81, "refuse 0x81"},
    {TFaultKind::Refuse, 0x82, "refuse 0x82"},
    {TFaultKind::Refuse, 0x83, "refuse 0x83"},
    {TFaultKind::Refuse, 0x00, "refuse 0x00"},
    {TFaultKind::Short, 0, "short"},
};

struct TOutcome {
  std::vector<std::string> Boxes;
  int SuccessPages = 0;
  int UnverifiedSuccess = 0;  // success page over an EEPROM without the choice
  bool Finished = false;
  bool Leaked = false;
  bool OtherBytesChanged = false;
  bool ChoiceStored = false;
  std::string Transfer;  // what the k-th transfer was, as the camera logged it
};

// The requests the camera `id` got, in order, as hex bytes ("12 00 0a").
std::vector<std::string> Requests(const std::vector<std::string>& log, const std::string& id) {
  const std::string marker = " " + id + ": request from pid ";
  std::vector<std::string> frames;
  for (const std::string& line : log) {
    const std::size_t at = line.find(marker);
    const std::size_t hex = at == std::string::npos ? at : line.find(": ", at + marker.size());
    if (hex != std::string::npos) {
      frames.push_back(line.substr(hex + 2));
    }
  }
  return frames;
}

// What transfer k was, as the camera logged it: its k-th request. A scan of
// the five-page path starts with a header read; the three-page path scans
// with one block read and writes in two parts; a read after a write is the
// read-back.
std::string TransferAt(const std::vector<std::string>& requests, bool tamis, int k) {
  int scans = 0;
  int writes = 0;
  for (int i = 0; i < static_cast<int>(requests.size()); ++i) {
    const std::string& frame = requests[static_cast<std::size_t>(i)];
    const bool read = frame.starts_with("12 ");
    const bool write = frame.starts_with("13 ");
    const bool header = !tamis && frame.starts_with("12 00 ");
    scans += header ? 1 : 0;
    writes += write ? 1 : 0;
    if (i + 1 < k) {
      continue;
    }
    if (write && !tamis) {
      return "block write";
    }
    if (write) {
      return writes == 1   ? "write, first part"
             : writes == 2 ? "write, second part"
                           : "write " + std::to_string(writes);
    }
    if (read && writes > 0) {
      return "read-back";
    }
    if (read) {
      return (tamis ? std::string("scan") : "scan " + std::to_string(scans)) +
             (header ? ": header read" : ": block read");
    }
    return "request " + frame;
  }
  return "not on the path";
}

// The outcome each run must reach, one row per run, in
// tests/endtoend/expected/fault_matrix.tsv (the Wine runs of
// tests/endtoend/fault_matrix.py read the same file): tab-separated, a header
// line, then sample, k ("-" for the run without a fault), what transfer k is,
// the fault, and the message box's first line or "none".
using TRowKey = std::tuple<std::string, int, std::string>;  // sample, k, fault

struct TExpected {
  std::string Transfer;
  std::vector<std::string> Boxes;
};

bool ReadExpected(const std::string& path, std::map<TRowKey, TExpected>* rows, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string where = path + ":" + std::to_string(number) + ": ";
    if (number == 1) {
      if (line != "sample\tk\ttransfer\tfault\tmessage") {
        *error = where + "not the header \"sample, k, transfer, fault, message\"";
        return false;
      }
      continue;
    }
    std::vector<std::string> cells;
    std::istringstream fields(line);
    for (std::string cell; std::getline(fields, cell, '\t');) {
      cells.push_back(cell);
    }
    const std::string& k = cells.size() == 5 ? cells[1] : line;
    if (cells.size() != 5 || k.empty() ||
        (k != "-" && k.find_first_not_of("0123456789") != k.npos)) {
      *error = where + "not five cells with k a number or \"-\": " + line;
      return false;
    }
    const TRowKey key{cells[0], k == "-" ? 0 : std::stoi(k), cells[3]};
    TExpected row{cells[2], {}};
    if (cells[4] != "none") {
      row.Boxes.push_back(cells[4]);
    }
    if (!rows->emplace(key, row).second) {
      *error = where + "a second row for " + cells[0] + " " + k + " " + cells[3];
      return false;
    }
  }
  return true;
}

bool HoldsChoice(const std::vector<std::uint8_t>& block, camsim::Kind kind) {
  const camsim::BlockFields fields = camsim::DecodeBlock(kind, block);
  return fields.FilterPositions == ChosenPositions && fields.WheelRevision2;
}

bool OnlyConfigDiffers(const std::vector<std::uint8_t>& before,
                       const std::vector<std::uint8_t>& after, bool ortek, bool tamis) {
  if (before.size() != after.size()) {
    return false;
  }
  const std::uint8_t flagBits = ortek ? 0x83 : tamis ? 0x02 : 0x04;
  const std::uint8_t countBits = ortek ? 0x0F : 0xFF;
  for (std::size_t i = 0; i < before.size(); ++i) {
    const std::uint8_t mask = i == 4 ? flagBits : i == 5 ? countBits : 0;
    if ((before[i] & ~mask & 0xFF) != (after[i] & ~mask & 0xFF)) {
      return false;
    }
  }
  return true;
}

TOutcome RunPath(const TCamera& camera, const TFault& fault, int k) {
  TOutcome outcome;
  const std::size_t descriptors = static_cast<std::size_t>(OpenDescriptorCount());
  {
    TAppHarness app;
    app.AddCamera("cam", camera.Sample);
    const camsim::Kind kind = *app.Sim->KindOf("cam");
    const std::vector<std::uint8_t> before = CameraBlock(*app.Sim, "cam");
    switch (fault.Kind) {
      case TFaultKind::Drop:
        app.Sim->Fault("cam", "drop", {k});
        break;
      case TFaultKind::Refuse:
        app.Sim->Fault("cam", "refuse-at", {k, fault.Status});
        break;
      case TFaultKind::Short:
        app.Sim->Fault("cam", "short-at", {k, 5});
        break;
      case TFaultKind::None:
        break;
    }
    app.Start();
    for (int action = 0; action < 60 && !app.Ended(); ++action) {
      CBrisaConfig& w = *app.Window;
      const bool nextEnabled = w.NextButton != nullptr && w.NextButton->IsEnabled();
      switch (w.WizardStep) {
        case 1:
        case 3:
          if (!app.Sim->IsPlugged("cam")) {
            app.Plug("cam");
          }
          nextEnabled ? app.PressNext() : app.PressStep();
          break;
        case 2:
          if (app.Sim->IsPlugged("cam")) {
            app.Unplug("cam");
          } else {
            app.PressNext();
          }
          break;
        case 4:
          if (nextEnabled) {
            app.PressNext();
          } else {
            app.PickPositions(ChosenItem);
            app.PickWheel(ChosenWheel);
            app.PressStep();
          }
          break;
        case 5:
          ++outcome.SuccessPages;
          if (!HoldsChoice(CameraBlock(*app.Sim, "cam"), kind)) {
            ++outcome.UnverifiedSuccess;
          }
          app.PressNext();
          break;
        default:
          app.Pump();
          break;
      }
    }
    outcome.Finished = app.Ended();
    for (const THeadlessBox& box : app.Boxes()) {
      outcome.Boxes.push_back(box.Line1);
    }
    outcome.Transfer =
        k > 0 ? TransferAt(Requests(app.Sim->Log(), "cam"), camera.Tamis, k) : "none";
    const std::vector<std::uint8_t> after = CameraBlock(*app.Sim, "cam");
    outcome.ChoiceStored = HoldsChoice(after, kind);
    outcome.OtherBytesChanged =
        !OnlyConfigDiffers(before, after, camsim::GroupOf(kind) == camsim::Group::Ortek,
                           camsim::GroupOf(kind) == camsim::Group::Tamis);
    outcome.Leaked = PosixOpenHandleCount() != 0 || PosixLiveNotificationCount() != 0 ||
                     PosixLiveDeviceSetCount() != 0;
  }
  outcome.Leaked = outcome.Leaked || static_cast<std::size_t>(OpenDescriptorCount()) != descriptors;
  return outcome;
}

TEST(FaultMatrix, EveryTransferFailingEveryWay) {
  std::map<TRowKey, TExpected> rows;
  std::string error;
  ASSERT_TRUE(ReadExpected(PELWIN_FAULT_MATRIX_TABLE, &rows, &error)) << error;
  std::ostringstream table;
  table << "| camera | transfer k | what k is | fault | messages | success pages | "
           "EEPROM holds the choice | other bytes kept | leaks |\n"
        << "|---|---|---|---|---|---|---|---|---|\n";
  int runs = 0;
  int failures = 0;
  for (const TCamera& camera : Cameras) {
    // The fault-free path first: it is what every other run must come back to.
    const TFault none{TFaultKind::None, 0, "none"};
    std::vector<std::pair<const TFault*, int>> plan = {{&none, 0}};
    for (int k = 1; k <= camera.Transfers; ++k) {
      for (const TFault& fault : Faults) {
        plan.push_back({&fault, k});
      }
    }
    for (const auto& [fault, k] : plan) {
      SCOPED_TRACE(std::string(camera.Sample) + " " + fault->Name + " at " + std::to_string(k));
      const TOutcome outcome = RunPath(camera, *fault, k);
      ++runs;
      const auto row = rows.find({camera.Sample, k, fault->Name});
      const bool known = row != rows.end();
      EXPECT_TRUE(known) << "no row in " << PELWIN_FAULT_MATRIX_TABLE;
      const TExpected expected = known ? row->second : TExpected{"no row", {}};
      if (known) {
        rows.erase(row);
      }
      const bool ok = known && outcome.Finished && outcome.Boxes == expected.Boxes &&
                      outcome.Transfer == expected.Transfer && outcome.SuccessPages == 1 &&
                      outcome.UnverifiedSuccess == 0 && outcome.ChoiceStored &&
                      !outcome.OtherBytesChanged && !outcome.Leaked;
      if (!ok) {
        ++failures;
      }
      EXPECT_TRUE(outcome.Finished);
      EXPECT_EQ(outcome.Boxes, expected.Boxes);
      EXPECT_EQ(outcome.Transfer, expected.Transfer);
      EXPECT_EQ(outcome.SuccessPages, 1);
      EXPECT_EQ(outcome.UnverifiedSuccess, 0);
      EXPECT_TRUE(outcome.ChoiceStored);
      EXPECT_FALSE(outcome.OtherBytesChanged);
      EXPECT_FALSE(outcome.Leaked);
      // What happened; where it is not what the row says, that too.
      const std::string transfer = outcome.Transfer == expected.Transfer
                                       ? outcome.Transfer
                                       : outcome.Transfer + " (expected " + expected.Transfer + ")";
      const std::string messages =
          outcome.Boxes == expected.Boxes
              ? Join(outcome.Boxes)
              : Join(outcome.Boxes) + " (expected " + Join(expected.Boxes) + ")";
      table << "| " << camera.Group << " (" << camera.Sample << ") | "
            << (k == 0 ? "-" : std::to_string(k)) << " | " << transfer << " | " << fault->Name
            << " | " << messages << " | " << outcome.SuccessPages << " | "
            << (outcome.ChoiceStored ? "yes" : "NO") << " | "
            << (outcome.OtherBytesChanged ? "NO" : "yes") << " | "
            << (outcome.Leaked ? "LEAK" : "none") << " |\n";
    }
  }
  // A row that no run reached: the table and the runs must be the same set.
  for (const auto& [key, row] : rows) {
    ADD_FAILURE() << "a row without a run in " << PELWIN_FAULT_MATRIX_TABLE << ": "
                  << std::get<0>(key) << " " << std::get<1>(key) << " " << std::get<2>(key);
    ++failures;
  }
  std::printf("fault matrix: %d runs, %d with an unexpected outcome\n", runs, failures);
  if (const char* path = std::getenv("PELWIN_RELIABILITY_REPORT")) {
    std::ofstream out(path, std::ios::trunc);
    out << "# Reliability: the fault matrix\n\n"
        << "Made by `tools/update_reliability.sh` from the output of the tests\n"
        << "`FaultMatrix.*` (tests/integration/fault_matrix_test.cpp) and `Permission.*`\n"
        << "(tests/integration/permission_test.cpp): failing transfers, another camera at\n"
        << "the filters page, the ways the program ends, two pelwins one after the other,\n"
        << "pelwins at the same moment, and processes that are not pelwin's; then, written\n"
        << "by hand, who can touch the permission, and the runs under Wine.\n\n"
        << "## Every transfer failing every way\n\n"
        << "Each run configures one camera of a group through the whole wizard while camsim\n"
        << "makes transfer k fail once: `drop` closes every connection without a reply,\n"
        << "`refuse S` answers with status S and does nothing, `short` cuts a read reply to\n"
        << "5 bytes (a write's one-byte reply cannot be cut). The simulated user then goes on:\n"
        << "scans again after a failed scan, starts over after a message, and chooses\n"
        << "7 positions and revision 2.\n\n"
        << "What each run must show is one row of `tests/endtoend/expected/fault_matrix.tsv`\n"
        << "(sample, k, what transfer k is, fault, message or none), the file the runs under\n"
        << "Wine read too; a run without a row, or a row without a run, fails the test.\n\n"
        << "Checked in every run: the program never crashes; transfer k is the one its row\n"
        << "names (the camera's k-th request, as camsim logged it); it shows exactly the\n"
        << "message of its row; the success page appears once, and only over an EEPROM that\n"
        << "holds the choice (read back and compared); no byte outside the chosen fields\n"
        << "changes; no pipe, device set, notification registration or descriptor is left.\n"
        << "The table shows what happened; a cell that is not what the row says gives the\n"
        << "row's too (\"(expected ...)\").\n\n"
        << runs << " runs, " << failures << " with an unexpected outcome.\n\n"
        << table.str();
  }
}

// ---------------------------------------------------------------------------
// Another camera arriving at the filters page while the first one is connected.
// The arrival reconnects to whichever interface is found first.

enum class TArrival {
  None,
  SameClassFirst,
  HeaderOnly,
  ConfigOnly,
  EarlierClass,
  KindOnly,
  SameClassAfter,
  SameClassAfterLost
};

struct TArrivalCase {
  TArrival Arrival;
  const char* Name;
  const char* Box;  // "" for none
  bool Written;     // the first camera takes the choice
  bool TamisToo;    // Tamis cameras have no header to differ in
};

constexpr char Different[] = "This camera is different / Plug in the same camera";
constexpr char WriteFailed[] = "Cannot write camera EEPROM / Contact technical support";

// Each arriving camera differs from the first in one thing only, so that each
// comparison is the only one that can tell them apart: the camera ID; one
// header byte; the positions count under the same ID; the interface class, over
// the same records (a Tamis camera's block at the short-form address of a
// camera of an earlier class, whose header is the Tamis scan's, which reads none).
const TArrivalCase Arrivals[] = {
    {TArrival::None, "none (the normal path)", "", true, true},
    {TArrival::SameClassFirst, "same class, found first, another ID", Different, false, true},
    {TArrival::HeaderOnly, "same class, found first, one header byte other", Different, false,
     false},
    {TArrival::ConfigOnly, "same class, found first, same ID, other positions", Different, false,
     true},
    {TArrival::EarlierClass, "earlier class", Different, false, true},
    {TArrival::KindOnly, "earlier class, the same records", Different, false, true},
    {TArrival::SameClassAfter, "same class, found after the first", "", true, true},
    // The first camera is found again, but the read that would compare it is lost.
    {TArrival::SameClassAfterLost, "same class, found after; its re-read lost", WriteFailed, false,
     true},
};

// The sample of an earlier interface class than `first`'s, of its group where
// there is one.
const char* EarlierKin(const std::string& first) {
  return first == "ortek-kaf" ? "ortek-kai" : first == "selvo-kaf" ? "selvo-kai" : "selvo-kaf";
}

// Gives camera `to` the records of camera `from`, each at `to`'s own address.
void CopyRecords(camsim::Simulator& sim, const std::string& from, const std::string& to) {
  const camsim::Kind fromKind = *sim.KindOf(from);
  const camsim::Kind toKind = *sim.KindOf(to);
  const std::vector<std::uint8_t> image = sim.Eeprom(from);
  std::vector<std::uint8_t> header(camsim::kHeaderSize, 0);
  if (camsim::GroupOf(fromKind) != camsim::Group::Tamis) {
    header.assign(image.begin(), image.begin() + camsim::kHeaderSize);
  }
  if (camsim::GroupOf(toKind) != camsim::Group::Tamis) {
    sim.Poke(to, camsim::kHeaderAddress, header);
  }
  const std::vector<std::uint8_t> block = CameraBlock(sim, from);
  sim.Poke(to, camsim::BlockAddress(toKind), block);
}

struct TArrivalOutcome {
  std::vector<std::string> Boxes;
  int OtherWriteFrames = 0;
  int FirstWriteFrames = 0;  // shows that the count sees writes at all
  bool OtherUnchanged = true;
  bool FirstHoldsChoice = false;
  std::uint64_t FirstCommands = 0;
  int StepAfter = 0;
  std::string Note;
};

int WriteFrames(camsim::Simulator& sim, const std::string& id) {
  const std::vector<std::string> requests = Requests(sim.Log(), id);
  return static_cast<int>(
      std::count_if(requests.begin(), requests.end(),
                    [](const std::string& frame) { return frame.starts_with("13"); }));
}

TArrivalOutcome RunArrival(const char* firstSample, const TArrivalCase& arrival) {
  TArrivalOutcome outcome;
  const bool tamis = camsim::GroupOf(camsim::FindSample(firstSample)->kind) == camsim::Group::Tamis;
  TAppHarness app;
  std::string error;
  // The first camera; a camera of its class at the other instance; one of an
  // earlier class. Only the one the case plugs in at the filters page is seen.
  const bool otherFirst = arrival.Arrival == TArrival::SameClassFirst ||
                          arrival.Arrival == TArrival::HeaderOnly ||
                          arrival.Arrival == TArrival::ConfigOnly;
  app.Sim->Add("first", firstSample, &error, otherFirst ? "cam1" : "cam0");
  app.Sim->Add("same", firstSample, &error, otherFirst ? "cam0" : "cam1");
  app.Sim->Add("earlier", tamis ? "selvo-kaf" : "ortek-kai", &error);
  app.Sim->Add("kin", EarlierKin(firstSample), &error, "cam9");
  // Of the same sample, with the first one's records but for what the case changes.
  const camsim::Kind kind = *app.Sim->KindOf("same");
  const std::uint32_t blockAddress = camsim::BlockAddress(kind);
  CopyRecords(*app.Sim, "first", "same");
  CopyRecords(*app.Sim, "first", "kin");
  const auto flip = [&](std::uint32_t address) {
    const std::uint8_t other[] = {static_cast<std::uint8_t>(~app.Sim->Eeprom("same")[address])};
    app.Sim->Poke("same", address, other);
  };
  if (arrival.Arrival == TArrival::HeaderOnly) {
    flip(camsim::kHeaderAddress + camsim::kHeaderSize - 1);
  } else if (arrival.Arrival == TArrival::ConfigOnly) {
    flip(blockAddress + PositionCountOffset);
  } else {
    flip(blockAddress + CameraIdOffset);
  }
  app.Sim->Plug("first");
  const std::vector<std::uint8_t> firstBefore = CameraBlock(*app.Sim, "first");
  if (!error.empty()) {
    outcome.Note = "camsim: " + error;
    return outcome;
  }

  app.Start();
  DriveToPage(app, tamis, tamis ? 2 : 4, "first", false);
  if (app.Window->WizardStep != 4) {
    outcome.Note = "the filters page was not reached";
    return outcome;
  }
  const std::string other = arrival.Arrival == TArrival::EarlierClass ? "earlier"
                            : arrival.Arrival == TArrival::KindOnly   ? "kin"
                                                                      : "same";
  const std::vector<std::uint8_t> otherBefore = CameraBlock(*app.Sim, other);
  const std::uint32_t serial = app.Window->ConnectionSerial;
  if (arrival.Arrival == TArrival::EarlierClass || arrival.Arrival == TArrival::KindOnly) {
    // Its class is not watched: it is found by the reconnect that the next
    // arrival of the watched class makes.
    app.Sim->Plug(other);
    app.Sim->Plug("same");
  } else if (arrival.Arrival != TArrival::None) {
    app.Sim->Plug("same");
  }
  if (arrival.Arrival == TArrival::SameClassAfterLost) {
    app.Sim->Fault("first", "drop", {1});
  }
  if (arrival.Arrival != TArrival::None) {
    CBrisaConfig* window = app.Window;
    if (!HeadlessPeers()->PumpUntil([&] { return window->ConnectionSerial != serial; }, 3000)) {
      outcome.Note = "the arrival was not seen";
    }
    app.Pump();
  }
  app.PickPositions(ChosenItem);
  app.PickWheel(ChosenWheel);
  app.PressStep();
  outcome.StepAfter = app.Window->WizardStep;
  if (outcome.StepAfter == 4 && app.Window->NextButton->IsEnabled()) {
    app.PressNext();
    app.PressNext();
    outcome.StepAfter = app.Ended() ? 6 : app.Window->WizardStep;
  }
  for (const THeadlessBox& box : app.Boxes()) {
    outcome.Boxes.push_back(box.Line1 + " / " + box.Line2);
    if (box.Icon != (std::string(arrival.Box) == Different ? piInfo32 : piStop)) {
      outcome.Note = "the box has the wrong icon";
    }
  }
  if (arrival.Arrival != TArrival::None) {
    outcome.OtherWriteFrames = WriteFrames(*app.Sim, other);
    outcome.OtherUnchanged = CameraBlock(*app.Sim, other) == otherBefore;
  }
  const std::vector<std::uint8_t> firstAfter = CameraBlock(*app.Sim, "first");
  outcome.FirstHoldsChoice = HoldsChoice(firstAfter, *app.Sim->KindOf("first"));
  if (!outcome.FirstHoldsChoice && firstAfter != firstBefore) {
    outcome.Note = "the first camera changed without holding the choice";
  }
  outcome.FirstCommands = app.Sim->Transfers("first");
  outcome.FirstWriteFrames = WriteFrames(*app.Sim, "first");
  return outcome;
}

TEST(FaultMatrix, AnotherCameraAtTheFiltersPageIsNeverWritten) {
  std::ostringstream table;
  table << "| first camera | arriving camera | messages | write frames to it | it is unchanged | "
           "first camera holds the choice | commands to the first camera | afterwards |\n"
        << "|---|---|---|---|---|---|---|---|\n";
  int runs = 0;
  int failures = 0;
  for (const char* sample : {"ortek-kaf", "selvo-kaf", "tamis-a"}) {
    const bool tamis = std::string(sample) == "tamis-a";
    // The commands of the path as it is without any arrival: scans and write.
    const std::uint64_t normal = tamis ? 4 : 6;
    const std::uint64_t reread = tamis ? 1 : 2;
    const int writes = tamis ? 2 : 1;
    for (const TArrivalCase& arrival : Arrivals) {
      if (tamis && !arrival.TamisToo) {
        continue;
      }
      const TArrivalOutcome outcome = RunArrival(sample, arrival);
      ++runs;
      const std::vector<std::string> expectedBoxes =
          *arrival.Box != '\0' ? std::vector<std::string>{arrival.Box} : std::vector<std::string>{};
      // The first camera is sent the scans of its path; when written, the write
      // and its read-back too, and the reads again after a reconnect to it. A
      // lost re-read is not counted; the restart then scans it once more.
      const std::uint64_t scans = normal - (tamis ? 3 : 2);
      const std::uint64_t expectedCommands =
          arrival.Written ? normal + (arrival.Arrival == TArrival::SameClassAfter ? reread : 0)
                          : scans + (arrival.Arrival == TArrival::SameClassAfterLost ? reread : 0);
      const int expectedStep = arrival.Written ? 6 : 1;
      const std::string what = std::string(sample) + ", " + arrival.Name;
      const bool ok =
          outcome.Note.empty() && outcome.Boxes == expectedBoxes && outcome.OtherWriteFrames == 0 &&
          outcome.OtherUnchanged && outcome.FirstHoldsChoice == arrival.Written &&
          outcome.FirstCommands == expectedCommands && outcome.StepAfter == expectedStep &&
          outcome.FirstWriteFrames == (arrival.Written ? writes : 0);
      if (!ok) {
        ++failures;
      }
      EXPECT_EQ(outcome.Note, "") << what;
      EXPECT_EQ(outcome.Boxes, expectedBoxes) << what;
      EXPECT_EQ(outcome.OtherWriteFrames, 0) << what;
      EXPECT_TRUE(outcome.OtherUnchanged) << what;
      EXPECT_EQ(outcome.FirstHoldsChoice, arrival.Written) << what;
      EXPECT_EQ(outcome.FirstCommands, expectedCommands) << what;
      EXPECT_EQ(outcome.StepAfter, expectedStep) << what;
      EXPECT_EQ(outcome.FirstWriteFrames, arrival.Written ? writes : 0) << what;
      table << "| " << sample << " | " << arrival.Name << " | " << Join(outcome.Boxes) << " | "
            << (arrival.Arrival == TArrival::None ? "-" : std::to_string(outcome.OtherWriteFrames))
            << " | " << (outcome.OtherUnchanged ? "yes" : "NO") << " | "
            << (outcome.FirstHoldsChoice ? "yes" : "no") << " | " << outcome.FirstCommands << " | "
            << (outcome.StepAfter == 6   ? "finished"
                : outcome.StepAfter == 1 ? "page 1, new scan"
                                         : "page " + std::to_string(outcome.StepAfter))
            << " |\n";
    }
  }
  std::printf("arrivals: %d runs, %d with an unexpected outcome\n", runs, failures);
  std::ostringstream section;
  section << "\n## Another camera at the filters page\n\n"
          << "A device arrival reconnects to the first interface found, which need not be the\n"
          << "camera that was scanned. Each run takes a camera (Ortek, Selvo, Tamis) to the\n"
          << "filters page; then another camera arrives while the first is still connected:\n"
          << "of the same class and found first, with the first one's records but for one\n"
          << "thing (the camera ID; one header byte; the positions under the same ID); of an\n"
          << "earlier class, found by the reconnect that the next arrival of the watched class\n"
          << "makes, with records of its own or with the first one's (only the class differs);\n"
          << "or one arrives that is found after the first (once also with the read that would\n"
          << "compare the first camera lost), or none. Removing any one of the comparisons\n"
          << "(class, header, block, the Ortek block's 59 bytes) fails a run. The user then\n"
          << "chooses 7 positions and revision 2 and clicks \"Write Filters\".\n\n"
          << "Checked in every run: a connection made after the scan is read again and compared\n"
          << "before anything is written; another camera gets no write frame and keeps every\n"
          << "byte, the box \"This camera is different\" / \"Plug in the same camera\" is shown\n"
          << "and the wizard starts again; the first camera found again is written; a lost\n"
          << "re-read writes nothing and says \"Cannot write camera EEPROM\"; the path\n"
          << "without an arrival sends exactly the commands it always did (6 for Selvo, 4 for\n"
          << "Tamis, counted through \"Finish\").\n\n"
          << runs << " runs, " << failures << " with an unexpected outcome.\n\n"
          << table.str();
  WriteReportSection(section.str());
}

}  // namespace
