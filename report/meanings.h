// What a finding means to a user and the one thing to do about it, in plain
// words. Each returns the text of one line (empty: nothing to say), which the
// report prints under the finding after "-> ".
#pragma once

#include <string>

#include "report/facts.h"

// The system's reason in words: "not found", "access denied", ...
std::string ErrorName(DWORD error);

std::string AdministratorMeaning(bool administrator);
std::string InterfaceMeaning(const TInterfaceFacts& entry);
std::string ClassListMeaning(const TClassFacts& facts);
// camerasDriver: the driver of the camera the report read (its model code).
std::string DriverMeaning(const TDriverFacts& driver, bool camerasDriver, bool administrator);
// No camera: whether some interface was there at all, but did not open.
std::string NoCameraMeaning(bool anyInterface);
std::string PipeMeaning(const TPipeFailure& failure);
std::string HeaderMeaning(const std::uint8_t* header);
std::string ModelMeaning(const TServiceKey* key);
std::string ReadFailedMeaning(const TCameraFacts& camera);
std::string PositionsMeaning(const TCameraFacts& camera);
std::string SilentMeaning();
