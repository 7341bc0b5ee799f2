// `camsim serve` on Windows: the cameras, each on a device of its kind's
// driver stand-in, and what they need of Windows (the stand-in's control
// device, the registry, image files). The pipes are pipes.cpp's.
#include <cstdio>
#include <filesystem>

#include "sim/standin/ioctl.h"
#include "sim/windows/standin.h"

namespace camsim::win {

StandinCamera::StandinCamera(Server& server, const CameraChoice& choice, const Sample& sample,
                             std::string imagePath, std::vector<uint8_t> image,
                             StandinControl& control, unsigned device, const std::string& service)
    : CameraSlot(choice, sample, std::move(imagePath), std::move(image), server.Log(),
                 ", driver service " + service +
                     (device ? ", device " + std::to_string(device) : std::string())),
      server_(server),
      control_(control),
      device_(device) {}

bool StandinCamera::AddInterface(std::string* where, std::string* error) {
  if (!server_.ListenFor(*this, error)) {
    return false;
  }
  if (!control_.Plug(error, device_)) {
    server_.StopListeningFor(*this);
    return false;
  }
  StandinStatus status;
  control_.Status(&status, nullptr, device_);
  *where = status.Interface;
  return true;
}

void StandinCamera::RemoveInterface() {
  std::string why;
  if (!control_.Unplug(&why, device_)) {
    Session.Log("warning: " + why);
  }
}

void StandinCamera::StopListening() {
  server_.StopListeningFor(*this);
}

std::optional<uint32_t> StandinCamera::ReadMachineDword(const std::string& key, const char* value) {
  DWORD data = 0, type = 0, size = sizeof data;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_ANY, &type, &data, &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof data) {
    return std::nullopt;
  }
  return data;
}

// As the program sees it: \\?\ for the kernel's \??\.
std::string StandinCamera::InterfacePath() {
  StandinStatus status;
  std::string why;
  std::string path = control_.Status(&status, &why, device_) ? status.Interface : why;
  if (path.compare(0, 4, "\\??\\") == 0) {
    path.replace(0, 4, "\\\\?\\");
  }
  return path;
}

bool StandinCamera::SetPipeOpen(int pipe, bool open, std::string* why) {
  return server_.SetPipeOpen(*this, pipe, open, why);
}

CameraSession& Server::Answering() const {
  for (const auto& camera : All()) {
    if (camera->Session.Plugged()) {
      return camera->Session;
    }
  }
  return All().front()->Session;
}

bool Server::OtherPlugged(const CameraSlot& camera) const {
  for (const auto& other : All()) {
    if (other.get() != &camera && other->Session.Plugged()) {
      return true;
    }
  }
  return false;
}

void Server::RequestStop() {
  UnplugAll();
  stopping_ = true;
}

// A camera's device is its instance among the cameras of its kind (camN: N).
bool Server::AddCamera(const CameraChoice& choice, const std::string& state, std::string* error) {
  const Sample* sample = nullptr;
  const std::string imagePath = state + "\\" + choice.Id + ".eeprom";
  std::vector<uint8_t> image;
  if (!Prepare(choice, imagePath, &sample, &image, error)) {
    return false;
  }
  const std::string service = StandinService(*sample);
  const unsigned device = unsigned(std::stoul(choice.Instance.substr(3)));
  if (device >= CAMSIM_STANDIN_DEVICES) {
    return Fail(error, "the stand-in of " + sample->Name + " has " +
                           std::to_string(CAMSIM_STANDIN_DEVICES) + " devices: no room for " +
                           choice.Id);
  }
  auto& control = controls_[service];
  if (!control) {
    control = std::make_unique<StandinControl>();
    if (!EnsureStandinRunning(*sample, error) || !control->Open(service, error)) {
      return false;
    }
    // A server that died left its cameras plugged in, with nobody behind the pipes.
    for (unsigned d = 0; d < CAMSIM_STANDIN_DEVICES; ++d) {
      StandinStatus status;
      if (control->Status(&status, error, d) && status.Plugged) {
        control->Unplug(error, d);
      }
    }
  }
  Add(std::make_unique<StandinCamera>(*this, choice, *sample, imagePath, std::move(image), *control,
                                      device, service));
  return true;
}

bool Server::Setup(std::string* error) {
  if (options_.Cameras.empty()) {
    return Fail(error, "no camera to serve");
  }
  if (!OpenLog(options_.LogPath, error)) {
    return false;
  }
  port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  if (!port_) {
    return Fail(error, "cannot make the completion port: " + ErrorText(GetLastError()));
  }
  // The pipe names are the Wine server's: a second server would share them.
  // Wine 8 does not refuse a second first instance of a pipe, so a mutex tells.
  exclusive_ = CreateMutexA(nullptr, FALSE, kServeMutex);
  if (!exclusive_ || GetLastError() == ERROR_ALREADY_EXISTS) {
    return Fail(error, "another camsim serves this Wine server");
  }
  if (!Listen(kControlName, true, error)) {
    return false;
  }
  // --state, else $CAMSIM_STATE, else %LOCALAPPDATA%\camsim.
  const std::string state = options_.StateDir.empty()
                                ? EnvOr("CAMSIM_STATE", EnvOr("LOCALAPPDATA", "C:") + "\\camsim")
                                : options_.StateDir;
  std::error_code ignored;
  std::filesystem::create_directories(state, ignored);
  for (const CameraChoice& choice : options_.Cameras) {
    if (!AddCamera(choice, state, error)) {
      return false;
    }
  }
  for (size_t i = 0; i < options_.Cameras.size(); ++i) {
    if (!options_.Cameras[i].Unplugged && !All()[i]->Session.Plug(error)) {
      return false;
    }
  }
  return true;
}

}  // namespace camsim::win

// The image files on Windows: the same rules as on Linux (a file of the
// wrong size is an error and is left alone; a save is atomic), with the
// Windows calls: a temporary file beside the image, flushed, then moved over it.
namespace camsim {

bool ImageFileMissing(const std::string& path) {
  return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
         GetLastError() == ERROR_FILE_NOT_FOUND;
}

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
