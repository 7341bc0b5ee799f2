// The simulator's cameras: installing them, the frame log, and the public
// Simulator interface that tests and the camsim program use. The server loop
// is in transport.cpp, plug and unplug in devices.cpp, the control socket in
// control_socket.cpp.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "sim/simulator_impl.h"

namespace camsim {
namespace {

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] == '.') {
    return false;
  }
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

std::runtime_error SystemFailure(const char* what) {
  return std::runtime_error(std::string("camsim: ") + what + ": " + ErrnoText(errno));
}

}  // namespace

Simulator::Impl::Impl(Options opts) : options(std::move(opts)) {
  if (options.DeviceRoot.empty()) {
    options.DeviceRoot = DefaultDeviceRoot();
  }
  if (options.MachineRegistry.empty()) {
    options.MachineRegistry = DefaultMachineRegistry();
  }
  if (options.StateDir.empty()) {
    options.StateDir = DefaultStateDir();
  }
  if (options.LogPath == "-") {
    History = FrameLog(STDERR_FILENO);
  } else if (!options.LogPath.empty()) {
    LogFd.Reset(::open(options.LogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!LogFd) {
      throw SystemFailure(("cannot open the log " + options.LogPath).c_str());
    }
    History = FrameLog(LogFd.Get());
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
    for (auto& [id, camera] : Cameras) {
      if (camera->Plugged) {
        UnplugCamera(*camera, nullptr);
      }
    }
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

void Simulator::Impl::Log(const std::string& who, const std::string& text) {
  History.Text(who, text);
}

Camera* Simulator::Impl::Find(const std::string& id, std::string* error) {
  auto it = Cameras.find(id);
  if (it == Cameras.end()) {
    if (error) {
      *error = id.empty() ? "no camera id given" : "no camera " + id;
    }
    return nullptr;
  }
  return it->second.get();
}

bool Simulator::Impl::AddCamera(const std::string& id, const std::string& sampleName,
                                const std::string& instance, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) {
      *error = why;
    }
    return false;
  };
  if (!ValidName(id)) {
    return fail("camera id '" + id + "' is not usable: letters, digits, '-', '_', '.' only");
  }
  if (!ValidName(instance)) {
    return fail("instance name '" + instance + "' is not usable");
  }
  const Sample* sample = FindSample(sampleName);
  if (!sample) {
    return fail("no sample camera " + sampleName + " (camsim samples lists them)");
  }
  if (Cameras.count(id)) {
    return fail("camera " + id + " exists already");
  }
  for (const auto& [otherId, other] : Cameras) {
    if (other->kind == sample->kind && other->Instance == instance) {
      return fail("camera " + otherId + " already uses " +
                  InterfaceDir("", sample->kind, instance));
    }
  }
  std::string why;
  if (!MakeDirs(options.StateDir, 0700, &why)) {
    return fail(why);
  }
  const std::string imagePath = options.StateDir + "/" + id + ".eeprom";
  std::vector<uint8_t> image;
  struct stat st;
  if (::stat(imagePath.c_str(), &st) != 0 && errno == ENOENT) {
    image = SampleImage(*sample);
    if (!SaveImageFile(imagePath, image, &why)) {
      return fail(why);
    }
  } else if (!LoadImageFile(imagePath, EepromSize(sample->kind), &image, &why)) {
    return fail(why);
  }
  auto camera = std::make_unique<Camera>(id, *sample, instance,
                                         CameraModel(sample->kind, std::move(image)), imagePath);
  if (NeedsWritePermission(sample->kind)) {
    // Installing the driver creates its service key; the tool only adds a value.
    const uint16_t code = ModelCodeOf(camera->Model.Image());
    const std::string key = ServiceKeyPath(code);
    if (key.empty()) {
      Log(id, "warning: model code " + std::to_string(code) + " has no driver service key");
    } else if (!EnsureRegistryKey(options.MachineRegistry, key, &why)) {
      Log(id, "warning: " + why);
    }
  }
  // An installed driver's interface class exists before its first device
  // arrives, so a watch on it can be set up while nothing is plugged in.
  if (!MakeDirs(options.DeviceRoot, 0700, &why) ||
      !MakeDirs(options.DeviceRoot + "/" + ClassGuid(sample->kind), 0755, &why)) {
    Log(id, "warning: " + why);
  }
  Log(id, "added: sample " + sampleName + ", image " + imagePath);
  Cameras.emplace(id, std::move(camera));
  return true;
}

bool Simulator::Impl::PokeCamera(Camera& camera, uint32_t address, std::span<const uint8_t> bytes,
                                 std::string* error) {
  auto& image = camera.Model.MutableImage();
  if (uint64_t(address) + bytes.size() > image.size()) {
    if (error) {
      *error = "range outside the EEPROM";
    }
    return false;
  }
  const std::vector<uint8_t> before = image;
  std::copy(bytes.begin(), bytes.end(), image.begin() + address);
  if (!SaveImageFile(camera.ImagePath, image, error)) {
    image = before;
    return false;
  }
  Log(camera.Id, "poked " + std::to_string(bytes.size()) + " bytes at " + std::to_string(address));
  return true;
}

std::vector<ControlCamera> Simulator::Impl::ControlCameras() {
  std::vector<ControlCamera> cameras;
  cameras.reserve(Cameras.size());
  for (const auto& [id, camera] : Cameras) {
    cameras.push_back({camera->Id, camera->SampleName, camera->Instance, camera->kind,
                       InterfaceDir(options.DeviceRoot, camera->kind, camera->Instance),
                       camera->ImagePath, camera->Plugged, camera->Transfers, &camera->Model,
                       &camera->faults});
  }
  return cameras;
}

bool Simulator::Impl::PlugById(const std::string& id, std::string* why) {
  Camera* camera = Find(id, why);
  return camera && PlugCamera(*camera, why);
}

bool Simulator::Impl::UnplugById(const std::string& id, std::string* why) {
  Camera* camera = Find(id, why);
  return camera && UnplugCamera(*camera, why);
}

bool Simulator::Impl::SetPipeFailedById(const std::string& id, int pipe, bool failed) {
  Camera* camera = Find(id, nullptr);
  return camera && SetPipeFailed(*camera, pipe, failed);
}

size_t Simulator::Impl::LogLineCount() {
  return History.Size();
}

std::vector<std::string> Simulator::Impl::LastLogLines(size_t count) {
  return History.Last(count);
}

void Simulator::Impl::LogLine(const std::string& who, const std::string& text) {
  Log(who, text);
}

void Simulator::Impl::RequestStop() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(StopFd.Get(), &one, sizeof one);
}

bool Simulator::Impl::SaveImageTo(const std::string& id, const std::string& path,
                                  std::string* why) {
  Camera* camera = Find(id, why);
  return camera && SaveImageFile(path, camera->Model.Image(), why);
}

bool Simulator::Impl::LoadImageFrom(const std::string& id, const std::string& path,
                                    std::string* why) {
  Camera* camera = Find(id, why);
  std::vector<uint8_t> image;
  if (!camera || !LoadImageFile(path, EepromSize(camera->kind), &image, why) ||
      !SaveImageFile(camera->ImagePath, image, why)) {
    return false;
  }
  camera->Model.MutableImage() = std::move(image);
  Log(camera->Id, "image loaded from " + path);
  return true;
}

// ---------------------------------------------------------------------------

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() = default;

const std::string& Simulator::DeviceRoot() const {
  return impl_->options.DeviceRoot;
}
const std::string& Simulator::MachineRegistry() const {
  return impl_->options.MachineRegistry;
}
const std::string& Simulator::StateDir() const {
  return impl_->options.StateDir;
}

bool Simulator::Add(const std::string& id, const std::string& sample, std::string* error,
                    const std::string& instance) {
  std::lock_guard lock(impl_->Mutex);
  return impl_->AddCamera(id, sample, instance, error);
}

std::vector<std::string> Simulator::Cameras() {
  std::lock_guard lock(impl_->Mutex);
  std::vector<std::string> ids;
  for (const auto& [id, camera] : impl_->Cameras) {
    ids.push_back(id);
  }
  return ids;
}

bool Simulator::Has(const std::string& id) {
  std::lock_guard lock(impl_->Mutex);
  return impl_->Cameras.count(id) != 0;
}

std::optional<Kind> Simulator::KindOf(const std::string& id) {
  std::lock_guard lock(impl_->Mutex);
  auto it = impl_->Cameras.find(id);
  if (it == impl_->Cameras.end()) {
    return std::nullopt;
  }
  return it->second->kind;
}

// Applies fn to the camera named exactly id (no default camera here: a test
// that names the wrong camera should fail, not act on another one).
template <typename Fn>
static auto WithCamera(Simulator::Impl& impl, const std::string& id, Fn fn,
                       std::string* error = nullptr) -> decltype(fn(std::declval<Camera&>())) {
  std::lock_guard lock(impl.Mutex);
  Camera* camera = impl.Find(id, error);
  if (!camera) {
    return {};
  }
  return fn(*camera);
}

bool Simulator::Plug(const std::string& id, std::string* error) {
  return WithCamera(
      *impl_, id, [&](Camera& camera) { return impl_->PlugCamera(camera, error); }, error);
}

bool Simulator::Unplug(const std::string& id, std::string* error) {
  return WithCamera(
      *impl_, id, [&](Camera& camera) { return impl_->UnplugCamera(camera, error); }, error);
}

bool Simulator::IsPlugged(const std::string& id) {
  return WithCamera(*impl_, id, [](Camera& camera) { return camera.Plugged; });
}

std::string Simulator::InterfacePath(const std::string& id) {
  return WithCamera(*impl_, id, [&](Camera& camera) {
    return InterfaceDir(impl_->options.DeviceRoot, camera.kind, camera.Instance);
  });
}

std::vector<uint8_t> Simulator::Eeprom(const std::string& id) {
  return WithCamera(*impl_, id, [](Camera& camera) { return camera.Model.Image(); });
}

bool Simulator::Poke(const std::string& id, uint32_t address, std::span<const uint8_t> bytes,
                     std::string* error) {
  return WithCamera(
      *impl_, id, [&](Camera& camera) { return impl_->PokeCamera(camera, address, bytes, error); },
      error);
}

bool Simulator::WriteAllowed(const std::string& id) {
  return WithCamera(*impl_, id, [](Camera& camera) { return camera.Model.WriteAllowed(); });
}

bool Simulator::RefuseNext(const std::string& id, int count, uint8_t status) {
  if (count < 0) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.faults.RefuseLeft = count;
    camera.faults.RefuseStatus = status;
    return true;
  });
}

bool Simulator::DropAt(const std::string& id, int command) {
  if (command < 0) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.faults.DropIn = command;
    return true;
  });
}

bool Simulator::RefuseAt(const std::string& id, int command, uint8_t status) {
  if (command < 0) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.faults.RefuseIn = command;
    camera.faults.RefuseAtStatus = status;
    return true;
  });
}

bool Simulator::ShortAt(const std::string& id, int command, int bytes) {
  if (command < 0 || bytes < 1 || bytes > int(kMaxFrame)) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.faults.ShortIn = command;
    camera.faults.ShortAtBytes = bytes;
    return true;
  });
}

bool Simulator::ShortNext(const std::string& id, int count, int bytes) {
  if (count < 0 || bytes < 1 || bytes > int(kMaxFrame)) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.faults.ShortLeft = count;
    camera.faults.ShortBytes = bytes;
    return true;
  });
}

bool Simulator::CorruptNext(const std::string& id, int count) {
  if (count < 0) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.faults.CorruptLeft = count;
    return true;
  });
}

bool Simulator::FailPipe(const std::string& id, int pipe, bool on) {
  return WithCamera(*impl_, id,
                    [&](Camera& camera) { return impl_->SetPipeFailed(camera, pipe, on); });
}

bool Simulator::Delay(const std::string& id, int ms) {
  if (ms < 0) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.faults.DelayMs = ms;
    return true;
  });
}

bool Simulator::ClearFaults(const std::string& id) {
  return WithCamera(*impl_, id, [&](Camera& camera) {
    bool ok = true;
    for (int p = 0; p < kPipeCount; ++p) {
      ok = impl_->SetPipeFailed(camera, p, false) && ok;
    }
    camera.faults = Faults{};
    return ok;
  });
}

uint64_t Simulator::Transfers(const std::string& id) {
  return WithCamera(*impl_, id, [](Camera& camera) { return camera.Transfers; });
}

std::vector<std::string> Simulator::Log() {
  std::lock_guard lock(impl_->Mutex);
  return impl_->History.Last(FrameLog::kRecentLines);
}

std::string Simulator::Control(std::string_view line) {
  std::lock_guard lock(impl_->Mutex);
  return ExecuteControl(*impl_, line);
}

int Simulator::StopRequestedFd() const {
  return impl_->StopFd.Get();
}

}  // namespace camsim
