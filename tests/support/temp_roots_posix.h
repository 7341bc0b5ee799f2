// Private device, registry and named-object roots for one test, set in the environment the
// program and camsim read, and put back afterwards.
#pragma once

#include <string>
#include <utility>
#include <vector>

class TTempRoots {
 public:
  TTempRoots();
  ~TTempRoots();
  TTempRoots(const TTempRoots&) = delete;
  TTempRoots& operator=(const TTempRoots&) = delete;

  std::string Base;
  std::string Devices;
  std::string UserRegistry;
  std::string MachineRegistry;
  std::string Objects;  // the machine's named objects
  std::string State;

  // Sets an environment variable until the roots go.
  void SetEnv(const char* name, const std::string& value);

 private:
  std::vector<std::pair<std::string, std::pair<bool, std::string>>> Saved;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);
bool PathExists(const std::string& path);
// Number of open descriptors of this process.
int OpenDescriptorCount();
