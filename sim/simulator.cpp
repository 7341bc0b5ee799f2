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

std::runtime_error SystemFailure(const char* what) {
  return std::runtime_error(std::string("camsim: ") + what + ": " + ErrnoText(errno));
}

struct PosixImageFiles final : ImageFiles {
  bool ImageFileMissing(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) != 0 && errno == ENOENT;
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

PosixImageFiles files;

// One write per line, so that lines of several processes never interleave.
FrameLog::Sink SinkTo(int fd) {
  return [fd](const std::string& line) {
    [[maybe_unused]] ssize_t n = ::write(fd, line.data(), line.size());
  };
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
    History = FrameLog(SinkTo(STDERR_FILENO));
  } else if (!options.LogPath.empty()) {
    LogFd.Reset(::open(options.LogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!LogFd) {
      throw SystemFailure(("cannot open the log " + options.LogPath).c_str());
    }
    History = FrameLog(SinkTo(LogFd.Get()));
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
      std::string why;
      if (camera->Session.Plugged()) {
        camera->Session.Unplug(&why);
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
  if (!ValidCameraId(id)) {
    return fail("camera id '" + id + "' is not usable: " + kCameraIdRule);
  }
  if (!ValidCameraId(instance)) {
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
    if (other->Session.kind() == sample->kind && other->Instance == instance) {
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
  if (!StartImage(files, *sample, imagePath, &image, &why)) {
    return fail(why);
  }
  if (NeedsWritePermission(sample->kind)) {
    // Installing the driver creates its service key; the tool only adds a value.
    const uint16_t code = ModelCodeOf(image);
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
  Cameras.emplace(
      id, std::make_unique<Camera>(*this, id, *sample, instance, imagePath, std::move(image)));
  return true;
}

std::vector<ControlCamera> Simulator::Impl::ControlCameras() {
  std::vector<ControlCamera> cameras;
  cameras.reserve(Cameras.size());
  for (const auto& [id, camera] : Cameras) {
    cameras.push_back(camera->Session.Describe(
        camera->Instance,
        InterfaceDir(options.DeviceRoot, camera->Session.kind(), camera->Instance)));
  }
  return cameras;
}

bool Simulator::Impl::PlugById(const std::string& id, std::string* why) {
  Camera* camera = Find(id, why);
  return camera && camera->Session.Plug(why);
}

bool Simulator::Impl::UnplugById(const std::string& id, std::string* why) {
  Camera* camera = Find(id, why);
  return camera && camera->Session.Unplug(why);
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
  return camera && camera->Session.SaveImageTo(path, why);
}

bool Simulator::Impl::LoadImageFrom(const std::string& id, const std::string& path,
                                    std::string* why) {
  Camera* camera = Find(id, why);
  return camera && camera->Session.LoadImageFrom(path, why);
}

// ---------------------------------------------------------------------------
// A camera and its session's port: the registry directory and image files.

Camera::Camera(Simulator::Impl& simulator, std::string id, const Sample& sample,
               std::string instance, std::string imagePath, std::vector<uint8_t> image)
    : simulator(simulator),
      Instance(std::move(instance)),
      Session(std::move(id), sample, std::move(imagePath), std::move(image), *this,
              simulator.History) {}

std::optional<uint32_t> Camera::ReadMachineDword(const std::string& key, const char* value) {
  return ReadRegistryDword(simulator.options.MachineRegistry, key, value);
}

bool Camera::ImageFileMissing(const std::string& path) {
  return files.ImageFileMissing(path);
}

bool Camera::LoadImage(const std::string& path, size_t size, std::vector<uint8_t>* image,
                       std::string* error) {
  return files.LoadImage(path, size, image, error);
}

bool Camera::SaveImage(const std::string& path, std::span<const uint8_t> image,
                       std::string* error) {
  return files.SaveImage(path, image, error);
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
  return it->second->Session.kind();
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
      *impl_, id, [&](Camera& camera) { return camera.Session.Plug(error); }, error);
}

bool Simulator::Unplug(const std::string& id, std::string* error) {
  return WithCamera(
      *impl_, id, [&](Camera& camera) { return camera.Session.Unplug(error); }, error);
}

bool Simulator::IsPlugged(const std::string& id) {
  return WithCamera(*impl_, id, [](Camera& camera) { return camera.Session.Plugged(); });
}

std::string Simulator::InterfacePath(const std::string& id) {
  return WithCamera(*impl_, id, [&](Camera& camera) {
    return InterfaceDir(impl_->options.DeviceRoot, camera.Session.kind(), camera.Instance);
  });
}

std::vector<uint8_t> Simulator::Eeprom(const std::string& id) {
  return WithCamera(*impl_, id, [](Camera& camera) { return camera.Session.Model().Image(); });
}

bool Simulator::Poke(const std::string& id, uint32_t address, std::span<const uint8_t> bytes,
                     std::string* error) {
  return WithCamera(
      *impl_, id, [&](Camera& camera) { return camera.Session.Poke(address, bytes, error); },
      error);
}

bool Simulator::WriteAllowed(const std::string& id) {
  return WithCamera(*impl_, id,
                    [](Camera& camera) { return camera.Session.Model().WriteAllowed(); });
}

bool Simulator::RefuseNext(const std::string& id, int count, uint8_t status) {
  if (count < 0) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.Session.faults().RefuseLeft = count;
    camera.Session.faults().RefuseStatus = status;
    return true;
  });
}

bool Simulator::DropAt(const std::string& id, int command) {
  if (command < 0) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.Session.faults().DropIn = command;
    return true;
  });
}

bool Simulator::RefuseAt(const std::string& id, int command, uint8_t status) {
  if (command < 0) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.Session.faults().RefuseIn = command;
    camera.Session.faults().RefuseAtStatus = status;
    return true;
  });
}

bool Simulator::ShortAt(const std::string& id, int command, int bytes) {
  if (command < 0 || bytes < 1 || bytes > int(kMaxFrame)) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.Session.faults().ShortIn = command;
    camera.Session.faults().ShortAtBytes = bytes;
    return true;
  });
}

bool Simulator::ShortNext(const std::string& id, int count, int bytes) {
  if (count < 0 || bytes < 1 || bytes > int(kMaxFrame)) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.Session.faults().ShortLeft = count;
    camera.Session.faults().ShortBytes = bytes;
    return true;
  });
}

bool Simulator::CorruptNext(const std::string& id, int count) {
  if (count < 0) {
    return false;
  }
  return WithCamera(*impl_, id, [&](Camera& camera) {
    camera.Session.faults().CorruptLeft = count;
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
    camera.Session.faults().DelayMs = ms;
    return true;
  });
}

bool Simulator::ClearFaults(const std::string& id) {
  return WithCamera(*impl_, id, [&](Camera& camera) {
    bool ok = true;
    for (int p = 0; p < kPipeCount; ++p) {
      ok = impl_->SetPipeFailed(camera, p, false) && ok;
    }
    camera.Session.faults() = Faults{};
    return ok;
  });
}

uint64_t Simulator::Transfers(const std::string& id) {
  return WithCamera(*impl_, id, [](Camera& camera) { return camera.Session.Transfers(); });
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
