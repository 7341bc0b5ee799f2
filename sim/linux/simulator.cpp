// The simulator's cameras: installing them, the frame log, and the public
// Simulator interface that tests and the camsim program use. The server loop
// is in transport.cpp, plug and unplug in devices.cpp, the control socket in
// control_socket.cpp.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

#include "sim/linux/simulator_impl.h"

namespace camsim {
namespace {

std::runtime_error SystemFailure(const char* what) {
  return std::runtime_error(std::string("camsim: ") + what + ": " + ErrnoText(errno));
}

}  // namespace

Simulator::Impl::Impl(Options opts) : options(std::move(opts)) {
  for (auto [path, fallback] : {std::pair{&options.DeviceRoot, &DefaultDeviceRoot},
                                {&options.MachineRegistry, &DefaultMachineRegistry},
                                {&options.StateDir, &DefaultStateDir}}) {
    *path = path->empty() ? fallback() : *path;
  }
  std::string why;
  if (!OpenLog(options.LogPath, &why)) {
    throw SystemFailure(why.c_str());
  }
  Epoll.Reset(::epoll_create1(EPOLL_CLOEXEC));
  WakeFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  StopFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!Epoll || !WakeFd || !StopFd) {
    throw SystemFailure("cannot create the server's descriptors");
  }
  Entry wake;
  wake.role = Role::Wake;
  wake.fd = WakeFd.Get();
  if (Register(wake, EPOLLIN) == 0) {
    throw SystemFailure("epoll_ctl");
  }
  Thread = std::thread([this] { Run(); });
}

Simulator::Impl::~Impl() {
  {
    std::lock_guard lock(Mutex);
    UnplugAll();
    CloseControl();
    std::vector<uint64_t> left;
    for (const auto& [token, entry] : Entries) {
      if (entry.role != Role::Wake) {
        left.push_back(token);
      }
    }
    for (uint64_t token : left) {
      CloseEntry(token);
    }
    Stopping = true;
  }
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(WakeFd.Get(), &one, sizeof one);
  Thread.join();
}

bool Simulator::Impl::AddCamera(const CameraChoice& choice, std::string* error) {
  const Sample* sample = nullptr;
  const std::string imagePath = options.StateDir + "/" + choice.Id + ".eeprom";
  std::vector<uint8_t> image;
  if (!MakeDirs(options.StateDir, 0700, error) ||
      !Prepare(choice, imagePath, &sample, &image, error)) {
    return false;
  }
  std::string why;
  if (NeedsWritePermission(sample->kind)) {
    // Installing the driver creates its service key; the tool only adds a value.
    const uint16_t code = ModelCodeOf(image);
    const std::string key = ServiceKeyPath(code);
    if (key.empty()) {
      LogLine(choice.Id,
              "warning: model code " + std::to_string(code) + " has no driver service key");
    } else if (!EnsureRegistryKey(options.MachineRegistry, key, &why)) {
      LogLine(choice.Id, "warning: " + why);
    }
  }
  // An installed driver's interface class exists before its first device
  // arrives, so a watch on it can be set up while nothing is plugged in.
  if (!MakeDirs(options.DeviceRoot, 0700, &why) ||
      !MakeDirs(options.DeviceRoot + "/" + ClassGuid(sample->kind), 0755, &why)) {
    LogLine(choice.Id, "warning: " + why);
  }
  Add(std::make_unique<Camera>(*this, choice, *sample, imagePath, std::move(image)));
  return true;
}

void Simulator::Impl::RequestStop() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(StopFd.Get(), &one, sizeof one);
}

// ---------------------------------------------------------------------------
// A camera and its session's port: the registry directory and image files.

Camera::Camera(Simulator::Impl& simulator, const CameraChoice& choice, const Sample& sample,
               std::string imagePath, std::vector<uint8_t> image)
    : CameraSlot(choice, sample, std::move(imagePath), std::move(image), simulator.Log()),
      simulator(simulator) {}

std::string Camera::InterfacePath() {
  return InterfaceDir(simulator.options.DeviceRoot, Session.kind(), Instance);
}

bool Camera::SetPipeOpen(int pipe, bool open, std::string* why) {
  if (!open && Listeners[pipe] >= 0) {
    // Whoever already connected has opened the pipe: let them in first.
    simulator.Accept(Listeners[pipe], this, pipe);
    simulator.CloseListener(*this, pipe);
  }
  return !open || Listeners[pipe] >= 0 || simulator.OpenListener(*this, pipe, DirPath, why);
}

std::optional<uint32_t> Camera::ReadMachineDword(const std::string& key, const char* value) {
  return ReadRegistryDword(simulator.options.MachineRegistry, key, value);
}

// ---------------------------------------------------------------------------

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() = default;

bool Simulator::Add(const std::string& id, const std::string& sample, std::string* error,
                    const std::string& instance) {
  std::lock_guard lock(impl_->Mutex);
  return impl_->AddCamera({sample, id, instance}, error);
}

// Applies fn to the camera named exactly id (no default camera here: a test
// that names the wrong camera should fail, not act on another one).
template <typename Fn>
static auto WithCamera(Simulator::Impl& impl, const std::string& id, Fn fn,
                       std::string* error = nullptr) -> decltype(fn(std::declval<CameraSlot&>())) {
  std::lock_guard lock(impl.Mutex);
  CameraSlot* camera = impl.Find(id, error);
  if (!camera) {
    return {};
  }
  return fn(*camera);
}

std::optional<Kind> Simulator::KindOf(const std::string& id) {
  return WithCamera(*impl_, id,
                    [](CameraSlot& camera) { return std::optional(camera.Session.kind()); });
}

bool Simulator::Plug(const std::string& id, std::string* error) {
  return WithCamera(
      *impl_, id, [&](CameraSlot& camera) { return camera.Session.Plug(error); }, error);
}

bool Simulator::Unplug(const std::string& id, std::string* error) {
  return WithCamera(
      *impl_, id, [&](CameraSlot& camera) { return camera.Session.Unplug(error); }, error);
}

bool Simulator::IsPlugged(const std::string& id) {
  return WithCamera(*impl_, id, [](CameraSlot& camera) { return camera.Session.Plugged(); });
}

std::string Simulator::InterfacePath(const std::string& id) {
  return WithCamera(*impl_, id, [](CameraSlot& camera) { return camera.InterfacePath(); });
}

std::vector<uint8_t> Simulator::Eeprom(const std::string& id) {
  return WithCamera(*impl_, id, [](CameraSlot& camera) { return camera.Session.Model().Image(); });
}

bool Simulator::Poke(const std::string& id, uint32_t address, std::span<const uint8_t> bytes,
                     std::string* error) {
  return WithCamera(
      *impl_, id, [&](CameraSlot& camera) { return camera.Session.Poke(address, bytes, error); },
      error);
}

bool Simulator::WriteAllowed(const std::string& id) {
  return WithCamera(*impl_, id,
                    [](CameraSlot& camera) { return camera.Session.Model().WriteAllowed(); });
}

bool Simulator::Fault(const std::string& id, std::string_view form,
                      std::initializer_list<long> values) {
  const FaultForm* found = FindFaultForm(form);
  std::lock_guard lock(impl_->Mutex);
  return found && impl_->Find(id, nullptr) &&
         SetFault(*impl_, id, *found, std::span(values.begin(), values.size()), nullptr);
}

uint64_t Simulator::Transfers(const std::string& id) {
  return WithCamera(*impl_, id, [](CameraSlot& camera) { return camera.Session.Transfers(); });
}

std::vector<std::string> Simulator::Log() {
  std::lock_guard lock(impl_->Mutex);
  return impl_->Log().Last(FrameLog::kRecentLines);
}

std::string Simulator::Control(std::string_view line) {
  std::lock_guard lock(impl_->Mutex);
  return ExecuteControl(*impl_, line);
}

int Simulator::StopRequestedFd() const {
  return impl_->StopFd.Get();
}

}  // namespace camsim
