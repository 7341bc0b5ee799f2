// `camsim serve` on Windows: the cameras, each on a device of its kind's
// driver stand-in, and what they need of Windows (the stand-in's control
// device, the registry, image files). The pipes are pipes.cpp's.
#include <cstdio>

#include "sim/windows/server.h"
#include "sim/windows/standin_ioctl.h"

namespace camsim::win {
namespace {

struct WindowsImageFiles final : ImageFiles {
  bool ImageFileMissing(const std::string& path) override {
    return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
           GetLastError() == ERROR_FILE_NOT_FOUND;
  }
  bool LoadImage(const std::string& path, size_t size, std::vector<uint8_t>* image,
                 std::string* error) override {
    return LoadImageFile(path, size, image, error);
  }
  bool SaveImage(const std::string& path, std::span<const uint8_t> image,
                 std::string* error) override {
    return SaveImageFile(path, image, error);
  }
};

WindowsImageFiles files;

}  // namespace

StandinCamera::StandinCamera(Server& server, const CameraSpec& spec, const Sample& sample,
                             std::string imagePath, std::vector<uint8_t> image,
                             StandinControl& control, unsigned device, const std::string& service)
    : CameraSlot(spec, sample, std::move(imagePath), std::move(image), server.Log(),
                 ", driver service " + service +
                     (device ? ", device " + std::to_string(device) : std::string())),
      server_(server),
      control_(control),
      device_(device) {}

bool StandinCamera::Send(uint64_t connection, std::span<const uint8_t> reply, std::string* why) {
  return server_.SendOn(connection, reply, why);
}

void StandinCamera::Close(uint64_t connection) {
  server_.CloseConnection(connection);
}

bool StandinCamera::AddInterface(std::string* where, std::string* error) {
  std::string why;
  error = error ? error : &why;
  if (!server_.ListenFor(*this, error)) {
    return false;
  }
  if (!control_.Plug(error, device_)) {
    server_.StopListeningFor(*this);
    return false;
  }
  StandinStatus status;
  control_.Status(&status, &why, device_);
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

bool StandinCamera::ImageFileMissing(const std::string& path) {
  return files.ImageFileMissing(path);
}

bool StandinCamera::LoadImage(const std::string& path, size_t size, std::vector<uint8_t>* image,
                              std::string* error) {
  return files.LoadImage(path, size, image, error);
}

bool StandinCamera::SaveImage(const std::string& path, std::span<const uint8_t> image,
                              std::string* error) {
  return files.SaveImage(path, image, error);
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

bool StandinCamera::FollowPipeFaults() {
  return server_.FollowFaults(*this);
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

// A camera's device is the number of cameras of its stand-in before it.
bool Server::AddCamera(const CameraSpec& spec, const std::string& state, std::string* error) {
  const Sample* sample = nullptr;
  if (!CheckNew(spec, &sample, error)) {
    return false;
  }
  const std::string service = StandinService(*sample);
  unsigned device = 0;
  for (const auto& camera : All()) {
    device += StandinService(*FindSample(camera->Session.SampleName())) == service ? 1 : 0;
  }
  if (device >= CAMSIM_STANDIN_DEVICES) {
    *error = "the stand-in of " + sample->Name + " has " + std::to_string(CAMSIM_STANDIN_DEVICES) +
             " devices: no room for " + spec.Id;
    return false;
  }
  const std::string imagePath = state + "\\" + spec.Id + ".eeprom";
  std::vector<uint8_t> image;
  if (!StartImage(files, *sample, imagePath, &image, error)) {
    return false;
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
  Add(std::make_unique<StandinCamera>(*this, spec, *sample, imagePath, std::move(image), *control,
                                      device, service));
  return true;
}

bool Server::Setup(std::string* error) {
  if (options_.Cameras.empty()) {
    *error = "no camera to serve";
    return false;
  }
  if (!OpenLog(options_.LogPath, error)) {
    return false;
  }
  port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  if (!port_) {
    *error = "cannot make the completion port: " + ErrorText(GetLastError());
    return false;
  }
  // The pipe names are the Wine server's: a second server would share them.
  // Wine 8 does not refuse a second first instance of a pipe, so a mutex tells.
  exclusive_ = CreateMutexA(nullptr, FALSE, kServeMutex);
  if (!exclusive_ || GetLastError() == ERROR_ALREADY_EXISTS) {
    *error = "another camsim serves this Wine server";
    return false;
  }
  if (!Listen(kControlName, true, error)) {
    return false;
  }
  const std::string state = options_.StateDir.empty() ? DefaultStateDir() : options_.StateDir;
  for (size_t at = state.find_first_of("\\/", 3); at != std::string::npos;
       at = state.find_first_of("\\/", at + 1)) {
    CreateDirectoryA(state.substr(0, at).c_str(), nullptr);
  }
  CreateDirectoryA(state.c_str(), nullptr);
  for (const CameraSpec& spec : options_.Cameras) {
    if (!AddCamera(spec, state, error)) {
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

int Serve(const ServeOptions& options) {
  Server server(options);
  return server.Run();
}

std::string DefaultStateDir() {
  char buffer[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("CAMSIM_STATE", buffer, MAX_PATH);
  if (n > 0 && n < MAX_PATH) {
    return std::string(buffer, n);
  }
  n = GetEnvironmentVariableA("LOCALAPPDATA", buffer, MAX_PATH);
  if (n > 0 && n < MAX_PATH) {
    return std::string(buffer, n) + "\\camsim";
  }
  return "C:\\camsim";
}

}  // namespace camsim::win
