// What every fuzz target shares: reading its input field by field, a scratch
// directory that goes away with the process, and a check that stops the run.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>

// A broken invariant is a finding like a sanitizer report: libFuzzer keeps the
// input that caused it, so abort rather than throw.
#define FUZZ_CHECK(condition, ...)                                                       \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #condition); \
      std::fprintf(stderr, __VA_ARGS__);                                                 \
      std::fputc('\n', stderr);                                                          \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace fuzz {

// Fields come off the front so that a seed reads like the structure it encodes;
// past the end every field is zero, so any prefix is a valid input.
class TReader {
 public:
  TReader(const std::uint8_t* data, std::size_t size) : Data(data), Size(size) {}

  std::uint8_t Byte() { return At < Size ? Data[At++] : 0; }

  std::uint32_t Le32() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      value |= static_cast<std::uint32_t>(Byte()) << (8 * i);
    }
    return value;
  }

  std::span<const std::uint8_t> Rest() {
    const std::span<const std::uint8_t> rest(Data + At, Size - At);
    At = Size;
    return rest;
  }

 private:
  const std::uint8_t* Data;
  std::size_t Size;
  std::size_t At = 0;
};

// Scratch space in memory when the machine has it: the registry store and the
// image files fsync every write, which on a disk would make those targets crawl.
inline std::filesystem::path ScratchBase() {
  if (const char* chosen = std::getenv("PELWIN_FUZZ_TMPDIR"); chosen != nullptr && *chosen) {
    return chosen;
  }
  if (access("/dev/shm", W_OK | X_OK) == 0) {
    return "/dev/shm";
  }
  return std::filesystem::temp_directory_path();
}

// A private directory for the life of the process; libFuzzer ends with exit(),
// so static instances are cleaned up after a run.
class TScratchDir {
 public:
  explicit TScratchDir(const char* tag) {
    std::string pattern =
        (ScratchBase() / ("pelwin-fuzz-" + std::string(tag) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    Path = pattern;
  }
  ~TScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(Path, ignored);
  }
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;

  std::string Path;
};

}  // namespace fuzz
