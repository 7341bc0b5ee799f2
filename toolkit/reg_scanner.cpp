// CRegScannerA over the port's registry store.
#include "registry_store.h"
#include "toolkit_core.h"

namespace {

constexpr std::int32_t PathCapacity = 260;
constexpr std::int32_t NameCapacity = 255;

// Paths and names that do not fit are refused rather than cut: a cut one would
// name another key or value.
bool Fits(std::int32_t capacity, std::int32_t length, const char* source) {
  std::int32_t n = 0;
  while (source != nullptr && n < length && source[n] != '\0') {
    if (++n > capacity) {
      return false;
    }
  }
  return true;
}

struct TName {
  char Text[NameCapacity + 1];
  bool Valid;
  TName(std::int32_t length, const char* source) : Valid(Fits(NameCapacity, length, source)) {
    Str::CopyA(NameCapacity, Text, length, source);
  }
};

}  // namespace

CRegScannerA::~CRegScannerA() {
  Done();
}

bool CRegScannerA::Open(std::int32_t prefixLength, const char* prefix, std::int32_t pathLength,
                        const char* path, HKEY root, bool create) {
  Done();
  char fullPath[PathCapacity + 1];
  const std::int32_t prefixUsed = Str::CopyA(PathCapacity, fullPath, prefixLength, prefix);
  if (!Fits(PathCapacity, prefixLength, prefix) ||
      !Fits(PathCapacity - prefixUsed, pathLength, path)) {
    return false;
  }
  Str::AppendA(PathCapacity, fullPath, pathLength, path);
  Key = RegStoreOpen(root, fullPath, create);
  return Key != nullptr;
}

bool CRegScannerA::Init(std::int32_t prefixLength, const char* prefix, std::int32_t pathLength,
                        const char* path, HKEY root) {
  return Open(prefixLength, prefix, pathLength, path, root, false);
}

bool CRegScannerA::vfInit(std::int32_t prefixLength, const char* prefix, std::int32_t pathLength,
                          const char* path, HKEY root) {
  return Open(prefixLength, prefix, pathLength, path, root, false);
}

bool CRegScannerA::Create(std::int32_t prefixLength, const char* prefix, std::int32_t pathLength,
                          const char* path, HKEY root) {
  return Open(prefixLength, prefix, pathLength, path, root, true);
}

void CRegScannerA::Done() {
  if (Section != nullptr) {
    RegStoreClose(Section);
    Section = nullptr;
  }
  if (Key != nullptr) {
    RegStoreClose(Key);
    Key = nullptr;
  }
}

void CRegScannerA::vfDone() {
  Done();
}

bool CRegScannerA::SetSection(std::int32_t length, const char* name) {
  if (Key == nullptr) {
    return false;
  }
  if (Section != nullptr) {
    RegStoreClose(Section);
    Section = nullptr;
  }
  const TName section(length, name);
  if (!section.Valid) {
    return false;
  }
  Section = RegStoreOpenSub(Key, section.Text, false);
  return Section != nullptr;
}

bool CRegScannerA::CreateSection(std::int32_t length, const char* name) {
  if (Key == nullptr) {
    return false;
  }
  const TName section(length, name);
  if (!section.Valid) {
    return false;
  }
  TRegStoreKey* made = RegStoreOpenSub(Key, section.Text, true);
  if (made == nullptr) {
    return false;
  }
  RegStoreClose(made);
  return true;
}

TRegStoreKey* CRegScannerA::Target() const {
  return Section != nullptr ? Section : Key;
}

bool CRegScannerA::GetKeyInt(std::int32_t length, const char* name, std::int32_t* value) {
  std::uint32_t stored = 0;
  if (value == nullptr || !GetKeyCard(length, name, &stored)) {
    return false;
  }
  *value = static_cast<std::int32_t>(stored);
  return true;
}

bool CRegScannerA::SetKeyInt(std::int32_t length, const char* name, std::int32_t value) {
  return SetKeyCard(length, name, static_cast<std::uint32_t>(value));
}

bool CRegScannerA::GetKeyCard(std::int32_t length, const char* name, std::uint32_t* value) {
  if (Target() == nullptr || value == nullptr) {
    return false;
  }
  const TName valueName(length, name);
  return valueName.Valid && RegStoreGetDword(Target(), valueName.Text, value);
}

bool CRegScannerA::SetKeyCard(std::int32_t length, const char* name, std::uint32_t value) {
  if (Target() == nullptr) {
    return false;
  }
  const TName valueName(length, name);
  return valueName.Valid && RegStoreSetDword(Target(), valueName.Text, value);
}

bool CRegScannerA::DeleteKey(std::int32_t length, const char* name) {
  if (Target() == nullptr) {
    return false;
  }
  const TName valueName(length, name);
  return valueName.Valid && RegStoreDeleteValue(Target(), valueName.Text);
}
