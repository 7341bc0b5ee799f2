// One camera's session on a port that only records: which connection gets each
// reply, held-back and dropped replies, the permission read at plug-in, the
// image at start, the log. Portable: it runs with the Linux tests and, cross-
// built, with the Windows unit tests under Wine, so both ports' camera
// behaves as shown here.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/core/session.h"

namespace camsim {
namespace {

using Bytes = std::vector<uint8_t>;

struct Sent {
  uint64_t connection;
  Bytes bytes;
  bool operator==(const Sent&) const = default;
};

class RecordingPort : public SessionPort {
 public:
  bool Send(uint64_t connection, std::span<const uint8_t> reply, std::string* why) override {
    if (connection == refuse) {
      *why = "broken pipe";
      return false;
    }
    sent.push_back({connection, Bytes(reply.begin(), reply.end())});
    return true;
  }
  void Close(uint64_t connection) override { closed.push_back(connection); }
  void ReportWaiting() override {
    if (waiting) {
      std::exchange(waiting, nullptr)();
    }
  }
  bool AddInterface(std::string* where, std::string* error) override {
    if (!interfaceError.empty()) {
      *error = interfaceError;
      return false;
    }
    *where = "the interface";
    return true;
  }
  void RemoveInterface() override { events.push_back("remove"); }
  void StopListening() override { events.push_back("stop listening"); }
  std::optional<uint32_t> ReadMachineDword(const std::string& key, const char* value) override {
    auto it = registry.find(key + "\\" + value);
    return it == registry.end() ? std::nullopt : std::optional<uint32_t>(it->second);
  }
  bool ImageFileMissing(const std::string& path) override { return !files.count(path); }
  bool ReadImage(const std::string& path, size_t size, Bytes* image, std::string* error) override {
    if (!files.count(path) || files[path].size() != size) {
      *error = path + " is not usable";
      return false;
    }
    *image = files[path];
    return true;
  }
  bool SaveImage(const std::string& path, std::span<const uint8_t> image,
                 std::string* error) override {
    if (failSaves) {
      *error = "disk full";
      return false;
    }
    files[path] = Bytes(image.begin(), image.end());
    return true;
  }

  std::vector<Sent> sent;
  std::vector<uint64_t> closed;
  std::vector<std::string> events;
  std::function<void()> waiting;  // what ReportWaiting reports, once
  uint64_t refuse = 0;            // a connection whose sends fail
  std::string interfaceError;
  std::map<std::string, uint32_t> registry;
  std::map<std::string, Bytes> files;
  bool failSaves = false;
};

const Bytes kRead = {kOpcodeRead, 0, 1};

class SessionTest : public testing::Test {
 protected:
  CameraSession& Make(const char* sampleName) {
    const Sample& sample = *FindSample(sampleName);
    Bytes image;
    std::string error;
    EXPECT_TRUE(StartImage(port, sample, "state/cam.eeprom", &image, &error)) << error;
    session.emplace("cam", sample, "state/cam.eeprom", image, port, log);
    return *session;
  }
  // The log lines' texts, without time and camera.
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const std::string& line : log.Last(FrameLog::kRecentLines)) {
      texts.push_back(line.substr(line.find(": ") + 2));
    }
    return texts;
  }
  bool Logged(const std::string& text) {
    const auto texts = Texts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  }

  RecordingPort port;
  FrameLog log;
  std::optional<CameraSession> session;
};

// A reply goes to the newest pipe-1 connection of the process that sent the
// request; with none, it is dropped and logged.
TEST_F(SessionTest, ReplyGoesToTheRequestersNewestDataPipe) {
  CameraSession& cam = Make("selvo-kai");
  std::string error;
  ASSERT_TRUE(cam.Plug(&error)) << error;
  const Bytes reply = {kStatusSuccess, 0x5A};
  cam.Opened(1, 0, 100);
  cam.Opened(2, 1, 100);
  cam.Opened(3, 1, 200);  // another process
  cam.Opened(4, 1, 100);  // this process's newest
  cam.Opened(5, 2, 100);
  cam.Received(1, kRead, 3);
  EXPECT_EQ(port.sent, (std::vector<Sent>{{4, reply}}));

  cam.Closed(4, true);
  cam.Received(1, kRead, 3);
  EXPECT_EQ(port.sent.back(), (Sent{2, reply})) << "the older one once the newest is gone";

  cam.Closed(2, false);
  port.sent.clear();
  cam.Received(1, kRead, 3);
  EXPECT_TRUE(port.sent.empty()) << "never another process's pipe 1";
  EXPECT_TRUE(Logged("reply dropped, pid 100 has no data pipe open: 80 5a"));

  // One that waits to be taken counts: the client opened it before it sent.
  port.waiting = [&] { cam.Opened(6, 1, 100); };
  cam.Received(1, kRead, 3);
  EXPECT_EQ(port.sent, (std::vector<Sent>{{6, reply}}));

  port.refuse = 6;
  cam.Received(1, kRead, 3);
  EXPECT_TRUE(Logged("reply lost (broken pipe): 80 5a"));
  cam.Received(5, Bytes{1, 2}, 2);
  EXPECT_EQ(Texts().back(), "ignored 2 bytes sent on pipe 2");
  EXPECT_EQ(cam.Transfers(), 5u) << "dropped and lost replies count: the camera answered";

  const std::vector<std::string> opened = {"pipe 0 opened by pid 100", "pipe 1 opened by pid 100",
                                           "pipe 1 opened by pid 200", "pipe 1 opened by pid 100",
                                           "pipe 2 opened by pid 100"};
  const auto texts = Texts();
  ASSERT_GE(texts.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(texts.begin() + 2, texts.begin() + 7), opened);
  EXPECT_TRUE(Logged("pipe 1 closed by pid 100"));
}

// Held-back replies keep their order, go when due, and an unplug ends them;
// the drop fault closes every connection, also one still waiting, unanswered.
TEST_F(SessionTest, HeldDroppedAndUnpluggedReplies) {
  CameraSession& cam = Make("selvo-kai");
  std::string error;
  ASSERT_TRUE(cam.Plug(&error)) << error;
  cam.Opened(1, 0, 100);
  cam.Opened(2, 1, 100);
  cam.faults().DelayMs = 50;
  const auto start = CameraSession::Clock::now();
  cam.Received(1, kRead, 3);
  cam.Received(1, Bytes{kOpcodeRead, 1, 1}, 3);
  ASSERT_TRUE(cam.NextDue().has_value());
  EXPECT_GE(MillisecondsUntil(cam.NextDue(), start), 50);
  cam.FlushDue(start);
  EXPECT_TRUE(port.sent.empty());
  cam.FlushDue(*cam.NextDue() + std::chrono::milliseconds(1));
  ASSERT_EQ(port.sent.size(), 2u);
  EXPECT_EQ(port.sent[0].bytes, (Bytes{kStatusSuccess, 0x5A}));
  EXPECT_EQ(port.sent[1].bytes, (Bytes{kStatusSuccess, cam.Model().Image()[1]}));
  EXPECT_EQ(MillisecondsUntil(cam.NextDue(), start), -1);

  cam.Received(1, kRead, 3);
  ASSERT_TRUE(cam.Unplug(&error));
  EXPECT_FALSE(cam.NextDue().has_value()) << "never sent after the unplug";
  EXPECT_EQ(port.events, (std::vector<std::string>{"remove", "stop listening"}));
  EXPECT_EQ(port.closed, (std::vector<uint64_t>{1, 2}));
  EXPECT_FALSE(cam.Unplug(&error));
  EXPECT_EQ(error, "cam is not plugged in");

  ASSERT_TRUE(cam.Plug(&error));
  cam.faults() = Faults{};
  cam.faults().DropIn = 1;
  cam.Opened(3, 0, 100);
  port.waiting = [&] { cam.Opened(4, 1, 100); };
  port.closed.clear();
  port.sent.clear();
  cam.Received(3, kRead, 3);
  EXPECT_TRUE(port.sent.empty());
  EXPECT_EQ(port.closed, (std::vector<uint64_t>{3, 4}));
  const auto texts = Texts();
  EXPECT_EQ(std::vector<std::string>(texts.end() - 3, texts.end()),
            (std::vector<std::string>{kDropLogText, "pipe 1 opened by pid 100",
                                      "closed 2 connection(s)"}));
}

// The driver reads AllowEEPROMWrite at plug-in under the key of the model code
// in the camera's current header; a refused interface leaves it unplugged.
TEST_F(SessionTest, PermissionIsReadAtPlugIn) {
  const std::string ralcamI = std::string(ServiceKeyPath(1029)) + "\\" + kWritePermissionValue;
  const std::string ralcamF = std::string(ServiceKeyPath(1030)) + "\\" + kWritePermissionValue;
  const struct {
    const char* sample;
    std::map<std::string, uint32_t> registry;
    uint16_t modelCode;  // written into the header first; 0 leaves it
    const char* permission;
  } rows[] = {
      {"selvo-kai", {}, 0, "not granted"},
      {"selvo-kai", {{ralcamI, 0}}, 0, "not granted"},
      {"selvo-kai", {{ralcamI, 1}}, 0, "allowed"},
      {"selvo-kai", {{ralcamI, 0x80000000}}, 0, "allowed"},
      {"selvo-kai", {{ralcamI, 1}}, 1030, "not granted"},
      {"selvo-kai", {{ralcamF, 1}}, 1030, "allowed"},
      {"selvo-kai", {{ralcamI, 1}}, 4242, "not granted"},
      {"tamis-a", {}, 0, "not needed"},
  };
  for (const auto& row : rows) {
    port = RecordingPort();
    log = FrameLog();
    CameraSession& cam = Make(row.sample);
    port.registry = row.registry;
    if (row.modelCode) {
      cam.Model().MutableImage()[3] = uint8_t(row.modelCode);
      cam.Model().MutableImage()[4] = uint8_t(row.modelCode >> 8);
    }
    std::string error;
    ASSERT_TRUE(cam.Plug(&error)) << error;
    const std::string permission = row.permission;
    EXPECT_EQ(Texts().back(), "plugged in at the interface, EEPROM writes " + permission)
        << row.sample << " " << row.modelCode;
    EXPECT_EQ(cam.Model().WriteAllowed(), permission != "not granted");
    EXPECT_FALSE(cam.Plug(&error));
    EXPECT_EQ(error, "cam is plugged in already");
  }
  port = RecordingPort();
  port.interfaceError = "no room";
  CameraSession& cam = Make("selvo-kai");
  std::string error;
  EXPECT_FALSE(cam.Plug(&error));
  EXPECT_EQ(error, "no room");
  EXPECT_FALSE(cam.Plugged());
}

// The image at start: a missing file becomes the sample's image, an unusable
// one is an error and stays as it is; a write that cannot be kept is undone.
TEST_F(SessionTest, ImageAtStartAndAfterWrites) {
  const Sample& sample = *FindSample("selvo-kai");
  Bytes image;
  std::string error;
  ASSERT_TRUE(StartImage(port, sample, "a.eeprom", &image, &error));
  EXPECT_EQ(image, SampleImage(sample));
  EXPECT_EQ(port.files["a.eeprom"], image);
  port.files["b.eeprom"] = Bytes(100, 1);
  EXPECT_FALSE(StartImage(port, sample, "b.eeprom", &image, &error));
  EXPECT_EQ(port.files["b.eeprom"], Bytes(100, 1)) << "never overwritten";
  port.files["c.eeprom"] = Bytes(256, 7);
  ASSERT_TRUE(StartImage(port, sample, "c.eeprom", &image, &error));
  EXPECT_EQ(image, Bytes(256, 7));

  CameraSession& cam = Make("tamis-a");
  EXPECT_EQ(Texts().front(), "added: sample tamis-a, image state/cam.eeprom");
  ASSERT_TRUE(cam.Plug(&error));
  cam.Opened(1, 0, 9);
  cam.Opened(2, 1, 9);
  const Bytes write = {kOpcodeWrite, 0, 0, 0, 0, 1, 0xEE};
  port.failSaves = true;
  cam.Received(1, write, write.size());
  EXPECT_EQ(port.sent.back().bytes, Bytes{kStatusStorageFailure});
  EXPECT_NE(cam.Model().Image()[0], 0xEE);
  port.failSaves = false;
  cam.Received(1, write, write.size());
  EXPECT_EQ(port.sent.back().bytes, Bytes{kStatusSuccess});
  EXPECT_EQ(port.files["state/cam.eeprom"][0], 0xEE);
}

TEST(CameraIdTest, LettersDigitsAndThreeMarks) {
  for (const char* id : {"cam", "a", "x.y-z_1", "Selvo-KAI.2", "cam."}) {
    EXPECT_TRUE(ValidCameraId(id)) << id;
  }
  for (const char* id : {"", ".cam", "a b", "a/b", "a\\b", "café", "a:b", "a\nb"}) {
    EXPECT_FALSE(ValidCameraId(id)) << id;
  }
  EXPECT_TRUE(ValidCameraId(std::string(64, 'a')));
  EXPECT_FALSE(ValidCameraId(std::string(65, 'a')));
}

// Frames are kept as bytes and formatted when read: what is read back, and
// what the sink got line by line, must be the same text in the same order,
// across the ring's wrap.
TEST(FrameLogTest, KeptLinesMatchTheSinkAndWrapOldestFirst) {
  std::string sunk;
  FrameLog log([&](const std::string& line) { sunk += line; });
  for (size_t i = 0; i < FrameLog::kRecentLines; ++i) {
    log.Text("cam", "line " + std::to_string(i));
  }
  std::vector<uint8_t> big(300, 0xAB);
  std::string sixtyFour = "ab";  // the log shows a frame's first 64 bytes
  for (int i = 1; i < 64; ++i) {
    sixtyFour += " ab";
  }
  log.Request("cam", 42, big, big.size());
  log.Reply("cam", std::vector<uint8_t>{0x80, 0x01}, "");
  log.Reply("cam", std::vector<uint8_t>{0x81}, "fault refuse, not executed");

  EXPECT_EQ(log.Size(), FrameLog::kRecentLines);
  const auto last = log.Last(4);
  ASSERT_EQ(last.size(), 4u);
  EXPECT_TRUE(last[0].ends_with(" cam: line 1999")) << last[0];
  EXPECT_TRUE(last[1].ends_with(" cam: request from pid 42: " + sixtyFour + " ... (300 bytes)"))
      << last[1];
  EXPECT_TRUE(last[2].ends_with(" cam: reply: 80 01")) << last[2];
  EXPECT_TRUE(last[3].ends_with(" cam: reply: 81 (fault refuse, not executed)")) << last[3];
  // "2025-01-01 12:00:00.123 cam: ...": local time with milliseconds.
  ASSERT_GE(last[3].size(), 24u);
  for (size_t at : {4u, 7u, 10u, 13u, 16u, 19u}) {
    EXPECT_EQ(last[3][at], "-- ::."[(at - 4) / 3]) << last[3];
  }
  const auto all = log.Last(FrameLog::kRecentLines + 5);
  ASSERT_EQ(all.size(), FrameLog::kRecentLines);
  EXPECT_TRUE(all.front().ends_with(" cam: line 3")) << all.front();
  std::string tail;
  for (const auto& line : all) {
    tail += line + "\n";
  }
  ASSERT_GE(sunk.size(), tail.size());
  EXPECT_EQ(sunk.substr(sunk.size() - tail.size()), tail);
}

}  // namespace
}  // namespace camsim
