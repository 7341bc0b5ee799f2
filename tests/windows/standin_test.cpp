// The camera driver stand-in under Wine, seen as pelwin.exe sees a camera:
// found through its interface class, three pipes below the interface path,
// frames answered by camsim's model, the write permission read at plug-in,
// and nothing a client sends taking the server down. Runs in the prefix that
// tests/windows/standin-prefix.sh prepared; serves its own camera.
#include <windows.h>
// After windows.h:
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim/core/camera.h"
#include "sim/standin/ioctl.h"
#include "sim/windows/standin.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kSample[] = "selvo-kai";
constexpr char kParameters[] = "SYSTEM\\CurrentControlSet\\Services\\ralcamI\\Parameters";

std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') {
    path = "Z:" + path;
  }
  for (char& c : path) {
    c = c == '/' ? '\\' : c;
  }
  return path;
}

std::string Env(const char* name) {
  char buffer[1024];
  const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

struct Outcome {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out;  // standard output and error
};

// Runs camsim.exe with the arguments; waits for it unless told not to.
Outcome Camsim(const std::string& arguments, PROCESS_INFORMATION* keep = nullptr,
               HANDLE* keepOutput = nullptr) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  Outcome run;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    return run;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::string line = "\"" + WindowsPath(Env("CAMSIM_EXE")) + "\" " + arguments;
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  CloseHandle(writeEnd);
  if (!started) {
    CloseHandle(readEnd);
    return run;
  }
  if (keep) {
    *keep = process;
    *keepOutput = readEnd;
    return run;
  }
  char buffer[4096];
  DWORD n;
  while (ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0) {
    run.out.append(buffer, n);
  }
  CloseHandle(readEnd);
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &run.exitCode);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return run;
}

// The first present interface of the sample's class, as pelwin.exe finds it.
std::string FindInterface() {
  GUID guid;
  unsigned long d1;
  unsigned d2, d3, b[8];
  std::sscanf(camsim::ClassGuid(camsim::Kind::SelvoKai), "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}",
              &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
  guid.Data1 = d1;
  guid.Data2 = static_cast<unsigned short>(d2);
  guid.Data3 = static_cast<unsigned short>(d3);
  for (int i = 0; i < 8; ++i) {
    guid.Data4[i] = static_cast<unsigned char>(b[i]);
  }
  HDEVINFO set =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  std::string path;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  if (set != INVALID_HANDLE_VALUE && SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data)) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
    std::vector<char> block(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
    detail->cbSize = sizeof *detail;
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) {
      path = detail->DevicePath;
    }
  }
  if (set != INVALID_HANDLE_VALUE) {
    SetupDiDestroyDeviceInfoList(set);
  }
  return path;
}

HANDLE Open(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

// The three pipes, opened the way pelwin.exe opens them.
struct Link {
  HANDLE pipe[3] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  DWORD openError = ERROR_SUCCESS;

  bool Connect() {
    const std::string path = FindInterface();
    if (path.empty()) {
      return false;
    }
    HANDLE probe = Open(path);
    if (probe == INVALID_HANDLE_VALUE) {
      return false;
    }
    CloseHandle(probe);
    for (int i = 0; i < 3; ++i) {
      pipe[i] = Open(path + "\\" + std::to_string(i));
      if (pipe[i] == INVALID_HANDLE_VALUE) {
        openError = GetLastError();
        return false;
      }
    }
    return true;
  }
  ~Link() {
    for (HANDLE h : pipe) {
      if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
      }
    }
  }
  // One request and its reply, as the program's EEPROM commands make them.
  Bytes Command(const Bytes& request, DWORD ask = 64) {
    DWORD moved = 0;
    if (!WriteFile(pipe[0], request.data(), DWORD(request.size()), &moved, nullptr)) {
      return {};
    }
    Bytes reply(ask);
    moved = 0;
    ReadFile(pipe[1], reply.data(), ask, &moved, nullptr);
    reply.resize(moved);
    return reply;
  }
};

Bytes Read(uint8_t address, uint8_t count) {
  return {camsim::kOpcodeRead, address, count};
}

HANDLE OpenOverlapped(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, nullptr);
}

// One read of up to 64 bytes on a handle opened for overlapped I/O, given ms
// to complete; what it read, or nothing (the read is cancelled).
Bytes ReadWithin(HANDLE handle, DWORD ms) {
  Bytes bytes(64);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD moved = 0;
  const bool started = ReadFile(handle, bytes.data(), DWORD(bytes.size()), nullptr, &overlapped) ||
                       GetLastError() == ERROR_IO_PENDING;
  const bool done = started && WaitForSingleObject(overlapped.hEvent, ms) == WAIT_OBJECT_0 &&
                    GetOverlappedResult(handle, &overlapped, &moved, FALSE);
  if (started && !done) {
    CancelIoEx(handle, &overlapped);
    GetOverlappedResult(handle, &overlapped, &moved, TRUE);
    moved = 0;
  }
  CloseHandle(overlapped.hEvent);
  bytes.resize(done ? moved : 0);
  return bytes;
}

// One line sent on the control pipe as it is, without the client's checks.
std::string ControlLine(const std::string& line) {
  HANDLE pipe = Open(camsim::win::kControlPipe);
  if (pipe == INVALID_HANDLE_VALUE) {
    return "cannot open: " + std::to_string(GetLastError());
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
  DWORD moved = 0;
  std::string answer;
  if (WriteFile(pipe, line.data(), DWORD(line.size()), &moved, nullptr)) {
    char buffer[4096];
    while (ReadFile(pipe, buffer, sizeof buffer, &moved, nullptr) ||
           GetLastError() == ERROR_MORE_DATA) {
      answer.append(buffer, moved);
      if (answer.size() >= 3 && answer.back() == '\n' &&
          (answer.ends_with("ok\n") || answer.rfind("error: ") != std::string::npos)) {
        break;
      }
    }
  }
  CloseHandle(pipe);
  return answer;
}

// A second process of this program, for what must come from another pid, on
// the interface path it is given. "send": a read of 5 bytes on pipe 0, with
// no pipe 1 of its own, and gone. "flood": 6000 reads of 63 bytes whose
// replies it never reads, then "sent" on standard output, and it stays.
const int kSecondProcess = [] {
  const std::string role = Env("CAMSIM_TEST_ROLE");
  const std::string path = Env("CAMSIM_TEST_PATH");
  if (role.empty()) {
    return 0;
  }
  HANDLE data = role == "flood" ? Open(path + "\\1") : INVALID_HANDLE_VALUE;
  HANDLE pipe = Open(path + "\\0");
  const uint8_t request[] = {camsim::kOpcodeRead, 0, uint8_t(role == "flood" ? 63 : 5)};
  DWORD moved = 0;
  bool sent = pipe != INVALID_HANDLE_VALUE;
  for (int i = 0; sent && i < (role == "flood" ? 6000 : 1); ++i) {
    sent = WriteFile(pipe, request, sizeof request, &moved, nullptr);
  }
  if (sent && data != INVALID_HANDLE_VALUE) {
    std::printf("sent\n");
    std::fflush(stdout);
    Sleep(60000);
  }
  ExitProcess(sent ? 0 : 1);
}();

// Starts the second process in a role; with output, its standard output is
// read until it says "sent".
bool StartSecond(const char* role, const std::string& path, PROCESS_INFORMATION* process,
                 bool untilSent) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    return false;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  SetEnvironmentVariableA("CAMSIM_TEST_ROLE", role);
  SetEnvironmentVariableA("CAMSIM_TEST_PATH", path.c_str());
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  const bool started =
      CreateProcessA(self, nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, process);
  SetEnvironmentVariableA("CAMSIM_TEST_ROLE", nullptr);
  SetEnvironmentVariableA("CAMSIM_TEST_PATH", nullptr);
  CloseHandle(writeEnd);
  std::string out;
  char c;
  DWORD n;
  while (started && untilSent && out.find("sent") == std::string::npos &&
         ReadFile(readEnd, &c, 1, &n, nullptr) && n == 1) {
    out += c;
  }
  CloseHandle(readEnd);
  return started && (!untilSent || out.find("sent") != std::string::npos);
}

class StandinTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kParameters, camsim::kWritePermissionValue);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    // Wine reuses process ids: a state left by an earlier run must not count.
    state_ = std::string(temp) + "camsim-standin-test-" + std::to_string(GetCurrentProcessId());
    DeleteFileA((state_ + "\\" + kSample + ".eeprom").c_str());
    // Removing a stand-in and installing it again leaves it as it was.
    reinstalled_ =
        Camsim("remove tamis-b").exitCode == 0 && Camsim("install tamis-b").exitCode == 0;
    Camsim("serve --state \"" + state_ + "\" --log \"" + state_ + ".log\" " + kSample, &server_,
           &serverOutput_);
    std::string out;
    char c;
    DWORD n;
    while (out.find("ready") == std::string::npos && ReadFile(serverOutput_, &c, 1, &n, nullptr) &&
           n == 1) {
      out += c;
    }
    ready_ = out.find("ready") != std::string::npos;
    if (!ready_) {
      std::fprintf(stderr, "camsim serve said: %s\n", out.c_str());
    }
  }
  static void TearDownTestSuite() {
    Camsim("stop");
    WaitForSingleObject(server_.hProcess, 10000);
    CloseHandle(server_.hProcess);
    CloseHandle(server_.hThread);
    CloseHandle(serverOutput_);
    RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kParameters, camsim::kWritePermissionValue);
  }
  void SetUp() override {
    ASSERT_TRUE(ready_) << "camsim serve did not start";
    Camsim("fault clear");
  }
  static void PowerCycle() {
    ASSERT_EQ(Camsim("unplug").exitCode, 0u);
    ASSERT_EQ(Camsim("plug").exitCode, 0u);
  }

  static inline PROCESS_INFORMATION server_{};
  static inline HANDLE serverOutput_ = nullptr;
  static inline std::string state_;
  static inline bool ready_ = false;
  static inline bool reinstalled_ = false;
};

TEST_F(StandinTest, FramesAreAnsweredByTheModelWithItsStatusCodes) {
  Link link;
  ASSERT_TRUE(link.Connect()) << GetLastError();
  const Bytes image = camsim::SampleImage(*camsim::FindSample(kSample));

  Bytes header = link.Command(Read(0, 10));
  ASSERT_EQ(header.size(), 11u);
  EXPECT_EQ(header[0], camsim::kStatusSuccess);
  EXPECT_EQ(Bytes(header.begin() + 1, header.end()), Bytes(image.begin(), image.begin() + 10));

  const Bytes oversized(300, camsim::kOpcodeRead);  // beyond the server's receive buffer
  const struct {
    Bytes request;
    uint8_t status;
  } refusals[] = {
      {{}, camsim::kStatusUnknownInstruction},
      {{0x99, 0, 1}, camsim::kStatusUnknownInstruction},
      {Read(0, 0), camsim::kStatusInvalidParameter},
      {Read(0, 64), camsim::kStatusInvalidParameter},
      {Read(0xF8, 9), camsim::kStatusInvalidIndex},
      {{camsim::kOpcodeRead, 0x80, 0xFF, 0x03, 0x00, 0x3D}, camsim::kStatusInvalidParameter},
      {{camsim::kOpcodeWrite, 0xF0, 1, 0xAA}, camsim::kStatusInvalidParameter},  // no permission
      {Bytes(65, camsim::kOpcodeRead), camsim::kStatusInvalidParameter},
      {oversized, camsim::kStatusInvalidParameter},
  };
  for (const auto& refusal : refusals) {
    EXPECT_EQ(link.Command(refusal.request), Bytes{refusal.status})
        << "request of " << refusal.request.size() << " bytes";
  }
  // Still serving, and nothing was written.
  EXPECT_EQ(link.Command(Read(0xF0, 1)), (Bytes{camsim::kStatusSuccess, image[0xF0]}));
}

TEST_F(StandinTest, WritePermissionIsReadAtPlugInAndHeldUntilUnplug) {
  const Bytes write = {camsim::kOpcodeWrite, 0xF0, 1, 0xA5};
  DWORD one = 1;
  ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, kParameters, camsim::kWritePermissionValue,
                            REG_DWORD, &one, sizeof one),
            ERROR_SUCCESS);
  {
    Link link;
    ASSERT_TRUE(link.Connect());
    EXPECT_EQ(link.Command(write, 1), Bytes{camsim::kStatusInvalidParameter})
        << "granted after the plug-in: counts from the next one";
  }
  PowerCycle();
  {
    Link link;
    ASSERT_TRUE(link.Connect());
    EXPECT_EQ(link.Command(write, 1), Bytes{camsim::kStatusSuccess});
    RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kParameters, camsim::kWritePermissionValue);
    EXPECT_EQ(link.Command(write, 1), Bytes{camsim::kStatusSuccess}) << "held until unplug";
    EXPECT_EQ(link.Command(Read(0xF0, 1)), (Bytes{camsim::kStatusSuccess, 0xA5}));
  }
  PowerCycle();
  Link link;
  ASSERT_TRUE(link.Connect());
  EXPECT_EQ(link.Command(write, 1), Bytes{camsim::kStatusInvalidParameter});
  // The write outlives the server: it is in the image file.
  const std::string saved = state_ + "-saved.eeprom";
  ASSERT_EQ(Camsim("image --save \"" + saved + "\"").exitCode, 0u);
  Bytes file(257);
  FILE* in = std::fopen(saved.c_str(), "rb");
  ASSERT_NE(in, nullptr);
  file.resize(std::fread(file.data(), 1, file.size(), in));
  std::fclose(in);
  ASSERT_EQ(file.size(), 256u);
  EXPECT_EQ(file[0xF0], 0xA5);
}

// The permission follows the model code in the camera's header, as on Linux:
// the program grants it under the key of the code it read.
TEST_F(StandinTest, PermissionIsReadUnderTheKeyOfTheHeadersModelCode) {
  Bytes image = camsim::SampleImage(*camsim::FindSample(kSample));
  image[3] = 1030 & 0xFF;  // ralcamF's model code, little-endian at 3
  image[4] = 1030 >> 8;
  const std::string file = state_ + "-ralcamF.eeprom";
  FILE* out = std::fopen(file.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(std::fwrite(image.data(), 1, image.size(), out), image.size());
  std::fclose(out);
  ASSERT_EQ(Camsim("image --load \"" + file + "\"").exitCode, 0u);
  constexpr char kOther[] = "SYSTEM\\CurrentControlSet\\Services\\ralcamF\\Parameters";
  DWORD one = 1;
  ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, kOther, camsim::kWritePermissionValue, REG_DWORD,
                            &one, sizeof one),
            ERROR_SUCCESS);
  PowerCycle();
  Link link;
  ASSERT_TRUE(link.Connect());
  EXPECT_EQ(link.Command({camsim::kOpcodeWrite, 0xF0, 1, 0x5A}, 1), Bytes{camsim::kStatusSuccess});
  RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kOther, camsim::kWritePermissionValue);
  // The sample's own image back for the tests that follow.
  image = camsim::SampleImage(*camsim::FindSample(kSample));
  out = std::fopen(file.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  std::fwrite(image.data(), 1, image.size(), out);
  std::fclose(out);
  EXPECT_EQ(Camsim("image --load \"" + file + "\"").exitCode, 0u);
  PowerCycle();
}

// What a client can do wrong, or what the camera does to a client, never takes
// the server down, and the camera goes on answering the next connection.
TEST_F(StandinTest, BadClientsAndUnplugLeaveTheServerServing) {
  {
    Link link;
    ASSERT_TRUE(link.Connect());
    // A read reply into a one-byte buffer. The program's handles read in byte
    // mode, so the pipe keeps the rest for the next read (a driver would not).
    DWORD moved = 0;
    const Bytes request = Read(0, 10);
    ASSERT_TRUE(WriteFile(link.pipe[0], request.data(), 3, &moved, nullptr));
    uint8_t reply[64] = {};
    EXPECT_TRUE(ReadFile(link.pipe[1], reply, 1, &moved, nullptr));
    EXPECT_EQ(moved, 1u);
    EXPECT_EQ(reply[0], camsim::kStatusSuccess);
    EXPECT_TRUE(ReadFile(link.pipe[1], reply, sizeof reply, &moved, nullptr));
    EXPECT_EQ(moved, 10u);
    // Data on the other pipes is ignored, and a client may leave at any time.
    ASSERT_TRUE(WriteFile(link.pipe[2], "x", 1, &moved, nullptr));
  }
  {
    Link link;
    ASSERT_TRUE(link.Connect());
    ASSERT_EQ(Camsim("fault drop 1").exitCode, 0u);
    EXPECT_TRUE(link.Command(Read(0, 10)).empty()) << "dropped: no reply, the read fails";
  }
  Link link;
  ASSERT_TRUE(link.Connect());
  ASSERT_EQ(link.Command(Read(0, 1)).size(), 2u);
  const std::string path = FindInterface();
  ASSERT_EQ(Camsim("unplug").exitCode, 0u);
  EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE) << "the interface's link went with it";
  DWORD moved = 0;
  EXPECT_FALSE(WriteFile(link.pipe[0], "\x12\x00\x01", 3, &moved, nullptr));
  EXPECT_EQ(moved, 0u);
  uint8_t byte;
  EXPECT_FALSE(ReadFile(link.pipe[1], &byte, 1, &moved, nullptr));
  EXPECT_EQ(moved, 0u);
  EXPECT_TRUE(FindInterface().empty()) << "an unplugged camera is not present";
  ASSERT_EQ(Camsim("plug").exitCode, 0u);
  Link again;
  ASSERT_TRUE(again.Connect());
  EXPECT_EQ(again.Command(Read(0, 1)).size(), 2u);
}

// The program closes and opens the pipes again at every reconnection; the
// server's next listening instance must already be there.
TEST_F(StandinTest, ReconnectingAtOnceNeverFindsAPipeBusy) {
  for (int i = 0; i < 40; ++i) {
    Link link;
    ASSERT_TRUE(link.Connect()) << "round " << i << ": " << GetLastError();
    ASSERT_EQ(link.Command(Read(0, 1)).size(), 2u) << "round " << i;
  }
}

// The transport's own faults: a pipe that does not open, and late replies that
// keep their order.
TEST_F(StandinTest, PipeAndDelayFaultsActOnTheTransport) {
  ASSERT_EQ(Camsim("fault pipe 2 on").exitCode, 0u);
  {
    Link link;
    EXPECT_FALSE(link.Connect()) << "the third pipe must not open";
    EXPECT_NE(link.pipe[1], INVALID_HANDLE_VALUE) << "the others do";
    // As the Linux platform layer reports a pipe that is not there.
    EXPECT_EQ(link.openError, DWORD(ERROR_FILE_NOT_FOUND));
  }
  ASSERT_EQ(Camsim("fault pipe 2 off").exitCode, 0u);
  Link link;
  ASSERT_TRUE(link.Connect()) << GetLastError();
  ASSERT_EQ(Camsim("fault delay 300").exitCode, 0u);
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(link.Command(Read(0, 1)).size(), 2u);
  EXPECT_GE(GetTickCount64() - start, 250u);
  ASSERT_EQ(Camsim("fault delay 0").exitCode, 0u);
}

// The driver runs inside Wine's device host: requests it does not expect, and
// buffers too small for an answer, fail without taking the host down.
TEST_F(StandinTest, TheDriversControlDeviceRefusesWhatItDoesNotKnow) {
  HANDLE control = CreateFileW(L"\\\\.\\" CAMSIM_STANDIN_PREFIX L"ralcamI",
                               GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(control, INVALID_HANDLE_VALUE) << GetLastError();
  uint8_t small[4] = {};
  DWORD moved = 0;
  EXPECT_FALSE(DeviceIoControl(control, IOCTL_CAMSIM_STATUS, nullptr, 0, small, sizeof small,
                               &moved, nullptr))
      << "a status into 4 bytes";
  EXPECT_FALSE(DeviceIoControl(control, 0x83372FFC, small, sizeof small, small, sizeof small,
                               &moved, nullptr))
      << "an unknown request";
  EXPECT_FALSE(WriteFile(control, small, sizeof small, &moved, nullptr));
  EXPECT_FALSE(ReadFile(control, small, sizeof small, &moved, nullptr));
  CloseHandle(control);
  Link link;
  ASSERT_TRUE(link.Connect());
  EXPECT_EQ(link.Command(Read(0, 1)).size(), 2u);
  EXPECT_EQ(Camsim("status").exitCode, 0u);
}

// The reply goes to the newest pipe 1 of the process that sent the request,
// never to an older one, and never to another process.
TEST_F(StandinTest, ReplyGoesToTheNewestDataPipeOfTheRequestingProcess) {
  Link link;
  ASSERT_TRUE(link.Connect());
  const std::string path = FindInterface();
  HANDLE newer = OpenOverlapped(path + "\\1");
  ASSERT_NE(newer, INVALID_HANDLE_VALUE);

  PROCESS_INFORMATION other{};
  ASSERT_TRUE(StartSecond("send", path, &other, false));
  WaitForSingleObject(other.hProcess, 10000);
  DWORD exitCode = 1;
  GetExitCodeProcess(other.hProcess, &exitCode);
  CloseHandle(other.hProcess);
  CloseHandle(other.hThread);
  ASSERT_EQ(exitCode, 0u) << "the other process could not send";

  DWORD moved = 0;
  const Bytes request = Read(0, 1);
  ASSERT_TRUE(WriteFile(link.pipe[0], request.data(), 3, &moved, nullptr));
  EXPECT_EQ(ReadWithin(newer, 3000).size(), 2u)
      << "the newest pipe 1 gets this process's reply, and only that";
  DWORD waiting = 1;
  ASSERT_TRUE(PeekNamedPipe(link.pipe[1], nullptr, 0, nullptr, &waiting, nullptr));
  EXPECT_EQ(waiting, 0u) << "the older pipe 1 gets nothing";
  ASSERT_TRUE(PeekNamedPipe(newer, nullptr, 0, nullptr, &waiting, nullptr));
  EXPECT_EQ(waiting, 0u);
  CloseHandle(newer);
  const Outcome log = Camsim("log 10");
  EXPECT_NE(log.out.find("reply dropped, pid " + std::to_string(other.dwProcessId) +
                         " has no data pipe open: 80 "),
            std::string::npos)
      << log.out;
}

// Control lines come from anyone: none takes the server down, connections to
// the camera never crowd the control pipe out, and a client that leaves its
// replies unread holds nobody else up.
TEST_F(StandinTest, NoClientCanSilenceTheServer) {
  for (const char* line : {"image x", "image", "image * save", "image * load ", "image x y z"}) {
    const std::string answer = ControlLine(line);
    EXPECT_EQ(answer.rfind("error: ", 0), 0u) << line << ": " << answer;
  }
  EXPECT_EQ(ControlLine(std::string(5000, 'a')), "error: line longer than 4096 bytes\n");

  const std::string path = FindInterface();
  std::vector<HANDLE> crowd;
  // Every connection the server lets a client have; it refills its listening
  // instances as they are taken.
  for (int busy = 0; crowd.size() < 80 && busy < 20;) {
    HANDLE h = Open(path + "\\2");
    if (h == INVALID_HANDLE_VALUE) {
      ++busy;
      Sleep(10);
    } else {
      crowd.push_back(h);
      busy = 0;
    }
  }
  EXPECT_GE(crowd.size(), 50u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Camsim("status").exitCode, 0u) << "control connection " << i;
  }
  for (HANDLE h : crowd) {
    CloseHandle(h);
  }

  // Replies of 64 bytes that another process never reads, more than a pipe holds.
  PROCESS_INFORMATION idle{};
  ASSERT_TRUE(StartSecond("flood", path, &idle, true));
  HANDLE request = Open(path + "\\0");
  HANDLE reply = OpenOverlapped(path + "\\1");
  ASSERT_NE(reply, INVALID_HANDLE_VALUE);
  DWORD moved = 0;
  ASSERT_TRUE(WriteFile(request, "\x12\x00\x01", 3, &moved, nullptr));
  EXPECT_EQ(ReadWithin(reply, 3000).size(), 2u) << "held up by the client that does not read";
  CloseHandle(reply);
  CloseHandle(request);
  TerminateProcess(idle.hProcess, 0);
  WaitForSingleObject(idle.hProcess, 5000);
  CloseHandle(idle.hProcess);
  CloseHandle(idle.hThread);
}

TEST_F(StandinTest, ControlToolNamesWhatIsWrong) {
  Outcome run = Camsim("plug no-such-camera");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.out.find("no camera no-such-camera"), std::string::npos) << run.out;
  run = Camsim("plug");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.out.find("plugged in already"), std::string::npos) << run.out;
  EXPECT_EQ(Camsim("fault refuse x 0x82").exitCode, 1u);
  EXPECT_EQ(Camsim("fault explode").exitCode, 2u);
  EXPECT_EQ(Camsim("install no-such-sample").exitCode, 2u);
  EXPECT_EQ(Camsim("serve no-such-sample").exitCode, 2u);
  EXPECT_TRUE(reinstalled_) << "remove and install again";
  run = Camsim("remove tamis-b");
  EXPECT_EQ(run.exitCode, 1u) << "not while a server runs";
  EXPECT_NE(run.out.find("camsim stop"), std::string::npos) << run.out;
  run = Camsim("serve ortek-kai");
  EXPECT_EQ(run.exitCode, 1u) << "the pipe names are taken";
  EXPECT_NE(run.out.find("another camsim serves"), std::string::npos) << run.out;
  EXPECT_EQ(Camsim("image --load").exitCode, 2u);
  run = Camsim("image --load \"" + state_ + "\\missing.eeprom\"");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.out.find("cannot open"), std::string::npos) << run.out;
  run = Camsim("status");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out.rfind("selvo-kai sample=selvo-kai kind=SelvoKai class=3 instance=cam0 "
                          "state=plugged",
                          0),
            0u)
      << run.out;
}

}  // namespace
