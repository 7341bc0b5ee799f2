// The simulated firmware's frame parser: the input is one request frame, given
// to a camera of every kind, with and without the driver's write permission.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "sim/linux/simulator.h"

namespace {

struct TCamera {
  std::unique_ptr<camsim::CameraModel> Model;
  std::vector<std::uint8_t> Pristine;
};

std::vector<TCamera> MakeCameras() {
  std::vector<TCamera> cameras;
  for (camsim::Kind kind : camsim::kAllKinds) {
    for (const camsim::Sample& sample : camsim::Samples()) {
      if (sample.kind == kind) {
        std::vector<std::uint8_t> image = camsim::SampleImage(sample);
        cameras.push_back({std::make_unique<camsim::CameraModel>(kind, image), image});
        break;
      }
    }
  }
  FUZZ_CHECK(cameras.size() == camsim::kAllKinds.size(), "a kind without a sample");
  return cameras;
}

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

void Check(TCamera& camera, std::span<const std::uint8_t> frame, bool writeAllowed) {
  camsim::CameraModel& model = *camera.Model;
  const camsim::Kind kind = model.kind();
  model.SetWriteAllowed(writeAllowed);
  const camsim::CameraModel::Reply reply = model.Handle(frame);
  const char* name = camsim::KindName(kind);

  FUZZ_CHECK(!reply.Bytes.empty() && reply.Bytes.size() <= camsim::kMaxFrame,
             "%s: reply of %zu bytes", name, reply.Bytes.size());
  const std::uint8_t status = reply.Bytes[0];
  FUZZ_CHECK(status >= camsim::kStatusSuccess && status <= camsim::kStatusUnknownInstruction,
             "%s: status 0x%02x", name, status);
  FUZZ_CHECK(reply.Why != nullptr, "%s: no reason", name);
  std::vector<std::uint8_t>& image = model.MutableImage();
  FUZZ_CHECK(image.size() == camsim::EepromSize(kind), "%s: image resized to %zu", name,
             image.size());

  if (status == camsim::kStatusSuccess) {
    // Only a frame of exactly the firmware's own form gets here.
    const std::size_t addressSize = camsim::IsLongForm(kind) ? 4 : 1;
    const std::size_t fixed = addressSize + 2;
    FUZZ_CHECK(frame.size() >= fixed && frame.size() <= camsim::kMaxFrame,
               "%s: success for a frame of %zu bytes", name, frame.size());
    const std::uint32_t address = addressSize == 4 ? Le32(&frame[1]) : frame[1];
    const std::size_t count = frame[fixed - 1];
    FUZZ_CHECK(count >= 1 && std::uint64_t{address} + count <= image.size(),
               "%s: success for %zu bytes at 0x%x", name, count, address);
    if (frame[0] == camsim::kOpcodeRead) {
      FUZZ_CHECK(frame.size() == fixed && count <= camsim::kMaxReadCount && !reply.Changed,
                 "%s: read of %zu bytes in a %zu-byte frame", name, count, frame.size());
      FUZZ_CHECK(
          reply.Bytes.size() == count + 1 && std::equal(reply.Bytes.begin() + 1, reply.Bytes.end(),
                                                        camera.Pristine.begin() + address),
          "%s: read of %zu bytes at 0x%x answered wrongly", name, count, address);
    } else {
      FUZZ_CHECK(frame[0] == camsim::kOpcodeWrite, "%s: success for opcode 0x%02x", name, frame[0]);
      FUZZ_CHECK(model.WriteAllowed() && frame.size() == fixed + count && reply.Changed &&
                     reply.Bytes.size() == 1,
                 "%s: write of %zu bytes accepted wrongly", name, count);
      FUZZ_CHECK(std::equal(frame.begin() + fixed, frame.end(), image.begin() + address),
                 "%s: write of %zu bytes at 0x%x stored something else", name, count, address);
      // Undo it, so that the comparison below covers everything outside the range.
      std::copy(camera.Pristine.begin() + address, camera.Pristine.begin() + address + count,
                image.begin() + address);
    }
  } else {
    FUZZ_CHECK(reply.Bytes.size() == 1 && !reply.Changed, "%s: refusal 0x%02x with %zu bytes", name,
               status, reply.Bytes.size());
  }
  FUZZ_CHECK(image == camera.Pristine, "%s: image changed outside an accepted write", name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::vector<TCamera> cameras = MakeCameras();
  const std::span<const std::uint8_t> frame(data, size);
  for (TCamera& camera : cameras) {
    Check(camera, frame, false);
    Check(camera, frame, true);
  }
  return 0;
}
