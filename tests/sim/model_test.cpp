// The camera model without sockets: samples, frame handling per address form,
// and the decoding that `camsim dump` shows.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "sim/core/camera.h"
#include "sim/linux/simulator.h"
#include "sim/sim_support.h"

using namespace camsim;
using namespace camsim_test;

namespace {

CameraModel ModelOf(const char* sample, bool writeAllowed) {
  const Sample* s = FindSample(sample);
  return CameraModel(s->kind, SampleImage(*s), writeAllowed);
}

std::vector<uint8_t> Handle(CameraModel& model, const std::vector<uint8_t>& frame) {
  return model.Handle(frame).Bytes;
}

std::vector<uint8_t> Refused(uint8_t status) {
  return {status};
}

}  // namespace

TEST(Samples, OnePerClassWithTheModelCodesAndRequiredVariety) {
  const std::vector<std::string> names = {"ortek-kai", "ortek-kaf",  "selvo-kai", "selvo-kaf",
                                          "selvo-e2v", "selvo-e2vb", "tamis-a",   "tamis-b"};
  const uint16_t codes[] = {1027, 1028, 1029, 1030, 1200, 1201};
  ASSERT_EQ(Samples().size(), 8u);
  bool ortekCode3WithHighNibble = false, noWheel = false, uninterpretedFlag = false;
  std::set<bool> revisions[3];
  for (size_t i = 0; i < names.size(); ++i) {
    const Sample* sample = FindSample(names[i]);
    ASSERT_NE(sample, nullptr) << names[i];
    EXPECT_EQ(ClassNumber(sample->kind), int(i + 1));
    const auto image = SampleImage(*sample);
    ASSERT_EQ(image.size(), EepromSize(sample->kind));
    if (i < 6) {
      EXPECT_EQ(ModelCodeOf(image), codes[i]);
      EXPECT_NE(ServiceName(codes[i]), nullptr);
    }
    const auto block = Slice(image, BlockAddress(sample->kind), BlockSize(sample->kind));
    const BlockFields fields = DecodeBlock(sample->kind, block);
    EXPECT_EQ(fields.CameraId, sample->CameraId);
    EXPECT_EQ(fields.TypeName, sample->TypeName);
    EXPECT_LE(sample->TypeName.size(), 14u);
    const Group group = GroupOf(sample->kind);
    revisions[int(group)].insert(fields.WheelRevision2);
    const uint8_t interpreted = group == Group::Ortek ? 0x83 : group == Group::Selvo ? 0x04 : 0x02;
    uninterpretedFlag |= (fields.ConfigFlags & ~interpreted) != 0;
    noWheel |= fields.FilterPositions == 0;
    ortekCode3WithHighNibble |= group == Group::Ortek && (fields.ConfigFlags & 3) == 3 &&
                                (fields.PositionCount & 0xF0) != 0;
  }
  EXPECT_TRUE(ortekCode3WithHighNibble);
  EXPECT_TRUE(noWheel);
  EXPECT_TRUE(uninterpretedFlag);
  for (const auto& seen : revisions) {
    EXPECT_EQ(seen.size(), 2u) << "each layout needs both wheel revisions among the samples";
  }
  EXPECT_EQ(FindSample("ortek"), nullptr);
}

TEST(Samples, ServiceKeysByModelCode) {
  EXPECT_EQ(ServiceKeyPath(1201), "SYSTEM\\CurrentControlSet\\Services\\ralcamBI\\Parameters");
  EXPECT_EQ(ServiceKeyPath(1200), "SYSTEM\\CurrentControlSet\\Services\\ralcamB\\Parameters");
  EXPECT_EQ(ServiceKeyPath(1100), "");
  EXPECT_EQ(ServiceKeyPath(0), "");
}

// Every refusal is a row of the conformance suite, through camsim's sockets;
// these pin the bytes a camera answers with and keeps.
TEST(ShortForm, ReadsAreByteExact) {
  CameraModel model = ModelOf("selvo-kai", false);
  const auto image = model.Image();
  EXPECT_EQ(Handle(model, ReadShort(0, 10)), Success(Slice(image, 0, 10)));
  EXPECT_EQ(Handle(model, ReadShort(10, 61)), Success(Slice(image, 10, 61)));
  EXPECT_EQ(Handle(model, ReadShort(193, 63)), Success(Slice(image, 193, 63)));  // to the end
}

TEST(ShortForm, WritesNeedPermissionAndChangeOnlyTheirRange) {
  CameraModel model = ModelOf("ortek-kai", false);
  const auto original = model.Image();
  const std::vector<uint8_t> data(59, 0x5C);
  EXPECT_EQ(Handle(model, WriteShort(10, data)), Refused(kStatusInvalidParameter));
  EXPECT_EQ(model.Image(), original);

  model.SetWriteAllowed(true);
  const auto reply = model.Handle(WriteShort(10, data));
  EXPECT_EQ(reply.Bytes, Success());
  EXPECT_TRUE(reply.Changed);
  EXPECT_EQ(Slice(model.Image(), 10, 59), data);
  EXPECT_EQ(Slice(model.Image(), 0, 10), Slice(original, 0, 10));
  EXPECT_EQ(Slice(model.Image(), 69, 187), Slice(original, 69, 187));

  const std::vector<uint8_t> full(61, 0xA1);  // fills the 64-byte frame exactly
  EXPECT_EQ(Handle(model, WriteShort(195, full)), Success());
  EXPECT_EQ(Slice(model.Image(), 195, 61), full);
}

TEST(LongForm, TamisBlockReadAndSplitWriteWithoutPermission) {
  CameraModel model = ModelOf("tamis-b", false);
  const auto image = model.Image();
  EXPECT_TRUE(model.WriteAllowed());
  EXPECT_EQ(Handle(model, ReadLong(0x3FF80, 61)), Success(Slice(image, 0x3FF80, 61)));
  EXPECT_EQ(Handle(model, ReadLong(0x3FFC1, 63)), Success(Slice(image, 0x3FFC1, 63)));

  std::vector<uint8_t> block(61);
  for (size_t i = 0; i < block.size(); ++i) {
    block[i] = uint8_t(0xC0 + i);
  }
  EXPECT_EQ(Handle(model, WriteLong(0x3FF80, Slice(block, 0, 48))), Success());
  EXPECT_EQ(Handle(model, WriteLong(0x3FFB0, Slice(block, 48, 13))), Success());
  EXPECT_EQ(Slice(model.Image(), 0x3FF80, 61), block);
  EXPECT_EQ(Handle(model, WriteLong(0x3FF80, std::vector<uint8_t>(58, 0))), Success());
}

// Random frames, biased towards the two opcodes and plausible lengths: the
// model never throws, only a successful read carries data, and only a
// successful write changes the image.
TEST(Frames, RandomFramesKeepTheInvariants) {
  std::mt19937 random(20240611);
  for (const char* name : {"ortek-kaf", "tamis-a"}) {
    CameraModel model = ModelOf(name, true);
    for (int i = 0; i < 20000; ++i) {
      std::vector<uint8_t> frame(random() % 72);
      for (auto& byte : frame) {
        byte = uint8_t(random());
      }
      if (!frame.empty() && random() % 4 != 0) {
        frame[0] = random() % 2 ? kOpcodeRead : kOpcodeWrite;
      }
      const auto before = model.Image();
      const auto reply = model.Handle(frame);
      ASSERT_FALSE(reply.Bytes.empty());
      const bool ok = reply.Bytes[0] == kStatusSuccess;
      if (!ok || frame[0] == kOpcodeWrite) {
        ASSERT_EQ(reply.Bytes.size(), 1u);
      }
      ASSERT_EQ(reply.Changed, ok && frame[0] == kOpcodeWrite);
      if (!reply.Changed) {
        ASSERT_EQ(model.Image(), before);
      }
    }
  }
}

TEST(Decode, LayoutRulesAndTexts) {
  std::vector<uint8_t> ortek(59, 0);
  ortek[4] = 0x83;
  ortek[5] = 0x2C;
  auto fields = DecodeBlock(Kind::OrtekKaf, ortek);
  EXPECT_EQ(fields.FilterPositions, 12u);
  EXPECT_TRUE(fields.WheelRevision2);
  ortek[4] = 0x03;
  ortek[5] = 0xAB;
  EXPECT_EQ(DecodeBlock(Kind::OrtekKai, ortek).FilterPositions, 11u);
  EXPECT_STREQ(PositionsText(11), "Not installed");

  std::vector<uint8_t> block(61, 0);
  block[0] = 0xFF, block[1] = 0xFF, block[2] = 0xFF, block[3] = 0xFF;
  block[4] = 0x00;
  EXPECT_TRUE(DecodeBlock(Kind::TamisA, block).WheelRevision2);
  EXPECT_FALSE(DecodeBlock(Kind::SelvoKai, block).WheelRevision2);
  EXPECT_EQ(DecodeBlock(Kind::SelvoKai, block).CameraId, 4294967295u);
  block[4] = 0x04;
  EXPECT_TRUE(DecodeBlock(Kind::TamisB, block).WheelRevision2);
  EXPECT_TRUE(DecodeBlock(Kind::SelvoE2v, block).WheelRevision2);
  const std::string name = "ABCDEFGHIJKLMNOP";  // longer than the field
  std::copy(name.begin(), name.end(), block.begin() + 16);
  EXPECT_EQ(DecodeBlock(Kind::SelvoKaf, block).TypeName, "ABCDEFGHIJKLMN");
}

TEST(Decode, DescribeShowsHexAndDecodedValues) {
  const Sample* sample = FindSample("ortek-kai");
  auto image = SampleImage(*sample);
  image[10 + 5] = 0xAB;  // code 3 with a count of 11: no list item
  const std::string text = DescribeImage(sample->kind, image);
  EXPECT_NE(text.find("model code 1027, driver service vemcamI"), std::string::npos) << text;
  EXPECT_NE(text.find("  0a  c1 4f 00 00 8b ab"), std::string::npos) << text;
  EXPECT_NE(text.find("camera ID: 20417\n"), std::string::npos);
  EXPECT_NE(text.find("type name: OK-420M\n"), std::string::npos);
  EXPECT_NE(text.find("filter positions: Not installed (decodes as 11)\n"), std::string::npos);
  EXPECT_NE(text.find("wheel type: EFW revision 2\n"), std::string::npos);
}

// The frame engine both ports serve frames with: the countdowns move with every
// command, a drop answers nothing, and a write that cannot be kept is undone.
TEST(ServeFrame, PlannedFaultsFireAtTheirCommandAndAFailedSaveUndoesTheWrite) {
  CameraModel model = ModelOf("selvo-kai", true);
  const std::vector<uint8_t> original = model.Image();
  Faults faults;
  faults.RefuseIn = 1;
  faults.RefuseAtStatus = 0x81;
  faults.ShortIn = 2;
  faults.ShortAtBytes = 3;
  faults.CorruptLeft = 1;
  faults.DropIn = 4;
  int saves = 0;
  const SaveImageFn refuse = [&](std::span<const uint8_t>, std::string* why) {
    ++saves;
    *why = "disk full";
    return false;
  };
  const std::vector<uint8_t> read = ReadShort(10, 2);
  FrameOutcome first = ServeFrame(model, faults, read, refuse);
  EXPECT_EQ(first.Reply, Refused(0x81));
  EXPECT_EQ(first.Note, "fault refuse-at, not executed");
  FrameOutcome second = ServeFrame(model, faults, read, refuse);
  ASSERT_EQ(second.Reply.size(), 3u);
  EXPECT_EQ(second.Reply[1], uint8_t(original[10] ^ 0xFF));
  EXPECT_EQ(second.Note, "fault corrupt: first data byte flipped; fault short: 3 bytes");
  FrameOutcome third =
      ServeFrame(model, faults, WriteShort(10, {uint8_t(original[10] + 1)}), refuse);
  EXPECT_EQ(third.Reply, Refused(kStatusStorageFailure));
  EXPECT_EQ(third.Note, "write undone, image not saved: disk full");
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(model.Image(), original);
  FrameOutcome fourth = ServeFrame(model, faults, read, refuse);
  EXPECT_TRUE(fourth.Dropped);
  EXPECT_TRUE(fourth.Reply.empty());
  EXPECT_EQ(faults.Describe(), "none");
}
