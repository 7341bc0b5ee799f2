#include "sim/core/session.h"

#include <algorithm>

namespace camsim {

bool ValidCameraId(std::string_view id) {
  if (id.empty() || id.size() > 64 || id[0] == '.') {
    return false;
  }
  return std::all_of(id.begin(), id.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

bool StartImage(ImageFiles& files, const Sample& sample, const std::string& path,
                std::vector<uint8_t>* image, std::string* error) {
  if (files.ImageFileMissing(path)) {
    *image = SampleImage(sample);
    return files.SaveImage(path, *image, error);
  }
  return files.ReadImage(path, EepromSize(sample.kind), image, error);
}

CameraSession::CameraSession(std::string id, const Sample& sample, std::string imagePath,
                             std::vector<uint8_t> image, SessionPort& port, FrameLog& log,
                             std::string_view detail)
    : id_(std::move(id)),
      sampleName_(sample.Name),
      imagePath_(std::move(imagePath)),
      model_(sample.kind, std::move(image)),
      port_(port),
      log_(log) {
  Log("added: sample " + sampleName_ + ", image " + imagePath_ + std::string(detail));
}

void CameraSession::Log(const std::string& text) {
  log_.Text(id_, text);
}

bool CameraSession::Plug(std::string* error) {
  if (plugged_) {
    return Fail(error, id_ + " is plugged in already");
  }
  // The driver reads its permission when the camera arrives and keeps it until
  // the camera goes: a change in between counts from the next plug-in. The key
  // is that of the model code in the camera's current header.
  bool allowed = false;
  std::string permission = "not needed";
  if (NeedsWritePermission(kind())) {
    const std::string key = ServiceKeyPath(ModelCodeOf(model_.Image()));
    const auto value =
        key.empty() ? std::nullopt : port_.ReadMachineDword(key, kWritePermissionValue);
    allowed = value && *value != 0;
    permission = allowed ? "allowed" : "not granted";
  }
  model_.SetWriteAllowed(allowed);
  std::string where, why;
  if (!port_.AddInterface(&where, error ? error : &why)) {
    return false;
  }
  plugged_ = true;
  Log("plugged in at " + where + ", EEPROM writes " + permission);
  return true;
}

bool CameraSession::Unplug(std::string* error) {
  if (!plugged_) {
    return Fail(error, id_ + " is not plugged in");
  }
  port_.RemoveInterface();
  CloseConnections();
  port_.StopListening();
  held_.clear();
  plugged_ = false;
  Log("unplugged");
  return true;
}

void CameraSession::Opened(uint64_t connection, int pipe, uint64_t pid) {
  connections_.push_back({connection, pipe, pid, nextOrder_++});
  Log("pipe " + std::to_string(pipe) + " opened by pid " + std::to_string(pid));
}

void CameraSession::Closed(uint64_t connection, bool byClient) {
  auto it = std::find_if(connections_.begin(), connections_.end(),
                         [&](const Connection& c) { return c.id == connection; });
  if (it == connections_.end()) {
    return;
  }
  if (byClient) {
    Log("pipe " + std::to_string(it->pipe) + " closed by pid " + std::to_string(it->pid));
  }
  connections_.erase(it);
}

void CameraSession::Received(uint64_t connection, std::span<const uint8_t> message, size_t size) {
  auto it = std::find_if(connections_.begin(), connections_.end(),
                         [&](const Connection& c) { return c.id == connection; });
  if (it == connections_.end()) {
    return;
  }
  if (it->pipe != 0) {
    Log("ignored " + std::to_string(size) + " bytes sent on pipe " + std::to_string(it->pipe));
    return;
  }
  HandleFrame(it->pid, message.first(std::min(message.size(), kReceiveBuffer)), size);
}

void CameraSession::CloseConnections() {
  // Connections still waiting to be taken count as open to their clients.
  port_.ReportWaiting();
  // The port may report the closes back; by then they are forgotten.
  const std::vector<Connection> closing = std::move(connections_);
  connections_.clear();
  for (const Connection& c : closing) {
    port_.Close(c.id);
  }
  if (!closing.empty()) {
    Log("closed " + std::to_string(closing.size()) + " connection(s)");
  }
}

void CameraSession::HandleFrame(uint64_t pid, std::span<const uint8_t> frame, size_t size) {
  log_.Request(id_, pid, frame, size);
  FrameOutcome outcome =
      ServeFrame(model_, faults_, frame, [this](std::span<const uint8_t> image, std::string* why) {
        return port_.SaveImage(imagePath_, image, why);
      });
  if (outcome.Dropped) {
    Log(kDropLogText);
    CloseConnections();
    return;
  }
  ++transfers_;
  if (faults_.DelayMs > 0) {
    HeldReply reply{Clock::now() + std::chrono::milliseconds(faults_.DelayMs), pid,
                    std::move(outcome.Reply), std::move(outcome.Note)};
    auto at = std::upper_bound(
        held_.begin(), held_.end(), reply.due,
        [](Clock::time_point due, const HeldReply& other) { return due < other.due; });
    held_.insert(at, std::move(reply));
    return;
  }
  Deliver(pid, outcome.Reply, outcome.Note);
}

const CameraSession::Connection* CameraSession::DataPipeOf(uint64_t pid) const {
  const Connection* newest = nullptr;
  for (const Connection& c : connections_) {
    if (c.pipe == 1 && c.pid == pid && (!newest || c.order > newest->order)) {
      newest = &c;
    }
  }
  return newest;
}

void CameraSession::Deliver(uint64_t pid, const std::vector<uint8_t>& bytes,
                            const std::string& note) {
  const Connection* target = DataPipeOf(pid);
  if (!target) {
    // The client opened its data pipe before it sent the request; the port
    // may not have taken that connection yet.
    port_.ReportWaiting();
    target = DataPipeOf(pid);
  }
  if (!target) {
    log_.ReplyDropped(id_, pid, bytes, note);
    return;
  }
  std::string why;
  if (!port_.Send(target->id, bytes, &why)) {
    log_.ReplyLost(id_, why, bytes, note);
    return;
  }
  log_.Reply(id_, bytes, note);
}

void CameraSession::FlushDue(Clock::time_point now) {
  while (!held_.empty() && held_.front().due <= now) {
    HeldReply reply = std::move(held_.front());
    held_.erase(held_.begin());
    Deliver(reply.pid, reply.bytes, reply.note);
  }
}

std::optional<CameraSession::Clock::time_point> CameraSession::NextDue() const {
  if (held_.empty()) {
    return std::nullopt;
  }
  return held_.front().due;
}

bool CameraSession::SaveImageTo(const std::string& path, std::string* why) {
  std::string ignored;
  return port_.SaveImage(path, model_.Image(), why ? why : &ignored);
}

bool CameraSession::LoadImageFrom(const std::string& path, std::string* why) {
  std::string ignored;
  why = why ? why : &ignored;
  std::vector<uint8_t> image;
  if (!port_.ReadImage(path, EepromSize(kind()), &image, why) ||
      !port_.SaveImage(imagePath_, image, why)) {
    return false;
  }
  model_.MutableImage() = std::move(image);
  Log("image loaded from " + path);
  return true;
}

bool CameraSession::Poke(uint32_t address, std::span<const uint8_t> bytes, std::string* error) {
  auto& image = model_.MutableImage();
  if (uint64_t(address) + bytes.size() > image.size()) {
    return Fail(error, "range outside the EEPROM");
  }
  const std::vector<uint8_t> before = image;
  std::copy(bytes.begin(), bytes.end(), image.begin() + address);
  std::string why;
  if (!port_.SaveImage(imagePath_, image, &why)) {
    image = before;
    return Fail(error, why);
  }
  Log("poked " + std::to_string(bytes.size()) + " bytes at " + std::to_string(address));
  return true;
}

ControlCamera CameraSession::Describe(const std::string& instance,
                                      const std::string& interfacePath) {
  return {id_,        sampleName_, instance,   kind(),  interfacePath,
          imagePath_, plugged_,    transfers_, &model_, &faults_};
}

long long MillisecondsUntil(std::optional<CameraSession::Clock::time_point> due,
                            CameraSession::Clock::time_point now) {
  if (!due) {
    return -1;
  }
  if (*due <= now) {
    return 0;
  }
  return std::chrono::ceil<std::chrono::milliseconds>(*due - now).count();
}

}  // namespace camsim
