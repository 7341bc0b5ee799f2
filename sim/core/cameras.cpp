#include "sim/core/cameras.h"

#include <algorithm>
#include <map>

namespace camsim {

namespace {

// The image files of the port the program is built for (the three functions
// of camera.h).
ImageFiles& PortFiles() {
  struct Files final : ImageFiles {
    bool ImageFileMissing(const std::string& path) override {
      return camsim::ImageFileMissing(path);
    }
    bool ReadImage(const std::string& path, size_t size, std::vector<uint8_t>* image,
                   std::string* error) override {
      return LoadImageFile(path, size, image, error);
    }
    bool SaveImage(const std::string& path, std::span<const uint8_t> image,
                   std::string* error) override {
      return SaveImageFile(path, image, error);
    }
  };
  static Files files;
  return files;
}

}  // namespace

bool ParseCameraChoices(const std::vector<std::string>& words, std::vector<CameraChoice>* choices,
                        std::string* problem) {
  if (words.empty()) {
    return Fail(problem, "name at least one sample camera");
  }
  std::map<Kind, int> perClass;
  for (const auto& word : words) {
    CameraChoice choice;
    const auto equals = word.find('=');
    choice.SampleName = word.substr(0, equals);
    choice.Id = equals == std::string::npos ? choice.SampleName : word.substr(equals + 1);
    const Sample* sample = FindSample(choice.SampleName);
    if (!sample) {
      return Fail(problem,
                  "no sample camera " + choice.SampleName + " (camsim samples lists them)");
    }
    choice.Instance = "cam" + std::to_string(perClass[sample->kind]++);
    choices->push_back(choice);
  }
  return true;
}

CameraSlot::CameraSlot(const CameraChoice& choice, const Sample& sample, std::string imagePath,
                       std::vector<uint8_t> image, FrameLog& log, std::string_view detail)
    : Instance(choice.Instance),
      Session(choice.Id, sample, std::move(imagePath), std::move(image), *this, log, detail) {}

bool CameraSlot::ImageFileMissing(const std::string& path) {
  return PortFiles().ImageFileMissing(path);
}

bool CameraSlot::ReadImage(const std::string& path, size_t size, std::vector<uint8_t>* image,
                           std::string* error) {
  return PortFiles().ReadImage(path, size, image, error);
}

bool CameraSlot::SaveImage(const std::string& path, std::span<const uint8_t> image,
                           std::string* error) {
  return PortFiles().SaveImage(path, image, error);
}

bool CameraSlot::FollowPipeFaults() {
  bool restored = true;
  for (int pipe = 0; Session.Plugged() && pipe < kPipeCount; ++pipe) {
    std::string why;
    if (!SetPipeOpen(pipe, !Session.faults().PipeFailed[pipe], &why)) {
      Session.Log("cannot restore pipe " + std::to_string(pipe) + ": " + why);
      restored = false;
    }
  }
  return restored;
}

bool CameraList::OpenLog(const std::string& path, std::string* error) {
  if (path.empty()) {
    return true;
  }
  logFile_.reset(path == "-" ? stderr : std::fopen(path.c_str(), "a"));
  if (!logFile_) {
    return Fail(error, "cannot open the log " + path);
  }
  // One write per line, so that the lines of several writers never interleave.
  log_ = FrameLog([file = logFile_.get()](const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
  });
  return true;
}

bool CameraList::Prepare(const CameraChoice& choice, const std::string& imagePath,
                         const Sample** sample, std::vector<uint8_t>* image,
                         std::string* error) const {
  if (!ValidCameraId(choice.Id)) {
    return Fail(error, "camera id '" + choice.Id + "' is not usable: " + kCameraIdRule);
  }
  if (!ValidCameraId(choice.Instance)) {
    return Fail(error, "instance name '" + choice.Instance + "' is not usable");
  }
  *sample = FindSample(choice.SampleName);
  if (!*sample) {
    return Fail(error, "no sample camera " + choice.SampleName + " (camsim samples lists them)");
  }
  for (const auto& other : cameras_) {
    if (other->Session.Id() == choice.Id) {
      return Fail(error, "camera " + choice.Id + " exists already");
    }
    if (other->Session.kind() == (*sample)->kind && other->Instance == choice.Instance) {
      return Fail(error, "camera " + other->Session.Id() + " already uses /" +
                             ClassGuid((*sample)->kind) + "/" + choice.Instance);
    }
  }
  return StartImage(PortFiles(), **sample, imagePath, image, error);
}

void CameraList::Add(std::unique_ptr<CameraSlot> camera) {
  cameras_.push_back(std::move(camera));
}

CameraSlot* CameraList::Find(const std::string& id, std::string* error) const {
  for (const auto& camera : cameras_) {
    if (camera->Session.Id() == id) {
      return camera.get();
    }
  }
  Fail(error, id.empty() ? "no camera id given" : "no camera " + id);
  return nullptr;
}

void CameraList::UnplugAll() {
  for (const auto& camera : cameras_) {
    if (camera->Session.Plugged()) {
      camera->Session.Unplug(nullptr);
    }
  }
}

void CameraList::FlushDue() {
  const auto now = CameraSession::Clock::now();
  for (const auto& camera : cameras_) {
    camera->Session.FlushDue(now);
  }
}

long long CameraList::MillisecondsToNextDue() const {
  const auto now = CameraSession::Clock::now();
  long long next = -1;
  for (const auto& camera : cameras_) {
    const long long ms = MillisecondsUntil(camera->Session.NextDue(), now);
    if (ms >= 0 && (next < 0 || ms < next)) {
      next = ms;
    }
  }
  return next;
}

std::vector<ControlCamera> CameraList::ControlCameras() {
  std::vector<ControlCamera> cameras;
  cameras.reserve(cameras_.size());
  for (const auto& camera : cameras_) {
    cameras.push_back(camera->Session.Describe(camera->Instance, camera->InterfacePath()));
  }
  std::sort(cameras.begin(), cameras.end(),
            [](const ControlCamera& a, const ControlCamera& b) { return a.Id < b.Id; });
  return cameras;
}

bool CameraList::PlugById(const std::string& id, std::string* why) {
  CameraSlot* camera = Find(id, why);
  return camera && camera->Session.Plug(why);
}

bool CameraList::UnplugById(const std::string& id, std::string* why) {
  CameraSlot* camera = Find(id, why);
  return camera && camera->Session.Unplug(why);
}

bool CameraList::FollowPipeFaults(const std::string& id) {
  CameraSlot* camera = Find(id);
  return camera && camera->FollowPipeFaults();
}

void CameraList::LogLine(const std::string& who, const std::string& text) {
  log_.Text(who, text);
}

bool CameraList::SaveImageTo(const std::string& id, const std::string& path, std::string* why) {
  CameraSlot* camera = Find(id, why);
  return camera && camera->Session.SaveImageTo(path, why);
}

bool CameraList::LoadImageFrom(const std::string& id, const std::string& path, std::string* why) {
  CameraSlot* camera = Find(id, why);
  return camera && camera->Session.LoadImageFrom(path, why);
}

}  // namespace camsim
