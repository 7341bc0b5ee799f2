// The About box: the tool's name and the file version read from the program's
// own version data.
#include <cstring>

#include "app/brisa_config.h"
#include "app/texts.h"
#include "resources/version.h"

namespace {

constexpr std::int32_t WorkCapacity = 260;
constexpr char Unknown[] = "unknown";

// Follows the version data from the translation table to the file version.
// False on any missing or malformed piece.
bool QueryFileVersion(char* work, void** info, std::int32_t capacity, char* text) {
  const DWORD pathLength = GetModuleFileNameA(GetAppHandle(), work, WorkCapacity);
  // A cut path names some other file.
  if (pathLength == 0 || pathLength >= static_cast<DWORD>(WorkCapacity)) {
    return false;
  }
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(work, &handle);
  if (size == 0 || !Storage::Allocate(info, size)) {
    return false;
  }
  if (!GetFileVersionInfoA(work, 0, size, *info)) {
    return false;
  }
  void* value = nullptr;
  UINT valueLength = 0;
  if (!VerQueryValueA(*info, "\\VarFileInfo\\Translation", &value, &valueLength) ||
      value == nullptr || valueLength < sizeof(DWORD)) {
    return false;
  }
  DWORD translation;
  std::memcpy(&translation, value, sizeof translation);
  translation = (translation << 16) | (translation >> 16);
  if (!Str::CardToStrA(translation, WorkCapacity - 1, work, 16, 0)) {
    return false;
  }
  while (Str::LengthA(work) < 8) {
    Str::PrependA(WorkCapacity - 1, work, 1, "0");
  }
  Str::PrependA(WorkCapacity - 1, work, Len("\\StringFileInfo\\"), "\\StringFileInfo\\");
  Str::AppendA(WorkCapacity - 1, work, Len("\\FileVersion"), "\\FileVersion");
  value = nullptr;
  valueLength = 0;
  if (!VerQueryValueA(*info, work, &value, &valueLength) || value == nullptr) {
    return false;
  }
  const std::int32_t length =
      valueLength < static_cast<UINT>(capacity) ? static_cast<std::int32_t>(valueLength) : capacity;
  Str::CopyA(capacity, text, length, static_cast<const char*>(value));
  return true;
}

}  // namespace

void ReadVersionString(std::int32_t capacity, char* text) {
  char work[WorkCapacity + 1];
  void* info = nullptr;
  const bool found = QueryFileVersion(work, &info, capacity, text);
  Storage::Free(&info);
  if (!found) {
    Str::CopyA(capacity, text, Len(Unknown), Unknown);
  }
}

void CBrisaConfig::ShowAbout() {
  constexpr std::int32_t versionCapacity = 31;
  char version[versionCapacity + 1];
  ReadVersionString(versionCapacity, version);
  constexpr char title[] = "About configuration tool";
  constexpr char legal[] = PELWIN_LEGAL_COPYRIGHT;
  CRect rect;
  DoMessageBox(this, 2, rect, 1, 1, 4, Len(title), title, Len(IdleTitle), IdleTitle,
               Str::LengthA(version), version, Len(legal), legal, AboutIcon);
}
