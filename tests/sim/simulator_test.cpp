// The simulator through its sockets and directories, as the tool meets it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>

#include "sim/core/frame_log.h"
#include "sim/linux/simulator.h"
#include "sim/sim_support.h"

using namespace camsim;
using namespace camsim_test;

namespace {

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override { sim = Make(dir / "devices"); }

  std::unique_ptr<Simulator> Make(const std::string& root, const std::string& log = "") {
    Simulator::Options options;
    options.LogPath = log;
    options.DeviceRoot = root;
    options.MachineRegistry = dir / "registry";
    options.StateDir = dir / "state";
    return std::make_unique<Simulator>(options);
  }

  void AddPlugged(const std::string& id, const std::string& sample) {
    std::string error;
    ASSERT_TRUE(sim->Add(id, sample, &error)) << error;
    ASSERT_TRUE(sim->Plug(id, &error)) << error;
  }

  void SetPermission(uint16_t modelCode, const std::string& text) {
    ASSERT_TRUE(EnsureRegistryKey(dir / "registry", ServiceKeyPath(modelCode), nullptr));
    const std::string key = RegistryKeyDir(dir / "registry", ServiceKeyPath(modelCode));
    WriteFile(key + "/AllowEEPROMWrite", text);
  }

  void Replug(const std::string& id) {
    ASSERT_TRUE(sim->Unplug(id));
    ASSERT_TRUE(sim->Plug(id));
  }

  bool LogHas(const std::string& text) {
    for (const auto& line : sim->Log()) {
      if (line.find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }

  TempDir dir;
  std::unique_ptr<Simulator> sim;
};

struct Event {
  uint32_t mask;
  std::string name;
};

std::vector<Event> DrainEvents(int fd) {
  std::vector<Event> events;
  alignas(inotify_event) char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
    for (char* p = buffer; p < buffer + n;) {
      auto* e = reinterpret_cast<inotify_event*>(p);
      events.push_back({e->mask, e->len ? e->name : ""});
      p += sizeof(inotify_event) + e->len;
    }
  }
  return events;
}

}  // namespace

TEST_F(SimulatorTest, RequestOnPipe0IsAnsweredOnPipe1AndLogged) {
  AddPlugged("cam", "ortek-kaf");
  Pipes pipes(sim->InterfacePath("cam"));
  ASSERT_TRUE(pipes.Open());
  const auto image = sim->Eeprom("cam");
  EXPECT_EQ(pipes.Exchange(ReadShort(0, 10)), Success(Slice(image, 0, 10)));
  EXPECT_EQ(pipes.Exchange(ReadShort(10, 59)), Success(Slice(image, 10, 59)));
  EXPECT_EQ(pipes.Exchange(WriteShort(10, {1})), std::vector<uint8_t>{kStatusInvalidParameter});
  EXPECT_EQ(sim->Transfers("cam"), 3u);
  EXPECT_TRUE(LogHas(": 12 00 0a"));
  EXPECT_TRUE(LogHas("reply: 82 (no write permission)"));
}

TEST_F(SimulatorTest, DataOnTheOtherPipesIsIgnored) {
  AddPlugged("cam", "tamis-a");
  Pipes pipes(sim->InterfacePath("cam"));
  ASSERT_TRUE(pipes.Open());
  ASSERT_EQ(::send(pipes.fd[2], "x", 1, MSG_NOSIGNAL), 1);
  ASSERT_EQ(::send(pipes.fd[1], "y", 1, MSG_NOSIGNAL), 1);
  EXPECT_EQ(pipes.Exchange(ReadLong(0, 1)), Success({0}));
  EXPECT_FALSE(sim->Plug("cam")) << "plugged in twice";
}

TEST_F(SimulatorTest, ReplyWithoutADataPipeIsDroppedAndLogged) {
  sim.reset();
  const std::string log = dir / "frames.log";
  sim = Make(dir / "devices", log);
  AddPlugged("cam", "selvo-e2vb");
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(::inotify_add_watch(watch, log.c_str(), IN_MODIFY), 0);
  const int command = ConnectUnixSocket(sim->InterfacePath("cam") + "/0", SOCK_SEQPACKET);
  ASSERT_GE(command, 0);
  ASSERT_EQ(::send(command, "\x12\x00\x02", 3, MSG_NOSIGNAL), 3);
  bool logged = false;
  while (!logged && WaitReadable(watch)) {
    DrainEvents(watch);
    logged = ReadText(log).find("has no data pipe open: 80 5a 07") != std::string::npos;
  }
  EXPECT_TRUE(logged) << ReadText(log);
  Pipes pipes(sim->InterfacePath("cam"));
  EXPECT_EQ(pipes.Exchange(ReadShort(0, 1)), Success({0x5A})) << "nothing stale arrives";
  ::close(command);
  ::close(watch);
}

// The pipes on a long root are a conformance row; the control socket is camsim's own.
TEST_F(SimulatorTest, ControlSocketOnARootLongerThanSunPath) {
  sim.reset();
  const std::string root = dir / (std::string(60, 'd') + "/" + std::string(60, 'e') + "/devices");
  ASSERT_GT(root.size(), sizeof(sockaddr_un::sun_path));
  sim = Make(root);
  AddPlugged("cam", "tamis-b");
  Pipes pipes(sim->InterfacePath("cam"));
  ASSERT_TRUE(pipes.Open());
  std::string error;
  ASSERT_TRUE(sim->ServeControl(ControlSocketPath(root), &error)) << error;
  const int control = ConnectUnixSocket(ControlSocketPath(root), SOCK_STREAM);
  ASSERT_GE(control, 0);
  ASSERT_EQ(::send(control, "unplug\n", 7, MSG_NOSIGNAL), 7);
  ASSERT_TRUE(WaitReadable(control));
  char reply[16] = {};
  EXPECT_GT(::recv(control, reply, sizeof reply - 1, 0), 0);
  EXPECT_STREQ(reply, "ok\n");
  EXPECT_TRUE(pipes.Closed(0));
  ::close(control);
}

TEST_F(SimulatorTest, AcceptedWritesPersistAndBadImagesAreNeverOverwritten) {
  SetPermission(1200, "dword:00000001\n");
  AddPlugged("cam", "selvo-e2v");
  const std::string file = dir / "state/cam.eeprom";
  EXPECT_EQ(ReadFile(file), sim->Eeprom("cam"));
  {
    Pipes pipes(sim->InterfacePath("cam"));
    ASSERT_EQ(pipes.Exchange(WriteShort(15, {9, 9, 9})), Success());
  }
  const auto written = sim->Eeprom("cam");
  EXPECT_EQ(ReadFile(file), written);
  const std::vector<uint8_t> poke = {0xAB, 0xCD};
  EXPECT_TRUE(sim->Poke("cam", 254, poke));
  EXPECT_FALSE(sim->Poke("cam", 255, poke));
  EXPECT_EQ(ReadFile(file)[254], 0xAB);

  // A restart of the simulator finds the camera as it was left.
  sim = Make(dir / "devices");
  std::string error;
  ASSERT_TRUE(sim->Add("cam", "selvo-e2v", &error)) << error;
  EXPECT_EQ(Slice(sim->Eeprom("cam"), 0, 254), Slice(written, 0, 254));
  EXPECT_EQ(sim->Eeprom("cam")[255], 0xCD);

  WriteFile(dir / "state/short.eeprom", std::string(100, '\x01'));
  EXPECT_FALSE(sim->Add("short", "selvo-kai", &error));
  EXPECT_NE(error.find("short.eeprom"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(dir / "state/short.eeprom").size(), 100u);
  EXPECT_FALSE(sim->Add("../escape", "selvo-kai", &error));
  EXPECT_FALSE(sim->Add("other", "no-such-sample", &error));
  EXPECT_FALSE(sim->Add("cam", "selvo-e2v", &error)) << "ids are unique";
  EXPECT_FALSE(sim->Add("twin", "selvo-e2v", &error)) << "selvo-e2v/cam0 is taken";
  EXPECT_TRUE(sim->Add("twin", "selvo-e2v", &error, "cam1")) << error;
}

TEST_F(SimulatorTest, StorageFailureIsNotReportedAsSuccess) {
  SetPermission(1029, "dword:00000001\n");
  AddPlugged("cam", "selvo-kai");
  const auto before = sim->Eeprom("cam");
  // Without its directory the image cannot be saved, whoever runs the test.
  ASSERT_EQ(::unlink((dir / "state/cam.eeprom").c_str()), 0);
  ASSERT_EQ(::rmdir((dir / "state").c_str()), 0);
  Pipes pipes(sim->InterfacePath("cam"));
  EXPECT_EQ(pipes.Exchange(WriteShort(10, {1, 2})), std::vector<uint8_t>{kStatusStorageFailure});
  EXPECT_EQ(sim->Eeprom("cam"), before) << "the write is undone";
  EXPECT_FALSE(sim->Poke("cam", 0, std::vector<uint8_t>{1}));
  EXPECT_EQ(sim->Eeprom("cam"), before);
}

TEST_F(SimulatorTest, LeftoverInterfaceOfADeadSimulatorIsReplacedButALiveOneIsNot) {
  std::string error;
  ASSERT_TRUE(sim->Add("cam", "tamis-a", &error)) << error;
  const std::string path = sim->InterfacePath("cam");
  ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  {
    // What a killed simulator leaves: a socket file nobody listens on.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string entry = path + "/0";
    ASSERT_LT(entry.size(), sizeof address.sun_path);
    std::copy(entry.begin(), entry.end(), address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  ASSERT_TRUE(sim->Plug("cam", &error)) << error;

  auto other = Make(dir / "devices");
  ASSERT_TRUE(other->Add("cam", "tamis-a", &error)) << error;
  EXPECT_FALSE(other->Plug("cam", &error));
  EXPECT_NE(error.find("another simulator"), std::string::npos) << error;
  EXPECT_TRUE(sim->IsPlugged("cam"));
}

TEST_F(SimulatorTest, RefuseAndDropFaults) {
  SetPermission(1027, "dword:00000001\n");
  AddPlugged("cam", "ortek-kai");
  const auto image = sim->Eeprom("cam");
  Pipes pipes(sim->InterfacePath("cam"));
  ASSERT_TRUE(sim->Fault("cam", "refuse", {2, 0x81}));
  EXPECT_EQ(pipes.Exchange(ReadShort(0, 10)), std::vector<uint8_t>{0x81});
  EXPECT_EQ(pipes.Exchange(WriteShort(10, {0})), std::vector<uint8_t>{0x81});
  EXPECT_EQ(sim->Eeprom("cam"), image) << "a refused command is not executed";
  EXPECT_EQ(pipes.Exchange(ReadShort(0, 10)), Success(Slice(image, 0, 10)));

  ASSERT_TRUE(sim->Fault("cam", "drop", {2}));
  EXPECT_EQ(pipes.Exchange(ReadShort(0, 1)), Success({0x5A}));
  ASSERT_TRUE(pipes.Send(ReadShort(0, 1)));
  EXPECT_TRUE(pipes.Closed());
  EXPECT_TRUE(sim->IsPlugged("cam"));
  Pipes again(sim->InterfacePath("cam"));
  EXPECT_EQ(again.Exchange(ReadShort(0, 1)), Success({0x5A})) << "the drop happens once";
  EXPECT_EQ(sim->Transfers("cam"), 5u) << "the dropped command was not served";
  EXPECT_FALSE(sim->Fault("nobody", "refuse", {1, 0x81}));
}

TEST_F(SimulatorTest, ShortAndCorruptReplyFaults) {
  AddPlugged("cam", "tamis-b");
  const auto block = Slice(sim->Eeprom("cam"), 0x3FF80, 61);
  Pipes pipes(sim->InterfacePath("cam"));
  ASSERT_TRUE(sim->Fault("cam", "short", {1, 4}));
  ASSERT_TRUE(sim->Fault("cam", "corrupt", {1}));
  auto corrupted = Success(block);
  corrupted[1] ^= 0xFF;
  EXPECT_EQ(pipes.Exchange(WriteLong(0x3FFB0, Slice(block, 48, 13))), Success())
      << "write replies are left alone";
  EXPECT_EQ(pipes.Exchange(ReadLong(0x3FF80, 61)), Slice(corrupted, 0, 4));
  EXPECT_EQ(pipes.Exchange(ReadLong(0x3FF80, 61)), Success(block));
  EXPECT_FALSE(sim->Fault("cam", "short", {1, 0}));
}

TEST_F(SimulatorTest, PipeFaultRemovesTheSocketEntry) {
  std::string error;
  ASSERT_TRUE(sim->Add("cam", "selvo-kai", &error));
  ASSERT_TRUE(sim->Fault("cam", "pipe", {2, 1}));
  ASSERT_TRUE(sim->Plug("cam", &error)) << error;
  const std::string path = sim->InterfacePath("cam");
  EXPECT_FALSE(Exists(path + "/2")) << "applies at plug-in";
  EXPECT_TRUE(IsSocket(path + "/1"));

  ASSERT_TRUE(sim->Fault("cam", "pipe", {1, 1}));
  Pipes pipes(path);
  EXPECT_LT(pipes.fd[1], 0);
  EXPECT_LT(pipes.fd[2], 0);
  ASSERT_TRUE(sim->Fault("cam", "clear"));
  Pipes restored(path);
  ASSERT_TRUE(restored.Open());
  EXPECT_EQ(restored.Exchange(ReadShort(0, 1)), Success({0x5A}));
  EXPECT_FALSE(sim->Fault("cam", "pipe", {3, 1}));
}

TEST_F(SimulatorTest, DelayHoldsRepliesBack) {
  AddPlugged("cam", "selvo-kaf");
  Pipes pipes(sim->InterfacePath("cam"));
  ASSERT_TRUE(sim->Fault("cam", "delay", {150}));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(pipes.Send(ReadShort(0, 1)));
  ASSERT_TRUE(pipes.Send(ReadShort(1, 1)));
  EXPECT_EQ(pipes.Receive(), Success({0x5A}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  EXPECT_EQ(pipes.Receive(), Success({0x05})) << "replies keep their order";
  // A reply still held back when the camera goes is never sent.
  ASSERT_TRUE(sim->Fault("cam", "delay", {60000}));
  ASSERT_TRUE(pipes.Send(ReadShort(0, 1)));
  ASSERT_TRUE(sim->Unplug("cam"));
  EXPECT_TRUE(pipes.Closed(0));
}

TEST_F(SimulatorTest, ControlLinesNeverBreakTheProtocol) {
  AddPlugged("cam", "selvo-kai");
  auto answered = [&](const std::string& line) {
    const std::string reply = sim->Control(line);
    const auto last = reply.rfind('\n', reply.size() - 2);
    const std::string end = reply.substr(last == std::string::npos ? 0 : last + 1);
    return end == "ok\n" || end.compare(0, 7, "error: ") == 0;
  };
  const std::vector<std::string> garbage = {"",
                                            "   ",
                                            "\x01\x02",
                                            "fault",
                                            "fault cam",
                                            "fault x refuse 1 2",
                                            "fault refuse -1 2",
                                            "fault refuse 1 256",
                                            "fault refuse 1",
                                            "fault short 1 0",
                                            "fault pipe 3 on",
                                            "fault pipe 1 maybe",
                                            "fault delay 9999999",
                                            "fault drop 0x",
                                            "plug nosuch",
                                            "plug",
                                            "dump cam extra",
                                            "log 0",
                                            "status now",
                                            std::string(5000, 'a'),
                                            "fault cam cam clear",
                                            "\xff\xfe",
                                            "fault refuse 010 1",
                                            "image x",
                                            "image",
                                            "image * save",
                                            "image * load ",
                                            "image cam copy /tmp/x",
                                            "image nosuch save /tmp/x"};
  for (const auto& line : garbage) {
    EXPECT_TRUE(answered(line)) << line;
  }
  EXPECT_EQ(sim->Control("plug").substr(0, 7), "error: ") << "already plugged";
  EXPECT_EQ(sim->Control("fault refuse 2 0x83"), "cam faults: refuse:2x0x83\nok\n");
  EXPECT_EQ(sim->Control("fault cam clear"), "cam faults: none\nok\n");
  EXPECT_EQ(sim->Control("fault delay 0x10"), "cam faults: delay:16ms\nok\n");

  const std::string alphabet = "fault refuse drop short corrupt pipe delay clear cam 0 1 0x";
  std::mt19937 random(7);
  for (int i = 0; i < 3000; ++i) {
    std::string line(random() % 40, ' ');
    for (auto& c : line) {
      c = random() % 3 ? alphabet[random() % alphabet.size()] : char(random());
    }
    ASSERT_TRUE(answered(line)) << line;
  }
  sim->Control("fault clear");
  Pipes pipes(sim->InterfacePath("cam"));
  EXPECT_EQ(pipes.Exchange(ReadShort(0, 1)), Success({0x5A})) << "still serving";
}

// The image's path is the rest of the line, blanks and all.
TEST_F(SimulatorTest, ImageLinesSaveAndLoadTheWholeImage) {
  AddPlugged("cam", "selvo-kai");
  const std::string file = dir / "an image.bin";
  ASSERT_EQ(sim->Control("image * save " + file), "ok\n");
  std::vector<uint8_t> image = ReadFile(file);
  EXPECT_EQ(image, sim->Eeprom("cam"));
  image[0xF0] ^= 0xFF;
  WriteFile(file, std::string(image.begin(), image.end()));
  ASSERT_EQ(sim->Control("image cam load " + file), "ok\n");
  EXPECT_EQ(sim->Eeprom("cam"), image);
  EXPECT_EQ(ReadFile(dir / "state/cam.eeprom"), image) << "kept as after a write";
  WriteFile(file, std::string(255, '\0'));
  EXPECT_EQ(sim->Control("image cam load " + file).substr(0, 7), "error: ");
  EXPECT_EQ(sim->Eeprom("cam"), image) << "a file of the wrong size changes nothing";
}

TEST_F(SimulatorTest, ControlSocketLinesArriveInPiecesOrTogether) {
  AddPlugged("cam", "selvo-kai");
  std::string error;
  const std::string path = ControlSocketPath(dir / "devices");
  ASSERT_TRUE(sim->ServeControl(path, &error)) << error;
  auto other = Make(dir / "devices");
  EXPECT_FALSE(other->ServeControl(path, &error)) << "one daemon per root";

  // Reads until `answers` lines "ok" or "error: ..." have come.
  auto readAnswers = [](int fd, int answers) {
    std::string text;
    auto count = [&] {
      int found = 0;
      for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) {
          break;
        }
        const std::string line = text.substr(at, end - at);
        found += line == "ok" || line.compare(0, 7, "error: ") == 0;
        at = end + 1;
      }
      return found;
    };
    while (count() < answers && WaitReadable(fd)) {
      char buffer[512];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        break;
      }
      text.append(buffer, size_t(n));
    }
    return text;
  };
  const int fd = ConnectUnixSocket(path, SOCK_STREAM);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::send(fd, "fault cor", 9, MSG_NOSIGNAL), 9);
  ASSERT_EQ(::send(fd, "rupt 1\nbogus\nunplug\n", 20, MSG_NOSIGNAL), 20);
  EXPECT_EQ(readAnswers(fd, 3),
            "cam faults: corrupt:1\nok\nerror: unknown command 'bogus' (try help)\nok\n");
  EXPECT_FALSE(sim->IsPlugged("cam"));
  const std::string endless(5000, 'z');
  ::send(fd, endless.data(), endless.size(), MSG_NOSIGNAL);
  const std::string reply = readAnswers(fd, 1);
  EXPECT_EQ(reply.substr(0, 7), "error: ");
  char byte;
  EXPECT_TRUE(WaitReadable(fd));
  EXPECT_EQ(::recv(fd, &byte, 1, 0), 0) << "closed after an overlong line";
  ::close(fd);
}

namespace {

// Faults aimed at one command of a sequence: the commands before it and after
// it are served as usual.
TEST(SimulatorFaultsAt, RefuseAndShortHitOnlyTheKthCommand) {
  char pattern[] = "/tmp/camsim-at-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern;
  {
    camsim::Simulator sim({root + "/dev", root + "/reg", root + "/state", ""});
    std::string error;
    ASSERT_TRUE(sim.Add("cam", "selvo-kai", &error));
    ASSERT_TRUE(sim.Plug("cam", &error));
    const std::string dir = sim.InterfacePath("cam");
    const int command = camsim::ConnectUnixSocket(dir + "/0", SOCK_SEQPACKET);
    const int data = camsim::ConnectUnixSocket(dir + "/1", SOCK_SEQPACKET);
    ASSERT_GE(command, 0);
    ASSERT_GE(data, 0);
    ASSERT_TRUE(sim.Fault("cam", "refuse-at", {2, 0x81}));
    ASSERT_TRUE(sim.Fault("cam", "short-at", {3, 4}));
    const std::uint8_t read[] = {0x12, 0x00, 0x0A};
    std::size_t sizes[4];
    std::uint8_t statuses[4];
    for (int i = 0; i < 4; ++i) {
      ASSERT_EQ(send(command, read, sizeof read, 0), 3);
      std::uint8_t reply[64];
      const ssize_t n = recv(data, reply, sizeof reply, 0);
      ASSERT_GT(n, 0);
      sizes[i] = std::size_t(n);
      statuses[i] = reply[0];
    }
    EXPECT_EQ(statuses[0], 0x80);
    EXPECT_EQ(sizes[0], 11u);
    EXPECT_EQ(statuses[1], 0x81);
    EXPECT_EQ(sizes[1], 1u);
    EXPECT_EQ(statuses[2], 0x80);
    EXPECT_EQ(sizes[2], 4u);
    EXPECT_EQ(sizes[3], 11u);
    EXPECT_NE(sim.Control("fault cam refuse-at 1 0x83").find("ok"), std::string::npos);
    EXPECT_NE(sim.Control("fault cam short-at x 2").find("error"), std::string::npos);
    close(command);
    close(data);
  }
  std::filesystem::remove_all(root);
}

}  // namespace
