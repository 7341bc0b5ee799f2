// When the driver's AllowEEPROMWrite stands. The value lets any program write
// the EEPROM, so it must stand exactly while some running pelwin needs it.
//
// A run that grants it holds the permission (permission_holders.h) until it is
// done with it; the system drops the hold when the run ends, however it ends.
// Before the value is set it is marked as pelwin's. A run done with it deletes
// it unless another run still holds it, and a start deletes every marked value
// that no run holds (what a killed run left). Each decision is taken under one
// machine-wide lock, so no interleaving of any number of pelwins can leave the
// value standing or take it from a run that needs it. A value that pelwin did
// not mark is never deleted by a start.
#include "app/brisa_config.h"
#include "config/permission_holders.h"

namespace {

// A hold that cannot be looked at may be a running pelwin's: a decision keeps
// the permission for it.
bool HoldExists(std::uint16_t modelCode) {
  return LookForHold(modelCode) != THeldState::NotHeld;
}

}  // namespace

THeldState EepromWriteHeld(std::uint16_t modelCode) {
  if (FindServiceKey(modelCode) == nullptr) {
    return THeldState::NotHeld;
  }
  // Under the lock, so that the look falls between two decisions and never
  // into one (on Windows the look opens the object for a moment). A lock that
  // no pelwin has made has never covered a grant: nothing is held.
  CPermissionLock lock(nullptr, false);
  if (lock.Absent()) {
    return THeldState::NotHeld;
  }
  if (!lock.Held()) {
    return THeldState::CannotTell;
  }
  return LookForHold(modelCode);
}

void CBrisaConfig::RevokeLeftoverGrant() {
  // The usual start finds no mark and takes no lock.
  bool marked = false;
  for (std::int32_t i = 0; i < ServiceKeyCount && !marked; ++i) {
    marked = GrantMarked(ServiceKeyPath[i].ModelCode);
  }
  if (!marked) {
    return;
  }
  CPermissionLock lock(&PermissionLock);
  if (!lock.Held()) {
    return;
  }
  for (std::int32_t i = 0; i < ServiceKeyCount; ++i) {
    const std::uint16_t modelCode = ServiceKeyPath[i].ModelCode;
    // Without the rights to delete it now, the mark stays for a later start.
    if (GrantMarked(modelCode) && !HoldExists(modelCode) && RevokeEepromWrite(modelCode)) {
      UnmarkGrant(modelCode);
    }
  }
}

bool CBrisaConfig::HoldGrant(std::uint16_t modelCode) {
  // A run answers for one permission at a time. Each pass of the wizard grants
  // its own at the unplug page, so one granted for another camera earlier is
  // no longer needed: let it go, or grant nothing.
  if (StandingGrant != 0 && StandingGrant != modelCode) {
    ReleaseGrant(StandingGrant);
    if (StandingGrant != 0) {
      return false;
    }
  }
  if (FindServiceKey(modelCode) == nullptr) {
    return false;
  }
  CPermissionLock lock(&PermissionLock);
  if (!lock.Held()) {
    return false;
  }
  if (GrantHold == nullptr) {
    GrantHold = TakeHold(modelCode);
    if (GrantHold == nullptr) {
      return false;
    }
  }
  // From here the run's end lets the hold go and deletes what it finds.
  StandingGrant = modelCode;
  // The mark first: a run that ends between the two leaves a mark over
  // nothing, never a value that nothing marks.
  return MarkGrant(modelCode) && GrantEepromWrite(modelCode);
}

void CBrisaConfig::ReleaseGrant(std::uint16_t modelCode) {
  if (StandingGrant == 0 || StandingGrant != modelCode) {
    return;
  }
  CPermissionLock lock(&PermissionLock);
  if (!lock.Held()) {
    return;  // still held: the run's end tries again, and a kill leaves the mark
  }
  if (GrantHold != nullptr) {
    CloseHandle(GrantHold);
    GrantHold = nullptr;
  }
  if (!HoldExists(modelCode)) {
    if (!RevokeEepromWrite(modelCode)) {
      return;  // still standing and marked: tried again at the end and at every start
    }
    UnmarkGrant(modelCode);
  }
  StandingGrant = 0;
}

void CBrisaConfig::RevokeStandingGrant() {
  if (StandingGrant != 0) {
    ReleaseGrant(StandingGrant);
  }
}
