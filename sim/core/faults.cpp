#include "sim/core/faults.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace camsim {
namespace {

constexpr long kMany = 1000000;
constexpr long kMaxBytes = 64;  // a frame
constexpr FaultArgument kCount = {"N", 0, kMany, nullptr};
constexpr FaultArgument kCommand = {"K", 0, kMany, nullptr};
constexpr FaultArgument kStatus = {"STATUS", 0, 255, nullptr};
constexpr FaultArgument kBytes = {"BYTES", 1, kMaxBytes, nullptr};

// Adding a fault: a member of Faults, a row here, what it does in ServeFrame.
// clang-format off
constexpr FaultForm kForms[] = {
    {"refuse", 2, {kCount, kStatus},
     "answer the next N commands with STATUS (e.g. 0x82), unexecuted",
     [](Faults& f, const long* v) { f.RefuseLeft = int(v[0]); f.RefuseStatus = uint8_t(v[1]); }},
    {"refuse-at", 2, {kCommand, kStatus},
     "answer the K-th command from now (1: the next) with STATUS; 0 cancels",
     [](Faults& f, const long* v) { f.RefuseIn = int(v[0]); f.RefuseAtStatus = uint8_t(v[1]); }},
    {"drop", 1, {kCommand}, "at the K-th command from now close every connection, no reply",
     [](Faults& f, const long* v) { f.DropIn = int(v[0]); }},
    {"short", 2, {kCount, kBytes}, "cut the next N successful read replies to BYTES bytes",
     [](Faults& f, const long* v) { f.ShortLeft = int(v[0]); f.ShortBytes = int(v[1]); }},
    {"short-at", 2, {kCommand, kBytes}, "cut the K-th command's read reply to BYTES bytes",
     [](Faults& f, const long* v) { f.ShortIn = int(v[0]); f.ShortAtBytes = int(v[1]); }},
    {"corrupt", 1, {kCount}, "flip the first data byte of the next N successful read replies",
     [](Faults& f, const long* v) { f.CorruptLeft = int(v[0]); }},
    {"pipe", 2, {{"N", 0, kPipeCount - 1, nullptr}, {"on|off", 0, 1, "on|off"}},
     "pipe N (0, 1, 2) cannot be opened while on",
     [](Faults& f, const long* v) { f.PipeFailed[v[0]] = v[1] != 0; }},
    {"delay", 1, {{"MS", 0, 600000, nullptr}}, "hold every reply back MS milliseconds (0: off)",
     [](Faults& f, const long* v) { f.DelayMs = int(v[0]); }},
    {"clear", 0, {}, "remove every fault", [](Faults& f, const long*) { f = Faults{}; }},
};
// clang-format on

std::string Shape(const FaultForm& form) {
  std::string text = form.Name;
  for (size_t i = 0; i < form.Count; ++i) {
    text += ' ';
    text += form.Arguments[i].Name;
  }
  return text;
}

bool Fits(const FaultArgument& argument, long value) {
  return value >= argument.Min && value <= argument.Max;
}

}  // namespace

const FaultForm* FindFaultForm(std::string_view name) {
  for (const FaultForm& form : kForms) {
    if (name == form.Name) {
      return &form;
    }
  }
  return nullptr;
}

bool ParseNumber(std::string_view text, long min, long max, long* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string_view digits = text.substr(hex ? 2 : 0);
  uint64_t result = 0;  // at most 8 digits: fits on every port
  const char* end = digits.data() + digits.size();
  const auto parsed = std::from_chars(digits.data(), end, result, hex ? 16 : 10);
  if (digits.empty() || digits.size() > 8 || parsed.ec != std::errc() || parsed.ptr != end ||
      int64_t(result) < min || int64_t(result) > max) {
    return false;
  }
  *value = long(result);
  return true;
}

bool ParseFaultArguments(const FaultForm& form, const std::string* words, long* values) {
  for (size_t i = 0; i < form.Count; ++i) {
    const FaultArgument& argument = form.Arguments[i];
    if (!argument.Words) {
      if (!ParseNumber(words[i], argument.Min, argument.Max, &values[i])) {
        return false;
      }
      continue;
    }
    // "on|off": the first word is 1.
    const std::string_view choices = argument.Words;
    const size_t bar = choices.find('|');
    if (words[i] == choices.substr(0, bar)) {
      values[i] = 1;
    } else if (words[i] == choices.substr(bar + 1)) {
      values[i] = 0;
    } else {
      return false;
    }
  }
  return true;
}

bool ApplyFault(const FaultForm& form, std::span<const long> values, Faults* faults) {
  if (values.size() != form.Count) {
    return false;
  }
  for (size_t i = 0; i < form.Count; ++i) {
    if (!Fits(form.Arguments[i], values[i])) {
      return false;
    }
  }
  form.Apply(*faults, values.data());
  return true;
}

std::string FaultUsage(const FaultForm& form) {
  std::string text = "usage: fault [ID] " + Shape(form);
  std::string ranges;
  for (size_t i = 0; i < form.Count; ++i) {
    const FaultArgument& argument = form.Arguments[i];
    if (!argument.Words) {
      ranges += ranges.empty() ? " (" : ", ";
      ranges += std::string(argument.Name) + " " + std::to_string(argument.Min) + ".." +
                std::to_string(argument.Max);
    }
  }
  return text + ranges + (ranges.empty() ? "" : ")");
}

std::string FaultHelp(std::string_view indent) {
  size_t width = 0;
  for (const FaultForm& form : kForms) {
    width = std::max(width, Shape(form).size());
  }
  std::string text;
  for (const FaultForm& form : kForms) {
    const std::string shape = Shape(form);
    text +=
        std::string(indent) + shape + std::string(width + 2 - shape.size(), ' ') + form.Help + "\n";
  }
  return text;
}

std::string Faults::Describe() const {
  std::string out;
  auto add = [&](const std::string& text) { out += (out.empty() ? "" : ",") + text; };
  char buf[64];
  if (RefuseLeft > 0) {
    std::snprintf(buf, sizeof buf, "refuse:%dx0x%02x", RefuseLeft, RefuseStatus);
    add(buf);
  }
  if (RefuseIn > 0) {
    std::snprintf(buf, sizeof buf, "refuse@%d:0x%02x", RefuseIn, RefuseAtStatus);
    add(buf);
  }
  if (DropIn > 0) {
    add("drop@" + std::to_string(DropIn));
  }
  if (ShortIn > 0) {
    add("short@" + std::to_string(ShortIn) + ":" + std::to_string(ShortAtBytes));
  }
  if (ShortLeft > 0) {
    add("short:" + std::to_string(ShortLeft) + "x" + std::to_string(ShortBytes));
  }
  if (CorruptLeft > 0) {
    add("corrupt:" + std::to_string(CorruptLeft));
  }
  for (int p = 0; p < kPipeCount; ++p) {
    if (PipeFailed[p]) {
      add("pipe" + std::to_string(p) + ":fail");
    }
  }
  if (DelayMs > 0) {
    add("delay:" + std::to_string(DelayMs) + "ms");
  }
  return out.empty() ? "none" : out;
}

}  // namespace camsim
