// The whole program on the headless peer against camsim, on private roots.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/brisa_config.h"
#include "headless.h"
#include "posix_faults.h"
#include "sim/linux/simulator.h"
#include "support/temp_roots_posix.h"
#include "wizard/camera_info_pane.h"

class TAppHarness {
 public:
  TAppHarness();
  ~TAppHarness();

  TTempRoots Roots;
  std::unique_ptr<camsim::Simulator> Sim;
  CBrisaConfig* Window = nullptr;

  // Installs a sample camera under `id` and plugs it in unless told not to.
  void AddCamera(const std::string& id, const std::string& sample, bool plug = true);
  void Start(int showState = 10);
  // Handles what is queued; with a timeout, also waits for a notification.
  void Pump();
  bool PumpUntil(bool (*done)(TAppHarness&), int timeoutMs = 3000);
  void PressStep();
  void PressNext();
  void PickPositions(std::int32_t item);
  void PickWheel(std::int32_t item);
  // Unplugs/plugs and waits until the window has seen it (or the time is up).
  void Unplug(const std::string& id);
  void Plug(const std::string& id);
  // The frame's close control; ends the program.
  void Close();
  // The machine of another harness (its machine registry and named objects)
  // and, for a pelwin of the same user, its user registry; before any camera
  // is added. The devices and camsim stay this harness's own.
  void ShareRegistries(const TTempRoots& shared, bool sameUser = true);
  bool Ended() const { return WindowGone; }

  CHeadlessPeers* Peers() const { return HeadlessPeers(); }
  std::vector<THeadlessBox>& Boxes() const { return HeadlessPeers()->Boxes; }
  std::string Value(int line) const;  // 1 to 4
  std::string Heading() const;
  std::string Instruction(int line) const;  // 1 to 3
  bool Connected() const { return (Window->LinkFlags & LinkConnected) != 0; }
  std::string Title() const { return Window->Title(); }
  std::uint16_t HeaderModelCode() const;
  // The machine registry's AllowEEPROMWrite of a model code's service key.
  bool PermissionSet(std::uint16_t modelCode) const;

 private:
  bool WindowGone = false;
};

// Bytes of a camera's block as camsim holds it.
std::vector<std::uint8_t> CameraBlock(camsim::Simulator& sim, const std::string& id);

// ---------------------------------------------------------------------------
// What the tables of runs share.

// One camera of each group.
struct TCamera {
  const char* Sample;
  const char* Group;
  bool Tamis;
  int Transfers;  // commands on the path without faults
};

inline constexpr TCamera Cameras[] = {
    {"ortek-kai", "Ortek", false, 6},
    {"selvo-e2v", "Selvo", false, 6},
    {"tamis-a", "Tamis", true, 4},
};

// What the user's choice is in every run: 7 positions, revision 2.
inline constexpr std::int32_t ChosenItem = 4;
inline constexpr unsigned ChosenPositions = 7;
inline constexpr std::int32_t ChosenWheel = 2;

// Brings the camera `id` to page `page` of its path (Tamis: 1 to 3) the way a
// user does; the filters page is left after a successful write.
void DriveToPage(TAppHarness& app, bool tamis, int page, const std::string& id, bool write = true);

// The boxes' texts in quotes, "; " between them; "none" for no box.
std::string Join(const std::vector<std::string>& items);

// Adds a part to docs/reliability.md when PELWIN_RELIABILITY_REPORT names it.
void WriteReportSection(const std::string& text);
