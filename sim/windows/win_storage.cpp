// The camera's image file on Windows: the same rules as on Linux (a file of the
// wrong size is an error and is left alone; a save is atomic), with the
// Windows calls: a temporary file beside the image, flushed, then moved over it.
#include <windows.h>

#include "sim/camsim.h"
#include "sim/windows/standin.h"

namespace camsim {

bool LoadImageFile(const std::string& path, size_t expectedSize, std::vector<uint8_t>* image,
                   std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) {
      *error = path + ": " + why + "; the file is left as it is";
    }
    return false;
  };
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return fail("cannot open: " + win::ErrorText(GetLastError()));
  }
  LARGE_INTEGER size{};
  std::vector<uint8_t> bytes;
  std::string why;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
    why = "not a regular file";
  } else if (uint64_t(size.QuadPart) != expectedSize) {
    why = "holds " + std::to_string(size.QuadPart) + " bytes, this camera's EEPROM has " +
          std::to_string(expectedSize);
  } else {
    bytes.resize(expectedSize);
    DWORD done = 0;
    if (!ReadFile(file, bytes.data(), DWORD(expectedSize), &done, nullptr) ||
        done != expectedSize) {
      why = "cannot read: " + win::ErrorText(GetLastError());
    }
  }
  CloseHandle(file);
  if (!why.empty()) {
    return fail(why);
  }
  *image = std::move(bytes);
  return true;
}

bool SaveImageFile(const std::string& path, std::span<const uint8_t> image, std::string* error) {
  const std::string temp = path + ".tmp" + std::to_string(GetCurrentProcessId());
  auto fail = [&](const std::string& why) {
    DeleteFileA(temp.c_str());
    if (error) {
      *error = why;
    }
    return false;
  };
  HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return fail("cannot create a temporary file beside " + path + ": " +
                win::ErrorText(GetLastError()));
  }
  DWORD done = 0;
  const bool written = WriteFile(file, image.data(), DWORD(image.size()), &done, nullptr) &&
                       done == image.size() && FlushFileBuffers(file);
  const DWORD why = GetLastError();
  CloseHandle(file);
  if (!written) {
    return fail("cannot write " + temp + ": " + win::ErrorText(why));
  }
  if (!MoveFileExA(temp.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return fail("cannot replace " + path + ": " + win::ErrorText(GetLastError()));
  }
  return true;
}

}  // namespace camsim
