// The camera link: discovery order, pipes, notifications, and the four EEPROM
// commands byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "integration/harness.h"
#include "posix_devices.h"
#include "support/platform_alloc_counter_posix.h"

namespace {

// A camera whose every reply the test writes itself, for frames and replies
// camsim would never produce.
class TFakeCamera {
 public:
  using Responder = std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>&)>;

  TFakeCamera(const std::string& interfaceDir, Responder respond) : Respond(std::move(respond)) {
    std::filesystem::create_directories(interfaceDir);
    for (int pipe = 0; pipe < 3; ++pipe) {
      Listeners[pipe] = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      const std::string path = interfaceDir + "/" + std::to_string(pipe);
      std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
      bind(Listeners[pipe], reinterpret_cast<sockaddr*>(&address), sizeof address);
      listen(Listeners[pipe], 4);
    }
    pipe2(Wake, O_CLOEXEC);
    Server = std::thread([this] { Serve(); });
  }

  ~TFakeCamera() {
    (void)!write(Wake[1], "x", 1);
    Server.join();
    for (int fd : Listeners) {
      close(fd);
    }
    for (int fd : Connections) {
      close(fd);
    }
    close(Wake[0]);
    close(Wake[1]);
  }

  std::vector<std::vector<std::uint8_t>> Requests() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Received;
  }

 private:
  void Serve() {
    int data = -1;
    for (;;) {
      std::vector<pollfd> fds = {{Wake[0], POLLIN, 0}};
      for (int fd : Listeners) {
        fds.push_back({fd, POLLIN, 0});
      }
      for (int fd : Connections) {
        fds.push_back({fd, POLLIN, 0});
      }
      poll(fds.data(), fds.size(), -1);
      if (fds[0].revents) {
        return;
      }
      const std::size_t polled = Connections.size();
      for (int pipe = 0; pipe < 3; ++pipe) {
        if (fds[1 + pipe].revents & POLLIN) {
          const int fd = accept4(Listeners[pipe], nullptr, nullptr, SOCK_CLOEXEC);
          Connections.push_back(fd);
          Roles.push_back(pipe);
          if (pipe == 1) {
            data = fd;
          }
        }
      }
      for (std::size_t i = 0; i < polled; ++i) {
        if (!(fds[4 + i].revents & (POLLIN | POLLHUP))) {
          continue;
        }
        std::uint8_t buffer[256];
        const ssize_t n = recv(Connections[i], buffer, sizeof buffer, 0);
        if (n <= 0 || Roles[i] != 0) {
          continue;
        }
        std::vector<std::uint8_t> request(buffer, buffer + n);
        {
          std::lock_guard<std::mutex> lock(Mutex);
          Received.push_back(request);
        }
        const std::vector<std::uint8_t> reply = Respond(request);
        if (data >= 0 && !reply.empty()) {
          send(data, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
      }
    }
  }

  Responder Respond;
  int Listeners[3] = {-1, -1, -1};
  int Wake[2] = {-1, -1};
  std::vector<int> Connections;
  std::vector<int> Roles;
  std::thread Server;
  std::mutex Mutex;
  std::vector<std::vector<std::uint8_t>> Received;
};

// A reply of status 0x80 and count bytes 0xA0, 0xA1, … whatever was asked for.
std::vector<std::uint8_t> CountingReply(const std::vector<std::uint8_t>& request) {
  if (request.empty() || request[0] != 0x13) {
    const std::size_t count = request.empty() ? 0 : request.back();
    std::vector<std::uint8_t> reply(1 + count + 3, 0xEE);  // extra bytes must be ignored
    reply[0] = 0x80;
    for (std::size_t i = 0; i < count; ++i) {
      reply[1 + i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    return reply;
  }
  return {0x80};
}

std::string ClassDir(const TAppHarness& app, camsim::Kind kind) {
  return app.Roots.Devices + "/" + camsim::ClassGuid(kind);
}

TEST(EepromFrames, AreByteExactInBothAddressForms) {
  TAppHarness app;
  TFakeCamera camera(ClassDir(app, camsim::Kind::SelvoKai) + "/fake0", CountingReply);
  app.Start();
  ASSERT_TRUE(app.Connected());
  const auto initial = camera.Requests().size();  // the first scan's two reads

  CBrisaConfig& w = *app.Window;
  std::uint8_t buffer[64];
  ASSERT_TRUE(w.ReadEepromShort(10, 59, buffer));
  ASSERT_TRUE(w.ReadEepromLong(0x3FF80, 61, buffer));
  EXPECT_EQ(buffer[0], 0xA0);
  EXPECT_EQ(buffer[60], 0xA0 + 60);
  std::uint8_t data[61];
  for (int i = 0; i < 61; ++i) {
    data[i] = static_cast<std::uint8_t>(i);
  }
  ASSERT_TRUE(w.WriteEepromLong(0x3FFB0, 13, data));
  ASSERT_TRUE(w.WriteEepromShort(10, 61, data));
  ASSERT_TRUE(w.ReadEepromShort(0x1FF, 2, buffer));  // only the low 8 bits go out

  const auto requests = camera.Requests();
  ASSERT_EQ(requests.size(), initial + 5);
  EXPECT_EQ(requests[initial], (std::vector<std::uint8_t>{0x12, 0x0A, 0x3B}));
  EXPECT_EQ(requests[initial + 1], (std::vector<std::uint8_t>{0x12, 0x80, 0xFF, 0x03, 0x00, 0x3D}));
  std::vector<std::uint8_t> longWrite = {0x13, 0xB0, 0xFF, 0x03, 0x00, 0x0D};
  longWrite.insert(longWrite.end(), data, data + 13);
  EXPECT_EQ(requests[initial + 2], longWrite);
  EXPECT_EQ(requests[initial + 3].size(), 64u);
  EXPECT_EQ(requests[initial + 3][2], 61);
  EXPECT_EQ(requests[initial + 3][63], 60);
  EXPECT_EQ(requests[initial + 4], (std::vector<std::uint8_t>{0x12, 0xFF, 0x02}));
}

TEST(EepromFrames, StatusTextsAndRefusalsKeepTheLink) {
  std::atomic<std::uint8_t> status{0x80};
  TAppHarness app;
  TFakeCamera camera(ClassDir(app, camsim::Kind::SelvoKaf) + "/fake0",
                     [&](const std::vector<std::uint8_t>& request) {
                       std::vector<std::uint8_t> reply = CountingReply(request);
                       reply[0] = status;
                       return reply;
                     });
  app.Start();
  CBrisaConfig& w = *app.Window;
  const struct {
    std::uint8_t Status;
    const char* Text;
  } cases[] = {{0x81, "Instruction failed: Invalid index"},
               {0x82, "Instruction failed: Invalid parameter"},
               {0x83, "Instruction failed: Unknown instruction"},
               {0x00, "Instruction failed: Unknown return code"},
               {0xFF, "Instruction failed: Unknown return code"}};
  for (const auto& c : cases) {
    status = c.Status;
    std::uint8_t buffer[10];
    std::memset(buffer, 0x55, sizeof buffer);
    EXPECT_FALSE(w.ReadEepromShort(0, 10, buffer));
    EXPECT_STREQ(w.ErrorText, c.Text);
    EXPECT_EQ(buffer[0], 0x55) << "a failed read leaves the destination alone";
    EXPECT_FALSE(w.WriteEepromShort(10, 1, buffer));
    EXPECT_STREQ(w.ErrorText, c.Text);
    EXPECT_TRUE(app.Connected());
  }
  char text[128];
  StatusText(0x80, 127, text);  // not a failure, but must still be a terminated text
  EXPECT_EQ(std::strlen(text), 39u);
  StatusText(0x81, 10, text);
  EXPECT_STREQ(text, "Instructio");
}

TEST(EepromFrames, ShortReplyIsRefusedNotPaddedWithStaleBytes) {
  TAppHarness app;
  TFakeCamera camera(ClassDir(app, camsim::Kind::SelvoKai) + "/fake0",
                     [](const std::vector<std::uint8_t>& request) {
                       std::vector<std::uint8_t> reply = CountingReply(request);
                       reply.resize(5);  // status and 4 of the bytes asked for
                       return reply;
                     });
  app.Start();
  CBrisaConfig& w = *app.Window;
  std::uint8_t buffer[10] = {};
  EXPECT_FALSE(w.ReadEepromShort(0, 10, buffer));
  EXPECT_STREQ(w.ErrorText, "Camera reply too short");
  EXPECT_EQ(buffer[0], 0);
  EXPECT_TRUE(app.Connected());
  EXPECT_TRUE(w.ReadEepromShort(0, 4, buffer));
  EXPECT_EQ(buffer[3], 0xA3);
}

TEST(EepromFrames, WithoutACameraNothingIsSent) {
  TAppHarness app;
  app.Start();
  CBrisaConfig& w = *app.Window;
  std::uint8_t buffer[61] = {};
  const std::size_t handles = PosixOpenHandleCount();
  EXPECT_FALSE(w.ReadEepromShort(0, 10, buffer));
  EXPECT_STREQ(w.ErrorText, "Device not initialised");
  EXPECT_FALSE(w.ReadEepromLong(0x3FF80, 61, buffer));
  EXPECT_FALSE(w.WriteEepromShort(10, 61, buffer));
  EXPECT_FALSE(w.WriteEepromLong(0x3FF80, 48, buffer));
  EXPECT_STREQ(w.ErrorText, "Device not initialised");
  EXPECT_EQ(PosixOpenHandleCount(), handles);
}

TEST(EepromFrames, CountsBeyondTheFrameAreRefusedBeforeSending) {
  TAppHarness app;
  app.AddCamera("cam", "selvo-kai");
  app.Start();
  const std::uint64_t transfers = app.Sim->Transfers("cam");
  std::uint8_t buffer[128] = {};
  EXPECT_FALSE(app.Window->ReadEepromShort(0, 64, buffer));
  EXPECT_FALSE(app.Window->WriteEepromShort(0, 62, buffer));
  EXPECT_FALSE(app.Window->WriteEepromLong(0, 59, buffer));
  EXPECT_FALSE(app.Window->ReadEepromLong(0, 0, buffer));
  EXPECT_EQ(app.Sim->Transfers("cam"), transfers);
  EXPECT_TRUE(app.Connected());
}

TEST(EepromFrames, LostCameraDisconnects) {
  TAppHarness app;
  app.AddCamera("cam", "selvo-kai");
  app.Start();
  ASSERT_TRUE(app.Connected());
  app.Sim->Fault("cam", "drop", {1});
  std::uint8_t buffer[10];
  EXPECT_FALSE(app.Window->ReadEepromShort(0, 10, buffer));
  EXPECT_STREQ(app.Window->ErrorText, "Camera not connected");
  EXPECT_FALSE(app.Connected());
  EXPECT_EQ(app.Window->CommandPipe, INVALID_HANDLE_VALUE);
  EXPECT_EQ(app.Window->NotificationHandle, nullptr);
  EXPECT_EQ(app.Title(), "Corvane v3.0");
  EXPECT_EQ(PosixLiveNotificationCount(), 0u);
}

TEST(Discovery, LowerClassWinsWhateverThePlugOrder) {
  TAppHarness app;
  app.AddCamera("tamis", "tamis-a");
  app.AddCamera("selvo", "selvo-kai");
  app.Start();
  EXPECT_EQ(app.Title(), "Selvo KAI");
  EXPECT_EQ(app.Window->LinkFlags, LinkConnected | KindSelvoKai);
  EXPECT_EQ(std::string(app.Window->DevicePath), app.Sim->InterfacePath("selvo"));
}

TEST(Discovery, InterfaceThatDoesNotOpenIsPassedOver) {
  TAppHarness app;
  std::string error;
  ASSERT_TRUE(app.Sim->Add("a", "ortek-kaf", &error, "cam0"));
  ASSERT_TRUE(app.Sim->Add("b", "ortek-kaf", &error, "cam1"));
  app.Sim->Plug("a");
  app.Sim->Plug("b");
  PosixFaults().CreateFileFailSuffix = "/cam0";
  app.Start();
  EXPECT_TRUE(app.Connected());
  EXPECT_EQ(std::string(app.Window->DevicePath), app.Sim->InterfacePath("b"));
}

TEST(Discovery, EnumerationThatNeverEndsStillEnds) {
  TAppHarness app;
  app.AddCamera("cam", "selvo-kai");
  PosixFaults().EnumAlwaysFail = true;
  app.Start();
  EXPECT_FALSE(app.Connected());
  EXPECT_EQ(app.Window->LinkFlags, 0u);
}

TEST(Discovery, SkippedIndicesAndDetailFailures) {
  TAppHarness app;
  std::string error;
  ASSERT_TRUE(app.Sim->Add("a", "selvo-kaf", &error, "cam0"));
  ASSERT_TRUE(app.Sim->Add("b", "selvo-kaf", &error, "cam1"));
  app.Sim->Plug("a");
  app.Sim->Plug("b");
  app.Start();
  for (int variant = 0; variant < 3; ++variant) {
    PosixFaults() = TPosixFaults{};
    PosixFaults().Administrator = 1;
    if (variant == 0) {
      PosixFaults().EnumFailIndex = 0;
    } else if (variant == 1) {
      PosixFaults().DetailFailIndex = 0;
    } else {
      PosixFaults().NoSizeIndex = 0;
    }
    const std::size_t sets = PosixLiveDeviceSetCount();
    app.Window->ConnectCamera();
    EXPECT_TRUE(app.Connected()) << variant;
    EXPECT_EQ(std::string(app.Window->DevicePath), app.Sim->InterfacePath("b")) << variant;
    EXPECT_EQ(PosixLiveDeviceSetCount(), sets) << variant;
  }
}

TEST(Pipes, FailuresNameThePipeAndLeaveNothingOpen) {
  const struct {
    int Pipe;
    const char* Text;
  } cases[] = {{0, "DeviceInit failed, cannot open camera command pipe"},
               {1, "DeviceInit failed, cannot open camera data pipe"},
               {2, "DeviceInit failed, cannot open camera data pipe"}};
  for (const auto& c : cases) {
    TAppHarness app;
    app.AddCamera("cam", "selvo-e2vb", false);
    app.Sim->Fault("cam", "pipe", {c.Pipe, 1});
    app.Sim->Plug("cam");
    const std::size_t handles = PosixOpenHandleCount();
    app.Start();
    EXPECT_STREQ(app.Window->ErrorText, c.Text);
    EXPECT_FALSE(app.Connected());
    EXPECT_EQ(app.Window->LinkFlags, KindSelvoE2vB);
    EXPECT_EQ(app.Window->CommandPipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(app.Window->DataPipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(app.Window->AuxPipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(app.Window->NotificationHandle, nullptr);
    EXPECT_EQ(PosixLiveNotificationCount(), 0u);
    EXPECT_EQ(PosixOpenHandleCount(), handles);
    EXPECT_EQ(app.Title(), "Corvane v3.0");
  }
}

TEST(Pipes, DisconnectTwiceClosesNothingTwice) {
  TAppHarness app;
  app.AddCamera("cam", "selvo-kai");
  app.Start();
  const std::size_t handles = PosixOpenHandleCount();
  app.Window->DisconnectCamera();
  EXPECT_EQ(PosixOpenHandleCount(), handles - 3);
  app.Window->SetTitle(4, "busy");
  app.Window->DisconnectCamera();
  EXPECT_EQ(PosixOpenHandleCount(), handles - 3);
  EXPECT_EQ(app.Title(), "Corvane v3.0");
  EXPECT_EQ(app.Window->LinkFlags, KindSelvoKai);
}

TEST(Pipes, LongInterfacePathIsCutTo260Characters) {
  TAppHarness app;
  const std::string longRoot =
      app.Roots.Base + "/" + std::string(200, 'd') + "/" + std::string(40, 'e');
  std::filesystem::create_directories(longRoot);
  app.Roots.SetEnv("PELWIN_DEVICE_ROOT", longRoot);
  camsim::Simulator::Options options;
  options.DeviceRoot = longRoot;
  options.MachineRegistry = app.Roots.MachineRegistry;
  options.StateDir = app.Roots.State;
  app.Sim = std::make_unique<camsim::Simulator>(options);
  app.AddCamera("cam", "selvo-kai");
  app.Start();
  EXPECT_EQ(std::strlen(app.Window->DevicePath), 260u);
  EXPECT_FALSE(app.Connected());  // the cut path names nothing
}

TEST(Notifications, RemovalAndArrivalReachTheWindowThroughTheLoop) {
  TAppHarness app;
  std::string error;
  ASSERT_TRUE(app.Sim->Add("a", "selvo-kaf", &error, "cam0"));
  ASSERT_TRUE(app.Sim->Add("b", "selvo-kaf", &error, "cam1"));
  app.Sim->Plug("b");
  app.Start();
  ASSERT_TRUE(app.Connected());
  EXPECT_EQ(std::string(app.Window->DevicePath), app.Sim->InterfacePath("b"));

  // A second interface of the class arrives: the link is made anew, to the
  // first one in enumeration order.
  app.Sim->Plug("a");
  ASSERT_TRUE(app.PumpUntil([](TAppHarness& h) {
    return std::string(h.Window->DevicePath) == h.Sim->InterfacePath("a");
  }));
  EXPECT_TRUE(app.Connected());
  EXPECT_EQ(app.Title(), "Selvo KAF");
  EXPECT_EQ(PosixLiveNotificationCount(), 1u);

  app.Unplug("a");
  EXPECT_FALSE(app.Connected());
  EXPECT_EQ(app.Title(), "Corvane v3.0");
  EXPECT_EQ(PosixLiveNotificationCount(), 0u);
  EXPECT_EQ(app.Window->WizardStep, 1);
}

TEST(Notifications, OtherDeviceMessagesGoToTheBase) {
  TAppHarness app;
  app.AddCamera("cam", "selvo-kai");
  app.Start();
  CBrisaConfig& w = *app.Window;
  LRESULT result = 77;
  EXPECT_FALSE(w.ReceiveMsg(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0, &result));
  EXPECT_FALSE(w.ReceiveMsg(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0, &result));
  EXPECT_FALSE(w.ReceiveMsg(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, &result));
  DEV_BROADCAST_HDR volume{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};
  EXPECT_FALSE(w.ReceiveMsg(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                            reinterpret_cast<LPARAM>(&volume), &result));
  EXPECT_TRUE(app.Connected());
  EXPECT_EQ(result, 77);
  DEV_BROADCAST_HDR iface{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_DEVICEINTERFACE, 0};
  EXPECT_TRUE(w.ReceiveMsg(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                           reinterpret_cast<LPARAM>(&iface), &result));
  EXPECT_FALSE(app.Connected());
  EXPECT_EQ(result, 77);
}

TEST(Notifications, RegistrationFailureStillConnects) {
  TAppHarness app;
  app.AddCamera("cam", "selvo-kai");
  PosixFaults().RegisterNotificationFail = true;
  app.Start();
  EXPECT_TRUE(app.Connected());
  EXPECT_EQ(app.Window->NotificationHandle, nullptr);
}

}  // namespace

namespace {

TEST(EepromFrames, CommandsAllocateNothing) {
  for (const char* sample : {"selvo-kai", "tamis-a"}) {
    TAppHarness app;
    std::string error;
    ASSERT_TRUE(camsim::WriteRegistryDword(app.Roots.MachineRegistry, camsim::ServiceKeyPath(1029),
                                           camsim::kWritePermissionValue, 1, &error));
    app.AddCamera("cam", sample);
    app.Start();
    ASSERT_TRUE(app.Connected());
    CBrisaConfig& w = *app.Window;
    std::uint8_t block[61];
    const bool tamis = (w.LinkFlags & TamisGroup) != 0;
    const std::size_t before = PlatformAllocationCount();
    if (tamis) {
      ASSERT_TRUE(w.ReadEepromLong(0x3FF80, 61, block));
      ASSERT_TRUE(w.WriteEepromLong(0x3FF80, 48, block));
      ASSERT_TRUE(w.WriteEepromLong(0x3FFB0, 13, block + 48));
    } else {
      ASSERT_TRUE(w.ReadEepromShort(10, 61, block));
      ASSERT_TRUE(w.WriteEepromShort(10, 61, block));
    }
    EXPECT_EQ(PlatformAllocationCount(), before) << sample;
  }
}

}  // namespace
