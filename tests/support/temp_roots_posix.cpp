#include "support/temp_roots_posix.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TTempRoots::TTempRoots() {
  char pattern[] = "/tmp/pelwin-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  Base = pattern;
  Devices = Base + "/devices";
  UserRegistry = Base + "/user-registry";
  MachineRegistry = Base + "/machine-registry";
  Objects = Base + "/objects";
  State = Base + "/state";
  for (const std::string* dir : {&Devices, &UserRegistry, &MachineRegistry, &Objects, &State}) {
    std::filesystem::create_directories(*dir);
  }
  SetEnv("PELWIN_DEVICE_ROOT", Devices);
  SetEnv("PELWIN_USER_REGISTRY", UserRegistry);
  SetEnv("PELWIN_MACHINE_REGISTRY", MachineRegistry);
  SetEnv("PELWIN_OBJECT_ROOT", Objects);
  SetEnv("CAMSIM_STATE", State);
}

TTempRoots::~TTempRoots() {
  for (auto it = Saved.rbegin(); it != Saved.rend(); ++it) {
    if (it->second.first) {
      setenv(it->first.c_str(), it->second.second.c_str(), 1);
    } else {
      unsetenv(it->first.c_str());
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(Base, ignored);
}

void TTempRoots::SetEnv(const char* name, const std::string& value) {
  const char* old = getenv(name);
  Saved.push_back({name, {old != nullptr, old != nullptr ? old : ""}});
  setenv(name, value.c_str(), 1);
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool PathExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

int OpenDescriptorCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    return -1;
  }
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') {
      ++count;
    }
  }
  closedir(dir);
  return count - 1;  // the directory stream itself
}
