#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "sim/core/camera.h"

namespace camsim {
namespace {

struct KindInfo {
  const char* Name;
  const char* Title;
  const char* Guid;
  Group group;
};

constexpr KindInfo kKindInfo[8] = {
    {"OrtekKai", "Ortek KAI", "{2BCDDA06-F3C9-4AE6-B257-219DEFA0ABCB}", Group::Ortek},
    {"OrtekKaf", "Ortek KAF", "{79349DC7-CF70-438E-BC10-F454F02D2067}", Group::Ortek},
    {"SelvoKai", "Selvo KAI", "{3789B7D9-A441-4B8B-A959-EE19DB0B8002}", Group::Selvo},
    {"SelvoKaf", "Selvo KAF", "{A987BCF1-59F2-4E63-B063-AFE38A887A72}", Group::Selvo},
    {"SelvoE2v", "Selvo E2V", "{02B6D00B-7D0F-44A7-953F-7BCCF63A264A}", Group::Selvo},
    {"SelvoE2vB", "Selvo E2V", "{DA870690-8A10-4C3A-B49A-10CA2959458E}", Group::Selvo},
    {"TamisA", "Tamis Camera", "{AD8D593C-2B2D-4292-8A80-CD4DA13FB16A}", Group::Tamis},
    {"TamisB", "Tamis Camera", "{4833EE92-1978-4A02-85AF-94396406C32E}", Group::Tamis},
};

const KindInfo& InfoOf(Kind kind) {
  int n = static_cast<int>(kind);
  return kKindInfo[(n >= 1 && n <= 8) ? n - 1 : 0];
}

struct ServiceEntry {
  uint16_t ModelCode;
  const char* Service;
};

constexpr ServiceEntry kServices[] = {{1027, "vemcamI"}, {1028, "vemcamF"}, {1029, "ralcamI"},
                                      {1030, "ralcamF"}, {1200, "ralcamB"}, {1201, "ralcamBI"}};

constexpr size_t kOrtekBlockSize = 59;
constexpr size_t kBlockSize = 61;
constexpr size_t kShortEeprom = 256;
constexpr size_t kLongEeprom = 0x40000;
constexpr uint32_t kLongBlockAddress = 0x3FF80;
constexpr size_t kTypeNameLength = 14;

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    p[i] = uint8_t(v >> (8 * i));
  }
}

// Bytes the tool never interprets still have to survive its read-modify-write,
// so every sample fills them with something recognisable.
void FillUninterpreted(std::vector<uint8_t>& image, uint32_t at, size_t size, uint8_t seed) {
  for (size_t i = 0; i < size; ++i) {
    image[at + i] = uint8_t(seed + 0x11 * i);
  }
}

void AppendHexLines(std::string& out, std::span<const uint8_t> bytes, uint32_t address,
                    bool longForm) {
  for (size_t i = 0; i < bytes.size(); i += 16) {
    char label[16];
    std::snprintf(label, sizeof label, longForm ? "  %05x  " : "  %02x  ", unsigned(address + i));
    out += label;
    out += HexBytes(bytes.subspan(i, std::min<size_t>(16, bytes.size() - i)));
    out += '\n';
  }
}

// Where the type name starts within the block.
size_t TypeNameOffset(Kind kind) {
  return GroupOf(kind) == Group::Ortek ? 14 : 16;
}

}  // namespace

Group GroupOf(Kind kind) {
  return InfoOf(kind).group;
}

int ClassNumber(Kind kind) {
  return static_cast<int>(kind);
}
const char* KindName(Kind kind) {
  return InfoOf(kind).Name;
}
const char* KindTitle(Kind kind) {
  return InfoOf(kind).Title;
}
const char* ClassGuid(Kind kind) {
  return InfoOf(kind).Guid;
}
bool IsLongForm(Kind kind) {
  return GroupOf(kind) == Group::Tamis;
}
size_t EepromSize(Kind kind) {
  return IsLongForm(kind) ? kLongEeprom : kShortEeprom;
}
uint32_t BlockAddress(Kind kind) {
  return IsLongForm(kind) ? kLongBlockAddress : kHeaderSize;
}
size_t BlockSize(Kind kind) {
  return GroupOf(kind) == Group::Ortek ? kOrtekBlockSize : kBlockSize;
}
bool NeedsWritePermission(Kind kind) {
  return GroupOf(kind) != Group::Tamis;
}

uint16_t ModelCodeOf(std::span<const uint8_t> image) {
  if (image.size() < 5) {
    return 0;
  }
  return uint16_t(image[3] | image[4] << 8);
}

const char* ServiceName(uint16_t modelCode) {
  for (const auto& entry : kServices) {
    if (entry.ModelCode == modelCode) {
      return entry.Service;
    }
  }
  return nullptr;
}

std::string ServiceKeyPath(uint16_t modelCode) {
  const char* service = ServiceName(modelCode);
  if (!service) {
    return {};
  }
  return std::string("SYSTEM\\CurrentControlSet\\Services\\") + service + "\\Parameters";
}

const std::vector<Sample>& Samples() {
  // Between them the samples cover both wheel revisions of every layout, a
  // camera without a wheel, Ortek position code 3 with a busy high nibble, and
  // flag bits the tool must carry through untouched.
  static const std::vector<Sample> samples = {
      {"ortek-kai", Kind::OrtekKai, 1027, 20417, "OK-420M", 0x8B, 0xA8,
       "Ortek KAI, 8 positions (code 3, count 0xA8), EFW revision 2, flag bit 3 set"},
      {"ortek-kaf", Kind::OrtekKaf, 1028, 31052, "OF-830 Color", 0x21, 0x35,
       "Ortek KAF, 5 positions (code 1), IFW/EFW revision 1, flag bit 5 set"},
      {"selvo-kai", Kind::SelvoKai, 1029, 41877, "SV-KAI 1100", 0x05, 7,
       "Selvo KAI, 7 positions, EFW revision 2, flag bit 0 set"},
      {"selvo-kaf", Kind::SelvoKaf, 1030, 42210, "SV-KAF 1600", 0x00, 0,
       "Selvo KAF, no filter wheel, revision 1"},
      {"selvo-e2v", Kind::SelvoE2v, 1200, 53001, "SV-E2V 4710", 0x40, 6,
       "Selvo E2V, 6 positions, IFW/EFW revision 1, flag bit 6 set"},
      {"selvo-e2vb", Kind::SelvoE2vB, 1201, 53118, "SV-E2V 4240B", 0x04, 10,
       "Selvo E2V (B), 10 positions, EFW revision 2"},
      {"tamis-a", Kind::TamisA, 0, 60233, "Tamis A-60", 0x12, 9,
       "Tamis A, 9 positions, IFW/EFW revision 1 (bit 1 set), flag bit 4 set"},
      {"tamis-b", Kind::TamisB, 0, 61547, "Tamis B-90 Pro", 0x00, 12,
       "Tamis B, 12 positions, EFW revision 2, type name fills all 14 characters"},
  };
  return samples;
}

const Sample* FindSample(std::string_view name) {
  for (const auto& sample : Samples()) {
    if (sample.Name == name) {
      return &sample;
    }
  }
  return nullptr;
}

std::vector<uint8_t> SampleImage(const Sample& sample) {
  const Kind kind = sample.kind;
  const uint8_t seed = uint8_t(ClassNumber(kind) * 0x1D);
  std::vector<uint8_t> image(EepromSize(kind), 0xFF);
  if (IsLongForm(kind)) {
    // A fixed pattern that differs at every address makes an addressing slip
    // visible in a read-back.
    for (size_t a = 0; a < image.size(); ++a) {
      image[a] = uint8_t(a ^ (a >> 8) ^ (a >> 16));
    }
  } else {
    // Identity header: hardware revision, model code, firmware version, batch.
    const uint8_t header[kHeaderSize] = {0x5A,
                                         uint8_t(0x01 + ClassNumber(kind)),
                                         0x00,
                                         uint8_t(sample.ModelCode),
                                         uint8_t(sample.ModelCode >> 8),
                                         0x02,
                                         uint8_t(0x10 + ClassNumber(kind)),
                                         0x07,
                                         0xE3,
                                         seed};
    std::copy(std::begin(header), std::end(header), image.begin());
  }
  const uint32_t at = BlockAddress(kind);
  const size_t size = BlockSize(kind);
  FillUninterpreted(image, at, size, seed);
  PutLe32(&image[at], sample.CameraId);
  image[at + 4] = sample.ConfigFlags;
  image[at + 5] = sample.PositionCount;
  const size_t nameAt = at + TypeNameOffset(kind);
  for (size_t i = 0; i < kTypeNameLength; ++i) {
    image[nameAt + i] = i < sample.TypeName.size() ? uint8_t(sample.TypeName[i]) : 0;
  }
  return image;
}

BlockFields DecodeBlock(Kind kind, std::span<const uint8_t> block) {
  BlockFields fields;
  if (block.size() < BlockSize(kind)) {
    return fields;
  }
  fields.CameraId = Le32(block.data());
  fields.ConfigFlags = block[4];
  fields.PositionCount = block[5];
  const size_t nameAt = TypeNameOffset(kind);
  for (size_t i = 0; i < kTypeNameLength && block[nameAt + i] != 0; ++i) {
    fields.TypeName += char(block[nameAt + i]);
  }
  switch (GroupOf(kind)) {
    case Group::Ortek: {
      static constexpr unsigned kByCode[3] = {0, 5, 6};
      const unsigned code = fields.ConfigFlags & 0x03;
      fields.FilterPositions = code == 3 ? (fields.PositionCount & 0x0F) : kByCode[code];
      fields.WheelRevision2 = (fields.ConfigFlags & 0x80) != 0;
      break;
    }
    case Group::Selvo:
      fields.FilterPositions = fields.PositionCount;
      fields.WheelRevision2 = (fields.ConfigFlags & 0x04) != 0;
      break;
    case Group::Tamis:
      fields.FilterPositions = fields.PositionCount;
      fields.WheelRevision2 = (fields.ConfigFlags & 0x02) == 0;
      break;
  }
  return fields;
}

const char* PositionsText(unsigned positions) {
  static constexpr const char* kTexts[] = {"5 positions", "6 positions", "7 positions",
                                           "8 positions", "9 positions", "10 positions",
                                           nullptr,       "12 positions"};
  const char* text = positions >= 5 && positions <= 12 ? kTexts[positions - 5] : nullptr;
  return text ? text : "Not installed";
}

const char* WheelText(bool revision2) {
  return revision2 ? "EFW revision 2" : "IFW, EFW revision 1";
}

std::string DescribeImage(Kind kind, std::span<const uint8_t> image) {
  std::string out;
  if (image.size() != EepromSize(kind)) {
    return "image: wrong size\n";
  }
  const bool longForm = IsLongForm(kind);
  char line[160];
  const auto header = image.subspan(kHeaderAddress, kHeaderSize);
  if (longForm) {
    out += "header (not read for this kind):\n";
  } else {
    const uint16_t code = ModelCodeOf(image);
    const char* service = ServiceName(code);
    std::snprintf(line, sizeof line, "header (model code %u, driver service %s):\n", code,
                  service ? service : "unknown");
    out += line;
  }
  AppendHexLines(out, header, kHeaderAddress, longForm);
  const auto block = image.subspan(BlockAddress(kind), BlockSize(kind));
  std::snprintf(line, sizeof line, "block (%zu bytes):\n", block.size());
  out += line;
  AppendHexLines(out, block, BlockAddress(kind), longForm);
  const BlockFields fields = DecodeBlock(kind, block);
  std::snprintf(line, sizeof line, "camera ID: %u\n", unsigned(fields.CameraId));
  out += line;
  out += "type name: " + Escaped(fields.TypeName, true) + "\n";
  std::snprintf(line, sizeof line, "config flags: 0x%02x\nposition count: 0x%02x\n",
                fields.ConfigFlags, fields.PositionCount);
  out += line;
  const char* text = PositionsText(fields.FilterPositions);
  if (fields.FilterPositions != 0 && std::string_view(text) == "Not installed") {
    std::snprintf(line, sizeof line, "filter positions: %s (decodes as %u)\n", text,
                  fields.FilterPositions);
  } else {
    std::snprintf(line, sizeof line, "filter positions: %s\n", text);
  }
  out += line;
  out += std::string("wheel type: ") + WheelText(fields.WheelRevision2) + "\n";
  return out;
}

// ---- Helpers of every part of camsim.

bool Fail(std::string* error, std::string why) {
  if (error) {
    *error = std::move(why);
  }
  return false;
}

std::string Escaped(std::string_view text, bool backslash) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && (c != '\\' || !backslash)) {
      out += char(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::string(value) : fallback;
}

}  // namespace camsim
