// The faults a camera can be told to have, in one table: each form's name,
// arguments and help, and what it sets. The control line, the command line
// and the in-process test interface all read this table; what a fault then
// does to a frame is ServeFrame's (frames.cpp), and the pipe faults are
// the port's to follow. Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace camsim {

inline constexpr int kPipeCount = 3;

// The faults planted in one camera. The port acts on PipeFailed and the
// session on DelayMs; ServeFrame consumes the rest as commands arrive.
struct Faults {
  int RefuseLeft = 0;
  uint8_t RefuseStatus = 0;
  int DropIn = 0;  // counts commands down to the one that drops
  int ShortLeft = 0;
  int ShortBytes = 1;
  int RefuseIn = 0;  // counts commands down to the one refused with RefuseAtStatus
  uint8_t RefuseAtStatus = 0;
  int ShortIn = 0;  // counts commands down to the one whose read reply is cut
  int ShortAtBytes = 1;
  int CorruptLeft = 0;
  bool PipeFailed[kPipeCount] = {};
  int DelayMs = 0;

  // "refuse:2x0x81,drop@3", or "none".
  std::string Describe() const;
};

// One argument: a number from Min to Max, or, when Words is set ("on|off"),
// one of its two words, which stand for 1 and 0.
struct FaultArgument {
  const char* Name;
  long Min;
  long Max;
  const char* Words;
};

struct FaultForm {
  const char* Name;
  size_t Count;  // of Arguments in use
  FaultArgument Arguments[2];
  const char* Help;
  // Sets the faults; the values are in range.
  void (*Apply)(Faults& faults, const long* values);
};

const FaultForm* FindFaultForm(std::string_view name);

// Decimal, or hexadecimal after "0x"; nothing else, so that "010" is not octal.
bool ParseNumber(std::string_view text, long min, long max, long* value);

// The words after the form's name, made values; false when one does not fit.
bool ParseFaultArguments(const FaultForm& form, const std::string* words, long* values);
// Sets the form with these values; false (nothing set) when they do not fit.
bool ApplyFault(const FaultForm& form, std::span<const long> values, Faults* faults);

// "usage: fault [ID] refuse N STATUS (N 0..1000000, STATUS 0..255)".
std::string FaultUsage(const FaultForm& form);
// One line per form, "<indent>refuse N STATUS  <help>", the helps aligned.
std::string FaultHelp(std::string_view indent);

}  // namespace camsim
