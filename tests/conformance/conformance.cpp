// pelwin_conformance: docs/platform-linux.md, point by point, against both of
// its sides: the tool's POSIX platform layer (driven through the same Win32
// calls the program makes) and a driver stand-in program named on the command
// line. Each row names the point of the document it proves and which side it
// holds to it; a failure names the row, the side and what differed.
//
// The suite knows nothing of camsim beyond what the documents say every
// stand-in does: the command line and the sample cameras with their images.
// Any other stand-in is checked the same way. Each row runs on its own, with
// its own stand-in, and a row that hangs fails alone.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "registry_store.h"
#include "support/platform_test_env_posix.h"
#include "win32api.h"

extern char** environ;

namespace {

using TBytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

constexpr int kWaitMs = 5000;
// How long "nothing arrives" is watched for.
constexpr int kQuietMs = 200;
// A client command (`plug`, `unplug`, `stop`) that has not returned by then
// has hung.
constexpr int kCommandMs = 10000;
// What the document allows the server after `stop` has returned.
constexpr int kStopMs = 5000;
// A row that has not ended by then fails, and its processes are killed.
constexpr int kRowSeconds = 60;
constexpr char kPermissionValue[] = "AllowEEPROMWrite";

// ---------------------------------------------------------------------------
// The document's tables, as the suite reads them.

constexpr const char* kClassDirectories[8] = {
    "{2BCDDA06-F3C9-4AE6-B257-219DEFA0ABCB}", "{79349DC7-CF70-438E-BC10-F454F02D2067}",
    "{3789B7D9-A441-4B8B-A959-EE19DB0B8002}", "{A987BCF1-59F2-4E63-B063-AFE38A887A72}",
    "{02B6D00B-7D0F-44A7-953F-7BCCF63A264A}", "{DA870690-8A10-4C3A-B49A-10CA2959458E}",
    "{AD8D593C-2B2D-4292-8A80-CD4DA13FB16A}", "{4833EE92-1978-4A02-85AF-94396406C32E}"};

const std::map<std::uint16_t, std::string> kServiceKeys = {
    {1027, "SYSTEM\\CurrentControlSet\\Services\\vemcamI\\Parameters"},
    {1028, "SYSTEM\\CurrentControlSet\\Services\\vemcamF\\Parameters"},
    {1029, "SYSTEM\\CurrentControlSet\\Services\\ralcamI\\Parameters"},
    {1030, "SYSTEM\\CurrentControlSet\\Services\\ralcamF\\Parameters"},
    {1200, "SYSTEM\\CurrentControlSet\\Services\\ralcamB\\Parameters"},
    {1201, "SYSTEM\\CurrentControlSet\\Services\\ralcamBI\\Parameters"}};

// The sample cameras of camsim.md, one per class (model code 0: a Tamis kind,
// which has no service key).
struct TSample {
  const char* Name;
  int Class;
  std::uint16_t ModelCode;
  std::uint32_t CameraId;
  const char* TypeName;
  std::uint8_t ConfigFlags;
  std::uint8_t PositionCount;
};

constexpr TSample kSamples[8] = {{"ortek-kai", 1, 1027, 20417, "OK-420M", 0x8B, 0xA8},
                                 {"ortek-kaf", 2, 1028, 31052, "OF-830 Color", 0x21, 0x35},
                                 {"selvo-kai", 3, 1029, 41877, "SV-KAI 1100", 0x05, 7},
                                 {"selvo-kaf", 4, 1030, 42210, "SV-KAF 1600", 0x00, 0},
                                 {"selvo-e2v", 5, 1200, 53001, "SV-E2V 4710", 0x40, 6},
                                 {"selvo-e2vb", 6, 1201, 53118, "SV-E2V 4240B", 0x04, 10},
                                 {"tamis-a", 7, 0, 60233, "Tamis A-60", 0x12, 9},
                                 {"tamis-b", 8, 0, 61547, "Tamis B-90 Pro", 0x00, 12}};

// A camera as a stand-in serves it for the suite: a sample under an ID.
struct TCamera {
  const char* Sample;
  const char* Id;
  GUID Guid;
  const char* ClassDir;
  bool Long;
  std::uint32_t EepromSize;
  std::uint32_t MaxWrite;
  bool NeedsPermission;
  int Class;
  std::uint16_t ModelCode;
};

TCamera MakeCamera(int classNumber, const char* id) {
  const TSample& s = kSamples[classNumber - 1];
  TCamera c{};
  c.Sample = s.Name;
  c.Id = id;
  c.ClassDir = kClassDirectories[classNumber - 1];
  unsigned g[11] = {};
  std::sscanf(c.ClassDir, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &g[0], &g[1], &g[2], &g[3],
              &g[4], &g[5], &g[6], &g[7], &g[8], &g[9], &g[10]);
  c.Guid.Data1 = g[0];
  c.Guid.Data2 = static_cast<std::uint16_t>(g[1]);
  c.Guid.Data3 = static_cast<std::uint16_t>(g[2]);
  for (int i = 0; i < 8; ++i)
    c.Guid.Data4[i] = static_cast<std::uint8_t>(g[3 + i]);
  c.Long = classNumber >= 7;
  c.EepromSize = c.Long ? 0x40000 : 256;
  c.MaxWrite = c.Long ? 58 : 61;
  c.NeedsPermission = !c.Long;
  c.Class = classNumber;
  c.ModelCode = s.ModelCode;
  return c;
}

// The image a sample camera starts with, from camsim.md's sample table and
// image layout.
TBytes SampleImage(const TCamera& c) {
  const TSample& s = kSamples[c.Class - 1];
  const auto seed = static_cast<std::uint8_t>(c.Class * 0x1D);
  TBytes image(c.EepromSize, 0xFF);
  if (c.Long) {
    for (std::uint32_t a = 0; a < c.EepromSize; ++a)
      image[a] = static_cast<std::uint8_t>(a ^ (a >> 8) ^ (a >> 16));
  } else {
    const TBytes header = {0x5A,
                           static_cast<std::uint8_t>(0x01 + c.Class),
                           0x00,
                           static_cast<std::uint8_t>(s.ModelCode),
                           static_cast<std::uint8_t>(s.ModelCode >> 8),
                           0x02,
                           static_cast<std::uint8_t>(0x10 + c.Class),
                           0x07,
                           0xE3,
                           seed};
    std::copy(header.begin(), header.end(), image.begin());
  }
  const std::uint32_t at = c.Long ? 0x3FF80 : 10;
  const std::uint32_t size = c.Class <= 2 ? 59 : 61;
  for (std::uint32_t i = 0; i < size; ++i)
    image[at + i] = static_cast<std::uint8_t>(seed + 0x11 * i);
  for (int i = 0; i < 4; ++i)
    image[at + i] = static_cast<std::uint8_t>(s.CameraId >> (8 * i));
  image[at + 4] = s.ConfigFlags;
  image[at + 5] = s.PositionCount;
  const std::uint32_t name = at + (c.Class <= 2 ? 14 : 16);
  const std::size_t length = std::strlen(s.TypeName);
  for (std::size_t i = 0; i < 14; ++i)
    image[name + i] = i < length ? static_cast<std::uint8_t>(s.TypeName[i]) : 0;
  return image;
}

// The stand-ins the suite starts: the pair most rows use, one of each address
// form, and one camera of every class.
const TCamera kShort = MakeCamera(3, "short");
const TCamera kLong = MakeCamera(7, "long");
const TCamera kEvery[8] = {MakeCamera(1, "c1"), MakeCamera(2, "c2"), MakeCamera(3, "c3"),
                           MakeCamera(4, "c4"), MakeCamera(5, "c5"), MakeCamera(6, "c6"),
                           MakeCamera(7, "c7"), MakeCamera(8, "c8")};

TBytes Frame(const TCamera& c, std::uint8_t opcode, std::uint32_t address, std::uint32_t count) {
  TBytes f = {opcode};
  for (int i = 0; i < (c.Long ? 4 : 1); ++i)
    f.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
  f.push_back(static_cast<std::uint8_t>(count));
  return f;
}
TBytes Read(const TCamera& c, std::uint32_t address, std::uint32_t count) {
  return Frame(c, 0x12, address, count);
}
TBytes Write(const TCamera& c, std::uint32_t address, const TBytes& data) {
  TBytes f = Frame(c, 0x13, address, static_cast<std::uint32_t>(data.size()));
  f.insert(f.end(), data.begin(), data.end());
  return f;
}

std::string Hex(const TBytes& bytes, std::size_t most = 12) {
  if (bytes.empty())
    return "(nothing)";
  std::string out;
  char b[4];
  for (std::size_t i = 0; i < bytes.size() && i < most; ++i) {
    std::snprintf(b, sizeof b, "%s%02x", i ? " " : "", bytes[i]);
    out += b;
  }
  if (bytes.size() > most)
    out += " ... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

// ---------------------------------------------------------------------------
// Failures of the running row.

// A row runs in a process of its own; each failure is a line written at once
// to its report, so that what a hanging row found before it hung is kept.
int g_report = -1;
volatile sig_atomic_t g_sigpipe = 0;

bool Expect(bool ok, const std::string& what) {
  if (!ok) {
    const std::string line = what + "\n";
    [[maybe_unused]] const ssize_t n = write(g_report, line.data(), line.size());
  }
  return ok;
}

bool ExpectBytes(const TBytes& got, const TBytes& want, const std::string& what) {
  return Expect(got == want, what + ": expected " + Hex(want) + ", got " + Hex(got));
}

// ---------------------------------------------------------------------------
// Processes and raw sockets: the suite's own, independent of both sides.

bool WaitReadable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

// Waits for the process to end; its exit status, or -1 after timeoutMs.
int WaitExit(pid_t pid, int timeoutMs) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    WaitReadable(pidfd, timeoutMs);
    close(pidfd);
  }
  int status = 0;
  if (waitpid(pid, &status, pidfd >= 0 ? WNOHANG : 0) != pid)
    return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A SEQPACKET connection to a socket entry of any path length.
int Connect(const std::string& path) {
  const auto slash = path.rfind('/');
  const int dir = open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0)
    return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/%s", dir,
                path.substr(slash + 1).c_str());
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    fd = -1;
  }
  close(dir);
  return fd;
}

bool Send(int fd, const TBytes& frame) {
  return send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
}

// One message; nullopt when none came in time, empty at the end of the stream.
std::optional<TBytes> Receive(int fd, int ms = kWaitMs) {
  if (!WaitReadable(fd, ms))
    return std::nullopt;
  std::uint8_t buffer[256];
  const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n < 0)
    return TBytes{};
  return TBytes(buffer, buffer + n);
}

struct TRawPipes {
  explicit TRawPipes(const std::string& interface, int count = 3) {
    for (int p = 0; p < count; ++p)
      Fd[p] = Connect(interface + "/" + std::to_string(p));
  }
  ~TRawPipes() {
    for (int fd : Fd)
      if (fd >= 0)
        close(fd);
  }
  TRawPipes(const TRawPipes&) = delete;
  TRawPipes& operator=(const TRawPipes&) = delete;
  bool Open() const { return Fd[0] >= 0 && Fd[1] >= 0 && Fd[2] >= 0; }
  TBytes Exchange(const TBytes& frame) const {
    return Send(Fd[0], frame) ? Receive(Fd[1]).value_or(TBytes{}) : TBytes{};
  }
  int Fd[3] = {-1, -1, -1};
};

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& e : fs::directory_iterator(dir, error))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The interfaces of a class as the document defines them, read without the tool.
std::vector<std::string> InterfaceNames(const std::string& classDir) {
  std::vector<std::string> names;
  for (const std::string& name : Names(classDir))
    if (name[0] != '.' && IsDirectory(classDir + "/" + name))
      names.push_back(name);
  return names;
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// ---------------------------------------------------------------------------
// The stand-in program. Its command lines, as the document lists them:
// `CMD ARGS serve --unplugged SAMPLE=ID...` prints "ready" once its cameras
// are installed; `CMD ARGS plug ID`, `unplug ID` and `stop` return once done,
// with exit status 0, and the server ends within kStopMs of `stop`.

const char kServePair[] = "serve --unplugged selvo-kai=short tamis-a=long";
const char kServeEvery[] =
    "serve --unplugged ortek-kai=c1 ortek-kaf=c2 selvo-kai=c3 selvo-kaf=c4 selvo-e2v=c5 "
    "selvo-e2vb=c6 tamis-a=c7 tamis-b=c8";

class CStandin {
 public:
  CStandin(std::string command, const std::string& base)
      : Base(base),
        Root(base + "/devices"),
        Registry(base + "/registry"),
        State(base + "/state"),
        Log(base + "/standin.log"),
        CommandLine(std::move(command)) {}
  ~CStandin() { Stop(); }
  CStandin(const CStandin&) = delete;
  CStandin& operator=(const CStandin&) = delete;

  bool Serve(const std::string& words) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
      return false;
    ServerPid = Spawn(words, out[1]);
    close(out[1]);
    std::string text;
    char buffer[256];
    while (text.find("ready\n") == std::string::npos && WaitReadable(out[0], 3 * kWaitMs)) {
      const ssize_t n = read(out[0], buffer, sizeof buffer);
      if (n <= 0)
        break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    return ServerPid > 0 && text.find("ready\n") != std::string::npos;
  }

  // A client command, started and not waited for.
  pid_t Start(const std::string& words) { return Spawn(words, -1); }
  // Its exit status; -1 when it did not return within kCommandMs (it is killed).
  static int Finish(pid_t pid) {
    const int status = pid > 0 ? WaitExit(pid, kCommandMs) : -1;
    if (status < 0 && pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    return status;
  }
  bool Run(const std::string& words) { return Finish(Start(words)) == 0; }

  bool Plug(const TCamera& c) { return Run(std::string("plug ") + c.Id); }
  bool Unplug(const TCamera& c) { return Run(std::string("unplug ") + c.Id); }

  // Waits for the server to end: its exit status, or -1 when it still runs
  // after ms (it is killed).
  int Reap(int ms) {
    if (ServerPid <= 0)
      return -1;
    const int status = WaitExit(ServerPid, ms);
    if (status < 0) {
      kill(ServerPid, SIGKILL);
      waitpid(ServerPid, nullptr, 0);
    }
    ServerPid = -1;
    return status;
  }

  void Stop() {
    if (ServerPid <= 0)
      return;
    Run("stop");
    Reap(kStopMs);
  }

  std::string Tail(std::size_t lines) const {
    std::vector<std::string> all;
    std::istringstream text(ReadText(Log));
    for (std::string line; std::getline(text, line);)
      all.push_back(line);
    std::string out;
    for (std::size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i)
      out += "  " + all[i] + "\n";
    return out;
  }

  std::string ClassDir(const TCamera& c) const { return Root + "/" + c.ClassDir; }
  // The camera's interface directory, found as the document defines it.
  std::string Interface(const TCamera& c) const {
    const auto names = InterfaceNames(ClassDir(c));
    return names.size() == 1 ? ClassDir(c) + "/" + names[0] : std::string();
  }

  const std::string& Command() const { return CommandLine; }

  const std::string Base, Root, Registry, State, Log;

 private:
  pid_t Spawn(const std::string& words, int out) {
    // The suite's own paths: no quote in them.
    const std::string line = "export PELWIN_DEVICE_ROOT='" + Root + "' PELWIN_MACHINE_REGISTRY='" +
                             Registry + "' CAMSIM_STATE='" + State + "'; exec " + CommandLine +
                             " " + words;
    const char* argv[] = {"/bin/sh", "-c", line.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, Log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0)
      posix_spawn_file_actions_adddup2(&actions, out, 1);
    else
      posix_spawn_file_actions_adddup2(&actions, 2, 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
      pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  std::string CommandLine;
  pid_t ServerPid = -1;
};

// ---------------------------------------------------------------------------
// The tool's side: its platform layer, called as the program calls it.

HANDLE ToolOpen(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

// SetupDiGetClassDevsA and the enumeration loop; the device paths in order.
std::vector<std::string> ToolEnumerate(const GUID& guid) {
  std::vector<std::string> paths;
  HDEVINFO set =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (!Expect(set != INVALID_HANDLE_VALUE, "tool: SetupDiGetClassDevsA failed"))
    return paths;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) {
      Expect(
          GetLastError() == ERROR_NO_MORE_ITEMS,
          "tool: enumeration ends with ERROR_NO_MORE_ITEMS, got " + std::to_string(GetLastError()));
      break;
    }
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
    std::vector<char> block(std::max<DWORD>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
    detail->cbSize = sizeof *detail;
    if (Expect(SetupDiGetDeviceInterfaceDetailA(set, &data, detail,
                                                static_cast<DWORD>(block.size()), nullptr, nullptr),
               "tool: the detail of interface " + std::to_string(index) + " could not be read"))
      paths.emplace_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

// The program's three pipes: DevicePath + "\0", "\1", "\2".
struct TToolPipes {
  explicit TToolPipes(const std::string& devicePath) {
    for (int p = 0; p < 3; ++p)
      H[p] = ToolOpen(devicePath + "\\" + std::to_string(p));
  }
  ~TToolPipes() {
    for (HANDLE h : H)
      if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
  }
  TToolPipes(const TToolPipes&) = delete;
  TToolPipes& operator=(const TToolPipes&) = delete;
  bool Open() const {
    return H[0] != INVALID_HANDLE_VALUE && H[1] != INVALID_HANDLE_VALUE &&
           H[2] != INVALID_HANDLE_VALUE;
  }
  // One WriteFile, one ReadFile of `replySize` bytes; empty when either fails.
  TBytes Exchange(const TBytes& frame, DWORD replySize = 64) const {
    DWORD moved = 0;
    if (!WriteFile(H[0], frame.data(), static_cast<DWORD>(frame.size()), &moved, nullptr) ||
        moved != frame.size())
      return {};
    TBytes reply(replySize);
    if (!ReadFile(H[1], reply.data(), replySize, &moved, nullptr))
      return {};
    reply.resize(moved);
    return reply;
  }
  HANDLE H[3] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
};

// ---------------------------------------------------------------------------
// The run: one stand-in with both cameras, and helpers the rows share.

struct TContext {
  CStandin& Standin;
  std::set<std::string> Plugged;

  bool Plug(const TCamera& c) {
    if (Plugged.count(c.Id))
      return true;
    if (!Expect(Standin.Plug(c), std::string("stand-in: `plug ") + c.Id + "` failed"))
      return false;
    Plugged.insert(c.Id);
    return true;
  }
  bool Unplug(const TCamera& c) {
    if (!Plugged.erase(c.Id))
      return true;
    return Expect(Standin.Unplug(c), std::string("stand-in: `unplug ") + c.Id + "` failed");
  }
  bool Replug(const TCamera& c) { return Unplug(c) && Plug(c); }

  std::string ServiceKey(std::uint16_t code) const {
    std::string dir = Standin.Registry;
    for (char ch : "\\" + kServiceKeys.at(code))
      dir += ch == '\\' ? '/' : ch;
    return dir;
  }
  // The model code in the short camera's identity header, as its driver reads it.
  std::uint16_t ModelCode() {
    TRawPipes pipes(Standin.Interface(kShort));
    const TBytes header = pipes.Exchange(Read(kShort, 0, 10));
    if (!Expect(header.size() == 11 && header[0] == 0x80, "stand-in: the header could not be read"))
      return 0;
    return static_cast<std::uint16_t>(header[4] | header[5] << 8);
  }
  // Writes one byte back as it is: 80 when writes are accepted, 82 when not.
  std::uint8_t TryWrite(const TCamera& c, std::uint32_t address = 0xF0) {
    TRawPipes pipes(Standin.Interface(c));
    const TBytes old = pipes.Exchange(Read(c, address, 1));
    if (!Expect(old.size() == 2, "stand-in: a one-byte read got " + Hex(old)))
      return 0;
    const TBytes reply = pipes.Exchange(Write(c, address, {old[1]}));
    return reply.size() == 1 ? reply[0] : 0;
  }
  void SetPermission(std::uint16_t code, std::optional<std::uint32_t> value) {
    fs::create_directories(ServiceKey(code));
    const std::string file = ServiceKey(code) + "/" + kPermissionValue;
    std::error_code ignored;
    fs::remove_all(file, ignored);
    if (value) {
      char text[16];
      std::snprintf(text, sizeof text, "dword:%08x\n", static_cast<unsigned>(*value));
      WriteText(file, text);
    }
  }
};

struct TRow {
  const char* Id;
  const char* Point;  // the document's section and rule
  const char* Side;   // "tool", "stand-in" or "both"
  std::function<void(TContext&)> Run;
  const char* Serve = kServePair;  // the stand-in's command line
  bool LongRoot = false;           // a device root longer than sun_path
};

// --- Interface classes and interfaces -------------------------------------

void RowLayout(TContext& x) {
  CStandin& s = x.Standin;
  // Installed but unplugged: the class directories are there and empty.
  for (const TCamera* c : {&kShort, &kLong})
    Expect(IsDirectory(s.ClassDir(*c)) && InterfaceNames(s.ClassDir(*c)).empty(),
           std::string("stand-in: class directory ") + c->ClassDir +
               " present and empty before the first arrival");
  // Installing the driver makes its key; the tool only ever adds the value.
  Expect(IsDirectory(x.ServiceKey(kShort.ModelCode)),
         "stand-in: the service key of model code " + std::to_string(kShort.ModelCode) +
             " exists once the camera is installed, before its first plug-in");
  for (const TCamera* c : {&kShort, &kLong}) {
    if (!x.Plug(*c))
      return;
    const auto names = InterfaceNames(s.ClassDir(*c));
    if (!Expect(names.size() == 1, std::string("stand-in: one interface directory in ") +
                                       c->ClassDir + ", found " + std::to_string(names.size())))
      continue;
    for (const char* pipe : {"0", "1", "2"}) {
      struct stat st;
      const std::string entry = s.Interface(*c) + "/" + pipe;
      const int fd = Connect(entry);
      Expect(lstat(entry.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && fd >= 0,
             "stand-in: entry " + entry + " is a listening SEQPACKET socket");
      if (fd >= 0)
        close(fd);
    }
  }
  for (const std::string& name : Names(s.Root))
    Expect(
        name[0] == '.' ||
            std::count(std::begin(kClassDirectories), std::end(kClassDirectories), name) == 1,
        "stand-in: '" + name + "' in the device root is neither a class directory nor a '.'-name");
  for (const std::string& name : Names(s.ClassDir(kShort)))
    Expect(name[0] == '.' || IsDirectory(s.ClassDir(kShort) + "/" + name),
           "stand-in: '" + name + "' in a class directory is neither an interface nor a '.'-name");
  Expect(
      x.ModelCode() == kShort.ModelCode,
      "stand-in: the header carries the sample's model code " + std::to_string(kShort.ModelCode));
}

void RowEnumeration(TContext& x) {
  CStandin& s = x.Standin;
  if (!x.Plug(kShort))
    return;
  const std::string dir = s.ClassDir(kShort);
  const std::string real = s.Interface(kShort);
  // What else may sit in a class directory: arrivals and removals under way
  // ('.'-names), and things that are no interface at all.
  fs::create_directories(dir + "/.arriving");
  fs::create_directories(dir + "/Zz");
  fs::create_directories(dir + "/cam\xc3\xa9");
  WriteText(dir + "/file", "x");
  fs::create_directory_symlink(real, dir + "/link");
  // Byte order: 'Z' before 'c', and a byte above 0x7f after any ASCII digit.
  std::vector<std::string> want = {dir + "/Zz", real, dir + "/cam\xc3\xa9"};
  std::sort(want.begin(), want.end());
  const auto paths = ToolEnumerate(kShort.Guid);
  std::string got;
  for (const std::string& p : paths)
    got += " " + p.substr(p.rfind('/') + 1);
  Expect(paths == want,
         "tool: enumeration lists the interface directories in byte order, and no "
         "'.'-name, file or symbolic link; got" +
             got);
  for (const std::string& p : paths)
    Expect(p[0] == '/', "tool: device path " + p + " is absolute");
  std::error_code ignored;
  for (const char* name : {"/.arriving", "/Zz", "/cam\xc3\xa9", "/file", "/link"})
    fs::remove(dir + name, ignored);
  Expect(ToolEnumerate(kLong.Guid).size() == x.Plugged.count(kLong.Id),
         "tool: another class's interfaces are not listed");
  const GUID notInstalled = {
      0x2BCDDA06, 0xF3C9, 0x4AE6, {0xB2, 0x57, 0x21, 0x9D, 0xEF, 0xA0, 0xAB, 0xCB}};
  Expect(ToolEnumerate(notInstalled).empty(), "tool: a class without a directory has no interface");
}

void RowPipes(TContext& x) {
  if (!x.Plug(kShort))
    return;
  const auto paths = ToolEnumerate(kShort.Guid);
  if (!Expect(paths.size() == 1, "tool: the plugged camera is enumerated"))
    return;
  const std::string path = paths[0];
  {
    TToolPipes pipes(path);
    Expect(pipes.Open(), "both: CreateFileA(DevicePath + \"\\N\") opens pipes 0, 1 and 2");
    const TBytes reply = pipes.Exchange(Read(kShort, 0, 1));
    Expect(reply.size() == 2 && reply[0] == 0x80,
           "both: a request on pipe 0 is answered on pipe 1, got " + Hex(reply));
  }
  HANDLE dir = ToolOpen(path);
  Expect(dir != INVALID_HANDLE_VALUE, "tool: opening the interface path opens the directory");
  if (dir != INVALID_HANDLE_VALUE)
    CloseHandle(dir);
  // Entries that are no pipe: absent, a socket nobody listens on, a file.
  {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s/7", path.c_str());
    // A probe that could not be set up would pass by itself.
    Expect(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0,
           "suite: a socket nobody listens on could not be bound as entry 7");
    close(fd);
  }
  WriteText(path + "/8", "");
  for (const char* entry : {"\\3", "\\7", "\\8"}) {
    HANDLE h = ToolOpen(path + entry);
    Expect(h == INVALID_HANDLE_VALUE,
           std::string("tool: pipe ") + entry + " (absent, refusing or a file) does not open");
    if (h != INVALID_HANDLE_VALUE)
      CloseHandle(h);
  }
  unlink((path + "/7").c_str());
  unlink((path + "/8").c_str());
}

// The row's stand-in serves on a root longer than sun_path.
void RowLongRoot(TContext& x) {
  if (!Expect(x.Standin.Root.size() > sizeof(sockaddr_un::sun_path),
              "suite: the device root is longer than sun_path") ||
      !x.Plug(kLong))
    return;
  const auto paths = ToolEnumerate(kLong.Guid);
  if (Expect(paths.size() == 1, "tool: enumerates on a long root")) {
    TToolPipes pipes(paths[0]);
    Expect(pipes.Open() && pipes.Exchange(Read(kLong, 0x3FF80, 4)).size() == 5,
           "both: pipes open and answer on a root longer than sun_path");
  }
}

// --- Arrival and removal ---------------------------------------------------

struct TEvent {
  std::uint32_t Mask;
  std::string Name;
};

std::vector<TEvent> Drain(int fd) {
  std::vector<TEvent> events;
  alignas(inotify_event) char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0)
    for (char* p = buffer; p < buffer + n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(p);
      events.push_back({e->mask, e->len ? e->name : ""});
      p += sizeof(inotify_event) + e->len;
    }
  return events;
}

void RowArrivalByRename(TContext& x) {
  CStandin& s = x.Standin;
  x.Unplug(kShort);
  const std::string dir = s.ClassDir(kShort);
  // A class directory someone removed is made again at the next arrival.
  std::error_code ignored;
  fs::remove(dir, ignored);
  Expect(x.Plug(kShort) && !s.Interface(kShort).empty(),
         "stand-in: an arrival makes a missing class directory");
  x.Unplug(kShort);
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_DELETE | IN_MOVE);
  // Seen through inotify, an interface appears and goes only by rename.
  auto only = [&](std::uint32_t move, const char* what) {
    int seen = 0;
    for (const TEvent& e : Drain(watch)) {
      if (e.Name[0] == '.')
        continue;
      seen += (e.Mask & ~IN_ISDIR) == move && (e.Mask & IN_ISDIR);
      Expect((e.Mask & ~IN_ISDIR) == move,
             std::string("stand-in: the ") + what + " of '" + e.Name + "' is a single rename");
    }
    Expect(seen == 1,
           std::string("stand-in: one ") + what + " seen as a rename, got " + std::to_string(seen));
  };
  if (!x.Plug(kShort))
    return;
  only(IN_MOVED_TO, "arrival");
  {
    TRawPipes held(s.Interface(kShort));
    Expect(held.Open(), "stand-in: every pipe listens once the interface has arrived");
    // A connection still waiting in a listen queue is closed at removal too.
    const int queued = Connect(s.Interface(kShort) + "/1");
    x.Unplug(kShort);
    only(IN_MOVED_FROM, "removal");
    for (int fd : {held.Fd[1], held.Fd[2], queued}) {
      const auto end = Receive(fd);
      Expect(end && end->empty(), "stand-in: after removal every connection reads end of stream");
    }
    if (queued >= 0)
      close(queued);
  }
  Expect(Names(dir).empty(), "stand-in: removal leaves nothing in the class directory");
  Expect(IsDirectory(dir), "stand-in: the class directory stays after removal");
  close(watch);
}

// With `yield`, every other process of the row's group (the stand-in) runs on
// this process's CPU as SCHED_IDLE: when it wakes this process, by closing a
// connection for instance, this process runs at once, before the stand-in
// takes its next step. Without, all run as before. True when every thread
// could be moved.
bool YieldToSuite(bool yield) {
  static cpu_set_t all;
  static const bool saved = sched_getaffinity(0, sizeof all, &all) == 0;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  const cpu_set_t& mask = yield ? one : all;
  bool ok = saved && sched_setaffinity(0, sizeof mask, &mask) == 0;
  int threads = 0;
  std::error_code error;
  for (const auto& process : fs::directory_iterator("/proc", error)) {
    const pid_t pid = std::atoi(process.path().filename().c_str());
    if (pid <= 0 || pid == getpid() || getpgid(pid) != getpgrp())
      continue;
    for (const auto& task : fs::directory_iterator(process.path() / "task", error)) {
      const pid_t tid = std::atoi(task.path().filename().c_str());
      const sched_param normal{};
      const bool moved = sched_setaffinity(tid, sizeof mask, &mask) == 0 &&
                         sched_setscheduler(tid, yield ? SCHED_IDLE : SCHED_OTHER, &normal) == 0;
      // A thread that has ended meanwhile needs no moving.
      ok = ok && (moved || errno == ESRCH);
      threads += moved;
    }
  }
  return ok && threads > 0;
}

// An interface appears with every entry listening: the moment the suite sees
// the rename, all three pipes open. The stand-in yields to the suite, so it
// cannot go on to bind after the rename before the suite has looked.
void RowArrivalOrder(TContext& x) {
  CStandin& s = x.Standin;
  const std::string dir = s.ClassDir(kShort);
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (!Expect(inotify_add_watch(watch, dir.c_str(), IN_MOVED_TO) >= 0,
              "stand-in: the class directory is there before the first arrival") ||
      !Expect(YieldToSuite(true), "suite: the stand-in could not be put on the suite's CPU")) {
    close(watch);
    return;
  }
  const pid_t plug = s.Start(std::string("plug ") + kShort.Id);
  std::string name;
  while (name.empty() && WaitReadable(watch, kCommandMs))
    for (const TEvent& e : Drain(watch))
      if (name.empty() && e.Name[0] != '.')
        name = e.Name;
  int listening = 0;
  for (int p = 0; p < 3 && !name.empty(); ++p) {
    const int fd = Connect(dir + "/" + name + "/" + std::to_string(p));
    listening += fd >= 0;
    if (fd >= 0)
      close(fd);
  }
  YieldToSuite(false);
  close(watch);
  Expect(!name.empty(), "stand-in: the arrival is a rename into the class directory");
  Expect(listening == 3, "stand-in: all three entries listen the moment the interface appears; " +
                             std::to_string(listening) + " did");
  if (Expect(CStandin::Finish(plug) == 0, "stand-in: `plug short` returns with exit status 0"))
    x.Plugged.insert(kShort.Id);
}

// Removal renames the interface away before it closes anything: a client
// that sees its connection end already finds the interface gone. The
// stand-in yields to the suite, so the suite looks the moment the first
// connection ends.
void RowRemovalOrder(TContext& x) {
  CStandin& s = x.Standin;
  if (!x.Plug(kShort))
    return;
  const std::string path = s.Interface(kShort);
  std::vector<std::unique_ptr<TRawPipes>> held;
  std::vector<pollfd> watched;
  for (int i = 0; i < 4; ++i) {
    held.push_back(std::make_unique<TRawPipes>(path));
    for (int fd : held.back()->Fd)
      if (fd >= 0)
        watched.push_back({fd, POLLIN, 0});
  }
  if (!Expect(watched.size() == 12, "stand-in: 4 clients connect to all three pipes") ||
      !Expect(YieldToSuite(true), "suite: the stand-in could not be put on the suite's CPU"))
    return;
  const pid_t unplug = s.Start(std::string("unplug ") + kShort.Id);
  x.Plugged.erase(kShort.Id);
  const bool ended = poll(watched.data(), watched.size(), kCommandMs) > 0;
  struct stat st;
  const bool present = lstat(path.c_str(), &st) == 0;
  YieldToSuite(false);
  Expect(ended, "stand-in: removal ends the connections");
  Expect(!present,
         "stand-in: removal renames the interface directory away before it closes a connection");
  Expect(CStandin::Finish(unplug) == 0, "stand-in: `unplug short` returns with exit status 0");
}

// `stop` removes what is plugged in, keeps every class directory and ends
// the server in the time the document gives it.
void RowStop(TContext& x) {
  CStandin& s = x.Standin;
  if (!x.Plug(kShort))
    return;
  const std::string path = s.Interface(kShort);
  const std::string name = path.substr(path.rfind('/') + 1);
  TRawPipes held(path);
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  inotify_add_watch(watch, s.ClassDir(kShort).c_str(), IN_CREATE | IN_DELETE | IN_MOVE);
  Expect(s.Run("stop"), "stand-in: `stop` returns with exit status 0");
  const int status = s.Reap(kStopMs);
  Expect(status == 0, "stand-in: the server ends with exit status 0 within " +
                          std::to_string(kStopMs / 1000) + " s of `stop` returning, " +
                          (status < 0 ? "still running" : "status " + std::to_string(status)));
  int renamed = 0;
  for (const TEvent& e : Drain(watch))
    renamed += e.Name == name && (e.Mask & ~IN_ISDIR) == IN_MOVED_FROM;
  close(watch);
  Expect(renamed == 1, "stand-in: `stop` removes a plugged-in camera by renaming it away");
  for (const TCamera* c : {&kShort, &kLong})
    Expect(IsDirectory(s.ClassDir(*c)) && Names(s.ClassDir(*c)).empty(),
           std::string("stand-in: after `stop` the class directory ") + c->ClassDir +
               " is still there, and empty");
}

void RowNotification(TContext& x) {
  x.Unplug(kShort);
  PlatformFakeLoop loop;
  HWND window = reinterpret_cast<HWND>(0x1234);
  unsigned char block[sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) + 260] = {};
  auto* filter = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(block);
  filter->dbcc_size = sizeof block;
  filter->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter->dbcc_classguid = kShort.Guid;
  HDEVNOTIFY reg = RegisterDeviceNotificationA(window, block, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (!Expect(reg != nullptr, "tool: RegisterDeviceNotificationA watches the class directory"))
    return;
  // What the tool must not take for an arrival or a removal: '.'-names, files,
  // and a directory made in place (its pipes may not listen yet).
  const std::string dir = x.Standin.ClassDir(kShort);
  fs::create_directory(dir + "/.x");
  fs::rename(dir + "/.x", dir + "/.y");
  fs::remove(dir + "/.y");
  WriteText(dir + "/file", "");
  fs::remove(dir + "/file");
  fs::create_directory(dir + "/inplace");
  fs::remove(dir + "/inplace");
  // Nor anything in another class.
  x.Replug(kLong);
  if (x.Plug(kShort)) {
    const std::string path = x.Standin.Interface(kShort);
    loop.PumpUntil(1);
    while (loop.Pump(kQuietMs) > 0) {
    }
    if (Expect(loop.Messages.size() == 1,
               "tool: one message for one arrival, got " + std::to_string(loop.Messages.size()))) {
      const auto& m = loop.Messages[0];
      Expect(m.Window == window && m.Msg == WM_DEVICECHANGE && m.Event == DBT_DEVICEARRIVAL &&
                 m.DeviceType == DBT_DEVTYP_DEVICEINTERFACE && m.Name == path &&
                 m.Size == offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + path.size() + 1 &&
                 std::memcmp(&m.ClassGuid, &kShort.Guid, sizeof(GUID)) == 0,
             "tool: arrival is WM_DEVICECHANGE, DBT_DEVICEARRIVAL with the interface path, got " +
                 m.Name);
    }
    loop.Messages.clear();
    x.Unplug(kShort);
    loop.PumpUntil(1);
    while (loop.Pump(kQuietMs) > 0) {
    }
    Expect(loop.Messages.size() == 1 && loop.Messages[0].Event == DBT_DEVICEREMOVECOMPLETE &&
               loop.Messages[0].Name == path,
           "tool: removal is one DBT_DEVICEREMOVECOMPLETE with the interface path");
  }
  UnregisterDeviceNotification(reg);
}

// --- Frames and status codes ----------------------------------------------

void RowOneMessagePerFrame(TContext& x) {
  if (!x.Plug(kShort))
    return;
  const auto paths = ToolEnumerate(kShort.Guid);
  if (paths.size() != 1)
    return;
  TToolPipes pipes(paths[0]);
  if (!Expect(pipes.Open(), "tool: pipes open"))
    return;
  const TBytes header = pipes.Exchange(Read(kShort, 0, 10));
  if (!Expect(header.size() == 11 && header[0] == 0x80, "both: read of 10 answered 80 + 10 bytes"))
    return;
  DWORD moved = 0;
  // Two requests before any read: two replies, in order, one per ReadFile;
  // a reply longer than asked for is cut and its rest discarded.
  const TBytes first = Read(kShort, 0, 10), second = Read(kShort, 1, 2);
  WriteFile(pipes.H[0], first.data(), 3, &moved, nullptr);
  Expect(moved == 3, "tool: one WriteFile moves the whole frame");
  WriteFile(pipes.H[0], second.data(), 3, &moved, nullptr);
  TBytes got(64);
  ReadFile(pipes.H[1], got.data(), 4, &moved, nullptr);
  got.resize(moved);
  ExpectBytes(got, TBytes(header.begin(), header.begin() + 4),
              "both: the first reply, cut to the 4 bytes asked for");
  got.assign(64, 0);
  ReadFile(pipes.H[1], got.data(), 64, &moved, nullptr);
  got.resize(moved);
  ExpectBytes(got, {0x80, header[2], header[3]}, "both: the second reply, whole and next");

  // Zero bytes: WriteFile sends no message (else the camera would answer it
  // with 83 first) and ReadFile takes none.
  Expect(WriteFile(pipes.H[0], first.data(), 0, &moved, nullptr) && moved == 0,
         "tool: WriteFile of 0 bytes succeeds and moves nothing");
  WriteFile(pipes.H[0], second.data(), 3, &moved, nullptr);
  Expect(ReadFile(pipes.H[1], got.data(), 0, &moved, nullptr) && moved == 0,
         "tool: ReadFile of 0 bytes succeeds and moves nothing");
  got.assign(64, 0);
  ReadFile(pipes.H[1], got.data(), 64, &moved, nullptr);
  got.resize(moved);
  ExpectBytes(got, {0x80, header[2], header[3]},
              "tool: after empty calls the next reply is the next request's");
}

struct TFrameCase {
  const char* What;
  std::function<TBytes(const TCamera&)> Make;
  std::uint8_t Status;  // without write permission
  std::uint8_t StatusWithPermission;
};

TBytes Repeat(std::size_t n, std::uint8_t b) {
  return TBytes(n, b);
}

const std::vector<TFrameCase> kFrameCases = {
    {"empty message", [](const TCamera&) { return TBytes{}; }, 0x83, 0x83},
    {"unknown opcode",
     [](const TCamera&) {
       return TBytes{0x14, 0, 1};
     },
     0x83, 0x83},
    {"opcode 00", [](const TCamera&) { return TBytes{0x00}; }, 0x83, 0x83},
    {"1000 bytes, unknown opcode", [](const TCamera&) { return Repeat(1000, 0x14); }, 0x83, 0x83},
    {"65 bytes", [](const TCamera&) { return Repeat(65, 0x12); }, 0x82, 0x82},
    // Cut to 64 bytes, as by a too small receive buffer, it would be a good write.
    {"65 bytes, a whole write and one byte more",
     [](const TCamera& c) {
       TBytes f = Write(c, 0, Repeat(c.MaxWrite, 0));
       f.push_back(0);
       return f;
     },
     0x82, 0x82},
    {"opcode alone", [](const TCamera&) { return TBytes{0x12}; }, 0x82, 0x82},
    {"shorter than the fixed part",
     [](const TCamera& c) {
       TBytes f = Read(c, 0, 1);
       f.pop_back();
       return f;
     },
     0x82, 0x82},
    {"read count 0", [](const TCamera& c) { return Read(c, 0, 0); }, 0x82, 0x82},
    {"write count 0", [](const TCamera& c) { return Frame(c, 0x13, 0, 0); }, 0x82, 0x82},
    {"read count 64", [](const TCamera& c) { return Read(c, 0, 64); }, 0x82, 0x82},
    {"read with a byte too many",
     [](const TCamera& c) {
       TBytes f = Read(c, 0, 1);
       f.push_back(0);
       return f;
     },
     0x82, 0x82},
    {"read of the other address form",
     [](const TCamera& c) { return Read(c.Long ? kShort : kLong, 0, 1); }, 0x82, 0x82},
    {"write count above the frame",
     [](const TCamera& c) { return Write(c, 0, Repeat(c.MaxWrite + 1, 0)); }, 0x82, 0x82},
    {"write one data byte short",
     [](const TCamera& c) {
       TBytes f = Write(c, 0, Repeat(4, 0));
       f.pop_back();
       return f;
     },
     0x82, 0x82},
    {"read past the end", [](const TCamera& c) { return Read(c, c.EepromSize - 62, 63); }, 0x81,
     0x81},
    {"read one byte past the end", [](const TCamera& c) { return Read(c, c.EepromSize - 1, 2); },
     0x81, 0x81},
    {"read at the highest address, running past the end (no overflow)",
     [](const TCamera& c) { return c.Long ? Read(c, 0xFFFFFFFF, 1) : Read(c, 0xFF, 2); }, 0x81,
     0x81},
    // Permission comes before the range.
    {"write past the end",
     [](const TCamera& c) { return Write(c, c.EepromSize - 1, Repeat(2, 0)); }, 0x82, 0x81},
    {"write at the highest address, running past the end (no overflow)",
     [](const TCamera& c) {
       return c.Long ? Write(c, 0xFFFFFFF0, Repeat(16, 0)) : Write(c, 0xFF, Repeat(2, 0));
     },
     0x82, 0x81},
};

void RowStatusMapping(TContext& x) {
  if (!x.Plug(kShort))
    return;
  const std::uint16_t code = x.ModelCode();
  for (const bool permitted : {false, true}) {
    if (kServiceKeys.count(code))
      x.SetPermission(code, permitted ? std::optional<std::uint32_t>(1) : std::nullopt);
    for (const TCamera* c : {&kShort, &kLong}) {
      if (!x.Replug(*c))
        return;
      // Through the stand-in's raw sockets: an empty message is no WriteFile.
      TRawPipes pipes(x.Standin.Interface(*c));
      const TBytes head = pipes.Exchange(Read(*c, 0, 63));
      const TBytes tail = pipes.Exchange(Read(*c, c->EepromSize - 63, 63));
      for (const TFrameCase& f : kFrameCases) {
        const bool allowed = permitted || !c->NeedsPermission;
        const std::uint8_t want = allowed ? f.StatusWithPermission : f.Status;
        ExpectBytes(
            pipes.Exchange(f.Make(*c)), {want},
            std::string("stand-in: ") + c->Id + " camera, " + f.What +
                (c->NeedsPermission ? (permitted ? ", permitted" : ", not permitted") : ""));
      }
      Expect(pipes.Exchange(Read(*c, 0, 63)) == head &&
                 pipes.Exchange(Read(*c, c->EepromSize - 63, 63)) == tail,
             std::string("stand-in: ") + c->Id + " camera, refusals changed nothing");
      // The last byte in range, read and written back.
      const TBytes last = pipes.Exchange(Read(*c, c->EepromSize - 1, 1));
      Expect(last.size() == 2 && last[0] == 0x80,
             std::string("stand-in: ") + c->Id + " camera, reading the last byte succeeds");
      if (last.size() == 2)
        ExpectBytes(pipes.Exchange(Write(*c, c->EepromSize - 1, {last[1]})),
                    {static_cast<std::uint8_t>(permitted || !c->NeedsPermission ? 0x80 : 0x82)},
                    std::string("stand-in: ") + c->Id + " camera, writing the last byte");
    }
  }
  if (kServiceKeys.count(code))
    x.SetPermission(code, std::nullopt);
}

// The whole EEPROM, 63 bytes a read; `problem` names the first read that was
// not answered 80 and its bytes.
TBytes ReadImage(const TRawPipes& pipes, const TCamera& c, std::string* problem) {
  TBytes image;
  for (std::uint32_t a = 0; a < c.EepromSize; a += 63) {
    const std::uint32_t n = std::min<std::uint32_t>(63, c.EepromSize - a);
    const TBytes reply = pipes.Exchange(Read(c, a, n));
    if (reply.size() != n + 1 || reply[0] != 0x80) {
      *problem =
          "a read of " + std::to_string(n) + " at " + std::to_string(a) + " got " + Hex(reply);
      return {};
    }
    image.insert(image.end(), reply.begin() + 1, reply.end());
  }
  return image;
}

// Reads the camera's whole image and compares it with `want`, naming the
// first address that differs.
void ExpectImage(const CStandin& s, const TCamera& c, const TBytes& want, const std::string& what) {
  TRawPipes pipes(s.Interface(c));
  std::string problem;
  const TBytes got = ReadImage(pipes, c, &problem);
  if (!Expect(problem.empty(), what + ": " + problem) || got == want)
    return;
  std::size_t at = 0;
  while (got[at] == want[at])
    ++at;
  char text[96];
  std::snprintf(text, sizeof text, ": %zu bytes differ, the first at 0x%zx (%02x, expected %02x)",
                static_cast<std::size_t>(std::inner_product(got.begin(), got.end(), want.begin(),
                                                            std::size_t{0}, std::plus<>(),
                                                            std::not_equal_to<>())),
                at, got[at], want[at]);
  Expect(false, what + text);
}

void RowSampleImages(TContext& x) {
  for (const TCamera& c : kEvery) {
    if (!x.Plug(c))
      continue;
    const std::string path = x.Standin.Interface(c);
    if (!Expect(!path.empty(), std::string("stand-in: ") + c.Sample +
                                   " arrives in its class directory " + c.ClassDir))
      continue;
    Expect(ToolEnumerate(c.Guid) == std::vector<std::string>{path},
           std::string("tool: the class GUID of ") + c.Sample + " enumerates its interface");
    ExpectImage(x.Standin, c, SampleImage(c),
                std::string("stand-in: ") + c.Sample +
                    " reads byte for byte as its sample image (" + (c.Long ? "long" : "short") +
                    " addresses)");
    x.Unplug(c);
  }
}

// Accepted writes are stored: the image reads back as written, and nothing
// else in it changed, also after a power cycle.
void RowWriteReadBack(TContext& x) {
  x.SetPermission(kShort.ModelCode, 1);
  for (const TCamera* c : {&kShort, &kLong}) {
    if (!x.Plug(*c))
      return;
    TBytes want = SampleImage(*c);
    // The largest writes: at 0, in the middle (a long address with three
    // non-zero bytes) and up to the last byte.
    const std::uint32_t middle = c->Long ? 0x2A5C3 : 0x7B;
    {
      TRawPipes pipes(x.Standin.Interface(*c));
      for (const std::uint32_t at : {0u, middle, c->EepromSize - c->MaxWrite}) {
        TBytes data(want.begin() + at, want.begin() + at + c->MaxWrite);
        for (std::uint8_t& b : data)
          b = static_cast<std::uint8_t>(~b);
        ExpectBytes(pipes.Exchange(Write(*c, at, data)), {0x80},
                    std::string("stand-in: ") + c->Id + " camera, a write of " +
                        std::to_string(data.size()) + " at " + std::to_string(at));
        std::copy(data.begin(), data.end(), want.begin() + at);
      }
    }
    ExpectImage(x.Standin, *c, want,
                std::string("stand-in: ") + c->Id + " camera, the image reads back as written");
    x.Replug(*c);
    ExpectImage(x.Standin, *c, want,
                std::string("stand-in: ") + c->Id + " camera, the writes outlast a power cycle");
  }
}

// --- Reply pairing and hang-ups -------------------------------------------

// Runs fn in a child process; its exit status (0: fine).
int InChild(const std::function<int()>& fn) {
  const pid_t pid = fork();
  if (pid == 0)
    _exit(fn());
  return pid > 0 ? WaitExit(pid, 2 * kWaitMs) : -1;
}

void RowReplyPairing(TContext& x) {
  if (!x.Plug(kShort))
    return;
  const std::string path = x.Standin.Interface(kShort);
  {
    TRawPipes older(path), newer(path);
    if (!Expect(older.Open() && newer.Open(), "stand-in: two sets of pipes open"))
      return;
    // Several pipe-1 connections of one process: the newest gets the reply.
    Send(older.Fd[0], Read(kShort, 0, 1));
    const auto reply = Receive(newer.Fd[1]);
    Expect(reply && reply->size() == 2,
           "stand-in: the newest pipe 1 of the process gets the reply");
    Expect(!Receive(older.Fd[1], kQuietMs), "stand-in: an older pipe 1 gets nothing");
    // Another process, whose pipes are older than this one's newest: pairing
    // is by process, not by age.
    int ready[2], go[2];
    if (pipe(ready) != 0 || pipe(go) != 0)
      return;
    const pid_t child = fork();
    if (child == 0) {
      TRawPipes own(path);
      char c = 1;
      if (!own.Open() || write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1)
        _exit(2);
      _exit(own.Exchange(Read(kShort, 0, 3)).size() == 4 ? 0 : 1);
    }
    char c = 0;
    const bool started = read(ready[0], &c, 1) == 1;
    TRawPipes newest(path);
    Expect(started && write(go[1], &c, 1) == 1 && WaitExit(child, 2 * kWaitMs) == 0,
           "stand-in: another process gets its reply on its own pipe 1");
    Expect(!Receive(newest.Fd[1], kQuietMs), "stand-in: no other process's reply comes here");
    for (int fd : {ready[0], ready[1], go[0], go[1]})
      close(fd);
  }
  // This process now holds no pipe 1: its reply is dropped, not kept for later.
  const int command = Connect(path + "/0");
  Send(command, Read(kShort, 0, 2));
  Expect(InChild(
             [&] { return TRawPipes(path).Exchange(Read(kShort, 0, 1)).size() == 2 ? 0 : 1; }) == 0,
         "stand-in: serves on while a reply has nowhere to go");
  const int data = Connect(path + "/1");
  Send(command, Read(kShort, 0, 5));
  const auto late = Receive(data);
  Expect(late && late->size() == 6,
         "stand-in: a reply without a pipe 1 is dropped, got " + Hex(late.value_or(TBytes{})));
  close(command);
  close(data);
}

void RowHangUp(TContext& x) {
  if (!x.Plug(kShort))
    return;
  const auto paths = ToolEnumerate(kShort.Guid);
  if (paths.size() != 1)
    return;
  // A client process hangs up with its request unanswered; the stand-in
  // serves the next client.
  InChild([&] {
    TRawPipes gone(paths[0]);
    return Send(gone.Fd[0], Read(kShort, 0, 10)) ? 0 : 1;
  });
  TToolPipes pipes(paths[0]);
  Expect(pipes.Exchange(Read(kShort, 0, 1)).size() == 2,
         "stand-in: a client that hung up does not disturb the next one");
  x.Unplug(kShort);
  std::uint8_t buffer[64];
  DWORD moved = 99;
  Expect(!ReadFile(pipes.H[1], buffer, 64, &moved, nullptr) && moved == 0 &&
             GetLastError() == ERROR_BROKEN_PIPE,
         "both: after unplug ReadFile fails with ERROR_BROKEN_PIPE and moves 0 bytes");
  moved = 99;
  g_sigpipe = 0;
  const TBytes frame = Read(kShort, 0, 1);
  Expect(!WriteFile(pipes.H[0], frame.data(), 3, &moved, nullptr) && moved == 0 &&
             GetLastError() == ERROR_BROKEN_PIPE,
         "both: after unplug WriteFile fails with ERROR_BROKEN_PIPE and moves 0 bytes");
  Expect(!g_sigpipe, "tool: a write to a closed pipe raises no SIGPIPE");
}

// --- Registry ---------------------------------------------------------------

struct TValueCase {
  const char* What;
  std::function<void(const std::string& file)> Make;
  std::optional<std::uint32_t> Value;  // nullopt: a missing value
};

std::function<void(const std::string&)> Text(std::string text) {
  return [text](const std::string& file) { WriteText(file, text); };
}

const std::vector<TValueCase> kValueCases = {
    {"dword:00000001", Text("dword:00000001\n"), 1u},
    {"dword:deadbeef", Text("dword:deadbeef\n"), 0xdeadbeefu},
    {"dword:00000000", Text("dword:00000000\n"), 0u},
    {"upper-case digits", Text("dword:0000000A\n"), std::nullopt},
    {"mixed-case digits", Text("dword:0000ABcd\n"), std::nullopt},
    {"no newline", Text("dword:00000001"), std::nullopt},
    {"CR LF", Text("dword:00000001\r\n"), std::nullopt},
    {"two newlines", Text("dword:00000001\n\n"), std::nullopt},
    {"without leading zeros", Text("dword:1\n"), std::nullopt},
    {"nine digits", Text("dword:000000001\n"), std::nullopt},
    {"leading space", Text(" dword:00000001\n"), std::nullopt},
    {"space for a zero", Text("dword: 0000001\n"), std::nullopt},
    {"upper-case prefix", Text("DWORD:00000001\n"), std::nullopt},
    {"sign", Text("dword:-0000001\n"), std::nullopt},
    {"non-digit", Text("dword:0000000g\n"), std::nullopt},
    {"NUL inside",
     Text(std::string("dword:0000\0"
                      "001\n",
                      15)),
     std::nullopt},
    {"empty file", Text(""), std::nullopt},
    {"other type", Text("hex:01,00,00,00\n"), std::nullopt},
    {"a directory", [](const std::string& f) { fs::create_directory(f); }, std::nullopt},
    {"a fifo (must not block)", [](const std::string& f) { mkfifo(f.c_str(), 0600); },
     std::nullopt},
    {"a symbolic link to a good value",
     [](const std::string& f) {
       WriteText(f + ".target", "dword:00000001\n");
       fs::create_symlink(fs::path(f).filename().string() + ".target", f);
     },
     std::nullopt},
};

void RowValueSyntax(TContext& x) {
  if (!x.Plug(kShort))
    return;
  const std::uint16_t code = x.ModelCode();
  if (!Expect(kServiceKeys.count(code), "stand-in: model code in the table"))
    return;
  const std::string key = x.ServiceKey(code), file = key + "/" + kPermissionValue;
  // The tool's reading now, the stand-in's at the next plug-in.
  auto both = [&](const std::string& what, std::optional<std::uint32_t> want) {
    TRegStoreKey* k = RegStoreOpen(HKEY_LOCAL_MACHINE, kServiceKeys.at(code).c_str(), false);
    std::uint32_t value = 0x5a5a5a5a;
    const bool read = RegStoreGetDword(k, kPermissionValue, &value);
    RegStoreClose(k);
    Expect(read == want.has_value() && (!read || value == *want) && (read || value == 0x5a5a5a5a),
           "tool: " + what + " reads as " + (want ? std::to_string(*want) : "missing"));
    if (!x.Replug(kShort))
      return false;
    const bool granted = want && *want != 0;
    return Expect(
        x.TryWrite(kShort) == (granted ? 0x80 : 0x82),
        "stand-in: " + what + " " + (granted ? "grants" : "does not grant") + " write permission");
  };
  std::error_code ignored;
  for (const TValueCase& v : kValueCases) {
    fs::remove_all(file, ignored);
    fs::remove(file + ".target", ignored);
    v.Make(file);
    // A case that could not be made would pass as a missing value.
    struct stat st;
    if (!Expect(lstat(file.c_str(), &st) == 0,
                std::string("suite: value file '") + v.What + "' could not be made"))
      continue;
    both(std::string("value file '") + v.What + "'", v.Value);
    fs::remove(file + ".target", ignored);
  }
  fs::remove_all(file, ignored);
  // A symbolic link standing for a key on the way, to a good value elsewhere.
  const std::string elsewhere = x.Standin.Base + "/elsewhere";
  fs::create_directories(elsewhere + "/Parameters");
  WriteText(elsewhere + "/Parameters/" + kPermissionValue, "dword:00000001\n");
  const std::string service = fs::path(key).parent_path().string();
  for (const auto& [what, link, target] :
       {std::tuple<const char*, std::string, std::string>{"the service key", service, elsewhere},
        {"the Parameters key", key, elsewhere + "/Parameters"}}) {
    fs::remove_all(link, ignored);
    fs::create_directory_symlink(target, link);
    both(std::string("a value behind a symbolic link for ") + what, std::nullopt);
    fs::remove(link, ignored);
    fs::create_directories(key);
  }
}

void RowValueWrite(TContext& x) {
  if (!x.Plug(kShort))
    return;
  const std::uint16_t code = x.ModelCode();
  if (!kServiceKeys.count(code))
    return;
  const std::string key = x.ServiceKey(code), file = key + "/" + kPermissionValue;
  x.SetPermission(code, 0);
  struct stat before;
  stat(file.c_str(), &before);
  const int reader = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  TRegStoreKey* k = RegStoreOpen(HKEY_LOCAL_MACHINE, kServiceKeys.at(code).c_str(), false);
  Expect(RegStoreSetDword(k, kPermissionValue, 0xABCDEF01) && ReadText(file) == "dword:abcdef01\n",
         "tool: a value is written as 'dword:', 8 lower-case digits and a newline");
  Expect(RegStoreSetDword(k, kPermissionValue, 1), "tool: value rewritten");
  RegStoreClose(k);
  char old[16] = {};
  Expect(reader >= 0 && read(reader, old, 15) == 15 && std::string(old) == "dword:00000000\n",
         "tool: a write renames a new file into place, the old one is never rewritten");
  if (reader >= 0)
    close(reader);
  Expect(Names(key) == std::vector<std::string>{kPermissionValue},
         "tool: no temporary file is left in the key");
  if (x.Replug(kShort))
    Expect(x.TryWrite(kShort) == 0x80, "both: the stand-in reads the value the tool wrote");
  x.SetPermission(code, std::nullopt);
}

void RowPermissionHeld(TContext& x) {
  if (!x.Plug(kShort))
    return;
  const std::uint16_t code = x.ModelCode();
  if (!Expect(code == 1029, "stand-in: the selvo-kai sample has model code 1029"))
    return;
  x.SetPermission(1029, std::nullopt);
  x.Replug(kShort);
  Expect(x.TryWrite(kShort) == 0x82, "stand-in: no value, no permission");
  x.SetPermission(1029, 1);
  Expect(x.TryWrite(kShort) == 0x82, "stand-in: a value set while plugged in counts only later");
  x.Replug(kShort);
  Expect(x.TryWrite(kShort) == 0x80, "stand-in: read at plug-in");
  x.SetPermission(1029, std::nullopt);
  Expect(x.TryWrite(kShort) == 0x80, "stand-in: held until unplug");
  // The key is chosen by the model code in the header at plug-in.
  x.SetPermission(1200, 1);
  {
    TRawPipes pipes(x.Standin.Interface(kShort));
    ExpectBytes(pipes.Exchange(Write(kShort, 3, {0xB0, 0x04})), {0x80}, "stand-in: header write");
  }
  x.Replug(kShort);
  Expect(x.TryWrite(kShort) == 0x80, "stand-in: the key follows the model code in the header");
  {
    TRawPipes pipes(x.Standin.Interface(kShort));
    ExpectBytes(pipes.Exchange(Write(kShort, 3, {0x05, 0x04})), {0x80}, "stand-in: header back");
  }
  x.Replug(kShort);
  Expect(x.TryWrite(kShort) == 0x82, "stand-in: back on 1029, whose value is gone");
  x.SetPermission(1200, std::nullopt);
  x.Replug(kLong);
  Expect(x.TryWrite(kLong, 0x3FF90) == 0x80, "stand-in: a Tamis camera needs no permission");
}

// Every driver reads its own key, chosen by the sample's model code, and no
// other; each key is there from the install on.
void RowServiceKeys(TContext& x) {
  for (const TCamera& c : kEvery)
    if (c.NeedsPermission)
      Expect(IsDirectory(x.ServiceKey(c.ModelCode)),
             std::string("stand-in: installing ") + c.Sample + " makes the key of model code " +
                 std::to_string(c.ModelCode) + ", before its first plug-in");
  for (const TCamera& c : kEvery) {
    if (!c.NeedsPermission) {
      Expect(x.Plug(c) && x.TryWrite(c, c.EepromSize - 1) == 0x80,
             std::string("stand-in: ") + c.Sample + " needs no permission");
      x.Unplug(c);
      continue;
    }
    for (const bool own : {false, true}) {
      for (const TCamera& other : kEvery)
        if (other.NeedsPermission)
          x.SetPermission(other.ModelCode,
                          (&other == &c) == own ? std::optional<std::uint32_t>(1) : std::nullopt);
      if (!x.Replug(c))
        return;
      Expect(x.TryWrite(c) == (own ? 0x80 : 0x82),
             std::string("stand-in: ") + c.Sample +
                 (own ? ": the value under the key of " : ": values under every key but that of ") +
                 std::to_string(c.ModelCode) + (own ? " grants writes" : " grant nothing"));
    }
    x.Unplug(c);
  }
}

std::set<std::string> Tree(const std::string& dir) {
  std::set<std::string> paths;
  std::error_code error;
  for (const auto& e : fs::recursive_directory_iterator(dir, error))
    paths.insert(e.path().string());
  return paths;
}

// A model code outside the table has no key: no permission, whatever the
// table's keys hold, and no key is made for it.
void RowOutOfTable(TContext& x) {
  x.SetPermission(kShort.ModelCode, 1);
  if (!x.Plug(kShort))
    return;
  {
    TRawPipes pipes(x.Standin.Interface(kShort));
    ExpectBytes(pipes.Exchange(Write(kShort, 3, {0x07, 0x04})), {0x80},
                "stand-in: header write of model code 1031");
  }
  for (const auto& [code, key] : kServiceKeys)
    x.SetPermission(code, 1);
  const auto before = Tree(x.Standin.Registry);
  if (!x.Replug(kShort))
    return;
  Expect(x.TryWrite(kShort) == 0x82,
         "stand-in: model code 1031 has no key, so no permission, though every key of the table "
         "holds 1");
  Expect(Tree(x.Standin.Registry) == before,
         "stand-in: no key is made for a model code outside the table");
}

const std::vector<TRow> kRows = {
    {"layout",
     "Interface classes; Interfaces; Pipes; Driver write permission: class and interface "
     "directories, sockets, the key made at install",
     "stand-in", RowLayout},
    {"enumeration", "Interfaces: '.'-names, byte order, absolute device paths", "tool",
     RowEnumeration},
    {"pipes", "Pipes: entries 0, 1, 2; an absent or refusing entry does not open", "both",
     RowPipes},
    {"long-root", "Pipes: sun_path, a device root of any length", "both", RowLongRoot, kServePair,
     true},
    {"arrival-by-rename", "Arrival and removal: single renames, connections closed", "stand-in",
     RowArrivalByRename},
    {"arrival-order", "Arrival and removal: every entry listens when the interface appears",
     "stand-in", RowArrivalOrder},
    {"removal-order", "Arrival and removal: renamed away first, connections closed after",
     "stand-in", RowRemovalOrder},
    {"notification", "Arrival and removal: RegisterDeviceNotificationA, WM_DEVICECHANGE", "tool",
     RowNotification},
    {"one-message-per-frame", "Pipes: one message per call, cut to the size asked, 0 bytes", "both",
     RowOneMessagePerFrame},
    {"status-mapping", "Frames and status codes: every malformed frame", "stand-in",
     RowStatusMapping},
    {"sample-images", "Frames and status codes: reads of every class, byte for byte, both forms",
     "both", RowSampleImages, kServeEvery},
    {"write-read-back", "Frames and status codes: accepted writes are stored, both forms",
     "stand-in", RowWriteReadBack},
    {"reply-pairing", "Pipes: reply to the requesting process's newest pipe 1, else dropped",
     "stand-in", RowReplyPairing},
    {"hang-up", "Pipes: a closed peer moves 0 bytes, no SIGPIPE", "both", RowHangUp},
    {"value-syntax", "Registry: a DWORD value file, anything else missing, links on the key path",
     "both", RowValueSyntax},
    {"value-write", "Registry: writes renamed into place", "both", RowValueWrite},
    {"permission-held", "Driver write permission: read at plug-in, held until unplug", "stand-in",
     RowPermissionHeld},
    {"service-keys", "Driver write permission: every key, made at install, read by its driver",
     "stand-in", RowServiceKeys, kServeEvery},
    {"out-of-table", "Driver write permission: a model code outside the table has no key",
     "stand-in", RowOutOfTable},
    {"stop", "Conformance suite: `stop` removes, keeps the class directories, ends the server",
     "stand-in", RowStop},
};

// Runs one row in a process group of its own, with its own device root,
// registry and stand-in, so that nothing a row does or leaves behind reaches
// another; after kRowSeconds the row fails and the group is killed. Prints
// the verdict; true when the row holds.
bool RunRow(const TRow& row, const std::string& command) {
  PlatformTempDir dir;
  std::string base = fs::canonical(dir.Path()).string();
  const std::string report = base + "/failures";
  if (row.LongRoot) {
    base += "/long";
    while (base.size() < 120)
      base += "/a-directory-that-makes-the-root-long";
    fs::create_directories(base);
  }
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    g_report = open(report.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    {
      CStandin standin(command, base);
      setenv("PELWIN_DEVICE_ROOT", standin.Root.c_str(), 1);
      setenv("PELWIN_MACHINE_REGISTRY", standin.Registry.c_str(), 1);
      if (Expect(standin.Serve(row.Serve),
                 std::string("stand-in: `") + row.Serve + "` printed no \"ready\"")) {
        TContext context{standin, {}};
        row.Run(context);
      }
    }
    _exit(0);
  }
  if (pid > 0)
    setpgid(pid, pid);
  const int status = pid > 0 ? WaitExit(pid, kRowSeconds * 1000) : -2;
  if (pid > 0) {
    // The row's leftovers too: a stand-in that outlived its `stop`, clients.
    kill(-pid, SIGKILL);
    if (status == -1)
      waitpid(pid, nullptr, 0);
  }
  std::vector<std::string> failures;
  std::istringstream lines(ReadText(report));
  for (std::string line; std::getline(lines, line);)
    failures.push_back(line);
  if (status == -1)
    failures.push_back("suite: the row did not end within " + std::to_string(kRowSeconds) +
                       " s; its processes were killed");
  else if (status != 0)
    failures.push_back("suite: the row's process ended with status " + std::to_string(status));
  const bool held = failures.empty();
  std::printf("%s  %-22s %s\n", held ? "ok  " : "FAIL", row.Id, row.Point);
  if (held)
    return true;
  for (const std::string& f : failures)
    std::printf("        %s\n", f.c_str());
  const CStandin standin("", base);
  std::printf("      stand-in log, last lines:\n%s", standin.Tail(10).c_str());
  return false;
}

int Usage() {
  std::fprintf(stderr,
               "usage: pelwin_conformance --standin 'CMD ARGS' [--row ID]... [--list]\n"
               "\n"
               "Checks docs/platform-linux.md against the tool's platform layer and the\n"
               "driver stand-in run as `CMD ARGS %s`,\n"
               "`CMD ARGS %s`,\n"
               "`CMD ARGS plug ID`, `CMD ARGS unplug ID` and `CMD ARGS stop` (see the document).\n",
               kServePair, kServeEvery);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command;
  std::vector<std::string> only;
  bool list = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--standin" && i + 1 < argc)
      command = argv[++i];
    else if (arg == "--row" && i + 1 < argc)
      only.push_back(argv[++i]);
    else if (arg == "--list")
      list = true;
    else
      return Usage();
  }
  if (list) {
    for (const TRow& r : kRows)
      std::printf("%-22s %-8s %s\n", r.Id, r.Side, r.Point);
    return 0;
  }
  if (command.empty())
    return Usage();
  for (const std::string& id : only)
    if (std::none_of(kRows.begin(), kRows.end(), [&](const TRow& r) { return id == r.Id; })) {
      std::fprintf(stderr, "pelwin_conformance: no row %s (--list lists them)\n", id.c_str());
      return 2;
    }

  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, [](int) { g_sigpipe = 1; });
  int failed = 0, ran = 0;
  for (const TRow& row : kRows) {
    if (!only.empty() && std::find(only.begin(), only.end(), row.Id) == only.end())
      continue;
    ++ran;
    failed += !RunRow(row, command);
  }
  std::printf("%d of %d rows hold\n", ran - failed, ran);
  std::fflush(stdout);
  return failed ? 1 : 0;
}
