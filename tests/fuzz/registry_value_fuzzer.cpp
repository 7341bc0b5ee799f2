// The registry store on POSIX with hostile files and hostile names. One input is
// used twice:
//   - as the contents of a value file, read back with RegStoreGetDword;
//   - split at its first two newlines into a key path and a value name (each
//     ending at a NUL as a C string would), which go through open, set, get and
//     delete below a scratch root. Nothing may appear outside that root.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "registry_store.h"

namespace {

constexpr std::size_t NameMax = 255;

struct TTree {
  std::size_t Directories = 0;
  std::size_t Files = 0;
  bool TempLeft = false;
};

// Descriptor-relative, so that a key thousands of levels deep, whose path no
// longer fits PATH_MAX, is still walked and removed.
void Walk(int dirfd, TTree* tree, bool remove) {
  // A descriptor of its own: a dup would share the read position of the last walk.
  const int fd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0, "reopen");
  DIR* dir = fdopendir(fd);
  FUZZ_CHECK(dir != nullptr, "fdopendir");
  std::vector<std::pair<std::string, bool>> entries;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    struct stat st;
    FUZZ_CHECK(fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0, "fstatat");
    entries.emplace_back(name, S_ISDIR(st.st_mode));
  }
  closedir(dir);
  for (const auto& [name, isDir] : entries) {
    if (!isDir && name.rfind(".pelwin-tmp", 0) == 0) {
      tree->TempLeft = true;
    }
    if (isDir) {
      ++tree->Directories;
      const int child =
          openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      FUZZ_CHECK(child >= 0, "open %s", name.c_str());
      Walk(child, tree, remove);
      close(child);
    } else {
      ++tree->Files;
    }
    if (remove) {
      FUZZ_CHECK(unlinkat(dirfd, name.c_str(), isDir ? AT_REMOVEDIR : 0) == 0, "remove %s",
                 name.c_str());
    }
  }
}

std::set<std::string> Entries(const std::string& path) {
  std::set<std::string> names;
  DIR* dir = opendir(path.c_str());
  FUZZ_CHECK(dir != nullptr, "opendir %s", path.c_str());
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.insert(name);
    }
  }
  closedir(dir);
  return names;
}

bool UsableName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.size() <= NameMax;
}

// Components of a key path; false when one of them cannot be a directory name.
bool SplitKeyPath(const std::string& path, std::size_t* components) {
  *components = 0;
  if (path.empty()) {
    return true;
  }
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = path.find('\\', at);
    if (!UsableName(path.substr(at, end == std::string::npos ? std::string::npos : end - at))) {
      return false;
    }
    ++*components;
    if (end == std::string::npos) {
      return true;
    }
    at = end + 1;
  }
}

// The document's form: lower-case digits only; "dword:0000000A" is no value.
int HexDigit(std::uint8_t c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

bool ParseValueFile(const std::uint8_t* data, std::size_t size, std::uint32_t* value) {
  if (size != 15 || std::memcmp(data, "dword:", 6) != 0 || data[14] != '\n') {
    return false;
  }
  *value = 0;
  for (std::size_t i = 6; i < 14; ++i) {
    const int digit = HexDigit(data[i]);
    if (digit < 0) {
      return false;
    }
    *value = (*value << 4) | static_cast<std::uint32_t>(digit);
  }
  return true;
}

// The scratch layout: <sandbox>/value holds the value file of the first use,
// <sandbox>/guard/root is HKEY_CURRENT_USER for the second. The two levels
// above the root show anything that climbed out of it.
struct TStore {
  fuzz::TScratchDir Sandbox{"registry"};
  std::string ValueDir = Sandbox.Path + "/value";
  std::string Guard = Sandbox.Path + "/guard";
  std::string Root = Guard + "/root";
  TRegStoreKey* ValueKey = nullptr;
  int RootFd = -1;

  TStore() {
    FUZZ_CHECK(mkdir(ValueDir.c_str(), 0755) == 0 && mkdir(Guard.c_str(), 0755) == 0 &&
                   mkdir(Root.c_str(), 0755) == 0,
               "cannot lay out %s", Sandbox.Path.c_str());
    setenv("PELWIN_MACHINE_REGISTRY", ValueDir.c_str(), 1);
    setenv("PELWIN_USER_REGISTRY", Root.c_str(), 1);
    ValueKey = RegStoreOpen(HKEY_LOCAL_MACHINE, "", false);
    FUZZ_CHECK(ValueKey != nullptr, "cannot open %s", ValueDir.c_str());
    RootFd = open(Root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(RootFd >= 0, "cannot open %s", Root.c_str());
  }
  ~TStore() {
    RegStoreClose(ValueKey);
    close(RootFd);
  }
};

void ReadValueFile(TStore& store, const std::uint8_t* data, std::size_t size) {
  const std::string path = store.ValueDir + "/Value";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FUZZ_CHECK(fd >= 0 && write(fd, data, size) == static_cast<ssize_t>(size) && close(fd) == 0,
             "cannot write %s", path.c_str());
  std::uint32_t expected = 0;
  const bool valid = ParseValueFile(data, size, &expected);
  std::uint32_t value = 0xDEADBEEF;
  const bool read = RegStoreGetDword(store.ValueKey, "Value", &value);
  FUZZ_CHECK(read == valid, "a value file of %zu bytes was %s", size,
             read ? "accepted" : "refused");
  FUZZ_CHECK(read ? value == expected : value == 0xDEADBEEF, "value 0x%08x", value);
}

void UseNames(TStore& store, const std::string& keyPath, const std::string& name,
              std::uint32_t number) {
  std::size_t components = 0;
  const bool keyUsable = SplitKeyPath(keyPath, &components);
  const bool nameUsable = UsableName(name);

  TRegStoreKey* key = RegStoreOpen(HKEY_CURRENT_USER, keyPath.c_str(), true);
  FUZZ_CHECK((key != nullptr) == keyUsable, "key path of %zu bytes %s", keyPath.size(),
             key ? "opened" : "refused");
  if (key != nullptr) {
    const bool set = RegStoreSetDword(key, name.c_str(), number);
    FUZZ_CHECK(set == nameUsable, "value name of %zu bytes %s", name.size(),
               set ? "written" : "refused");
    TRegStoreKey* again = RegStoreOpen(HKEY_CURRENT_USER, keyPath.c_str(), false);
    FUZZ_CHECK(again != nullptr, "a key just made cannot be opened");
    std::uint32_t value = ~number;
    FUZZ_CHECK(RegStoreGetDword(again, name.c_str(), &value) == set && (!set || value == number),
               "value read back as 0x%08x, written 0x%08x", value, number);
    RegStoreClose(again);
    FUZZ_CHECK(RegStoreDeleteValue(key, name.c_str()) == set, "delete");
    FUZZ_CHECK(!RegStoreGetDword(key, name.c_str(), &value), "a deleted value is still there");

    TTree tree;
    Walk(store.RootFd, &tree, false);
    FUZZ_CHECK(tree.Directories == components && tree.Files == 0 && !tree.TempLeft,
               "a key of %zu components left %zu directories and %zu files%s", components,
               tree.Directories, tree.Files, tree.TempLeft ? ", a temporary among them" : "");

    // The name as a subkey, a path of its own.
    TRegStoreKey* sub = RegStoreOpenSub(key, name.c_str(), true);
    std::size_t subComponents = 0;
    // Win32 opens the key itself again for an empty subkey name; so does the store.
    const bool subUsable = SplitKeyPath(name, &subComponents);
    FUZZ_CHECK((sub != nullptr) == subUsable, "subkey of %zu bytes %s", name.size(),
               sub ? "opened" : "refused");
    RegStoreClose(sub);
    RegStoreClose(key);
  }

  FUZZ_CHECK(Entries(store.Sandbox.Path) == (std::set<std::string>{"guard", "value"}),
             "something appeared beside the registry root");
  FUZZ_CHECK(Entries(store.Guard) == std::set<std::string>{"root"},
             "something appeared beside the registry root");
  FUZZ_CHECK(Entries(store.ValueDir) == std::set<std::string>{"Value"},
             "the value file's key changed");
  TTree removed;
  Walk(store.RootFd, &removed, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TStore store;

  ReadValueFile(store, data, size);

  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::size_t firstBreak = text.find('\n');
  const std::size_t secondBreak =
      firstBreak == std::string::npos ? std::string::npos : text.find('\n', firstBreak + 1);
  std::string keyPath = text.substr(0, firstBreak);
  std::string name = firstBreak == std::string::npos
                         ? std::string("Value")
                         : text.substr(firstBreak + 1, secondBreak == std::string::npos
                                                           ? std::string::npos
                                                           : secondBreak - firstBreak - 1);
  keyPath.resize(std::strlen(keyPath.c_str()));
  name.resize(std::strlen(name.c_str()));
  std::uint32_t number = 0;
  for (std::uint8_t byte : text) {
    number = number * 31 + byte;
  }
  UseNames(store, keyPath, name, number);
  return 0;
}
