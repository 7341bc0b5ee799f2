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
