// One EEPROM read command, split into who pays for what. Three ends talk to
// each other with a 3-byte request on the command pipe and a 62-byte reply on
// the data pipe:
//  - the bare client: send and recv on connected sockets, nothing else;
//  - the tool's link: CBrisaConfig::ReadEepromShort through the POSIX platform
//    layer (CreateFileA, WriteFile, ReadFile), the product's own code;
//  - the bare responder: a thread that answers with recv and send only, on an
//    interface directory of its own;
//  - camsim serving the camera in another thread.
// The floor is the bare client against the bare responder. The tool's overhead
// is the tool against the bare responder; camsim's is the bare client against
// camsim. Run pinned to one CPU (bench/eeprom_bench.sh) so every pair pays the
// same wake-ups.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/brisa_config.h"
#include "sim/linux/simulator.h"

namespace {

constexpr std::size_t RequestSize = 3;
constexpr std::size_t ReplySize = 62;  // status and 61 block bytes
constexpr std::size_t FrameSize = 64;

std::string MakeRoot() {
  char pattern[] = "/tmp/pelwin-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("mkdtemp");
  }
  return pattern;
}

int Listen(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 4) != 0) {
    throw std::runtime_error("cannot listen at " + path);
  }
  return fd;
}

// An interface directory whose three sockets are served by a thread that does
// nothing but recv a request on pipe 0 and send a reply on pipe 1.
class BareResponder {
 public:
  BareResponder() : root_(MakeRoot()) {
    for (int p = 0; p < 3; ++p) {
      listeners_[p] = Listen(root_ + "/" + std::to_string(p));
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~BareResponder() {
    // Wakes the thread if no client ever connected.
    for (int fd : listeners_) {
      shutdown(fd, SHUT_RDWR);
    }
    thread_.join();
    for (int fd : listeners_) {
      close(fd);
    }
    std::filesystem::remove_all(root_);
  }
  BareResponder(const BareResponder&) = delete;
  BareResponder& operator=(const BareResponder&) = delete;

  // What the tool opens, in its path form.
  const std::string& Path() const { return root_; }

 private:
  // Ends when the client closes its command pipe.
  void Serve() {
    int connections[3];
    for (int p = 0; p < 3; ++p) {
      connections[p] = accept4(listeners_[p], nullptr, nullptr, SOCK_CLOEXEC);
    }
    std::uint8_t buffer[FrameSize] = {};
    while (recv(connections[0], buffer, sizeof buffer, 0) > 0) {
      buffer[0] = 0x80;
      send(connections[1], buffer, ReplySize, MSG_NOSIGNAL);
    }
    for (int fd : connections) {
      close(fd);
    }
  }

  std::string root_;
  int listeners_[3];
  std::thread thread_;
};

// The bare client's side: connected sockets, send and recv.
class BareClient {
 public:
  explicit BareClient(const std::string& dir) {
    for (int p = 0; p < 3; ++p) {
      pipes_[p] = camsim::ConnectUnixSocket(dir + "/" + std::to_string(p), SOCK_SEQPACKET);
    }
  }
  ~BareClient() {
    for (int fd : pipes_) {
      close(fd);
    }
  }
  BareClient(const BareClient&) = delete;
  BareClient& operator=(const BareClient&) = delete;

  bool Connected() const { return pipes_[0] >= 0 && pipes_[1] >= 0 && pipes_[2] >= 0; }
  bool Read() {
    frame_[0] = 0x12;
    frame_[1] = 0x0A;
    frame_[2] = 0x3D;
    return send(pipes_[0], frame_, RequestSize, MSG_NOSIGNAL) == RequestSize &&
           recv(pipes_[1], frame_, sizeof frame_, 0) == ReplySize;
  }

 private:
  int pipes_[3];
  std::uint8_t frame_[FrameSize];
};

// The tool's side: the pipes as the program opens them, the read command as it sends it.
class ToolLink {
 public:
  explicit ToolLink(const std::string& dir) {
    window_.CommandPipe = Open(dir + "\\0");
    window_.DataPipe = Open(dir + "\\1");
    window_.AuxPipe = Open(dir + "\\2");
  }
  ~ToolLink() {
    for (HANDLE* pipe : {&window_.CommandPipe, &window_.DataPipe, &window_.AuxPipe}) {
      if (*pipe != INVALID_HANDLE_VALUE) {
        CloseHandle(*pipe);
      }
      *pipe = INVALID_HANDLE_VALUE;
    }
  }
  ToolLink(const ToolLink&) = delete;
  ToolLink& operator=(const ToolLink&) = delete;

  bool Connected() const {
    return window_.CommandPipe != INVALID_HANDLE_VALUE &&
           window_.DataPipe != INVALID_HANDLE_VALUE && window_.AuxPipe != INVALID_HANDLE_VALUE;
  }
  bool Read() { return window_.ReadEepromShort(10, BlockSize, block_); }

 private:
  static HANDLE Open(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  }

  CBrisaConfig window_;
  std::uint8_t block_[BlockSize];
};

// A Selvo KAF camera plugged into a camsim of its own; its block read replies
// with the same 62 bytes as the bare responder.
class Camsim {
 public:
  Camsim() : root_(MakeRoot()) {
    camsim::Simulator::Options options;
    options.DeviceRoot = root_ + "/devices";
    options.MachineRegistry = root_ + "/registry";
    options.StateDir = root_ + "/state";
    sim_ = std::make_unique<camsim::Simulator>(options);
    if (!sim_->Add("cam", "selvo-kaf", &error_) || !sim_->Plug("cam", &error_)) {
      sim_.reset();
    }
  }
  ~Camsim() {
    sim_.reset();
    std::filesystem::remove_all(root_);
  }
  Camsim(const Camsim&) = delete;
  Camsim& operator=(const Camsim&) = delete;

  bool Ok() const { return sim_ != nullptr; }
  const std::string& Error() const { return error_; }
  std::string Path() const { return sim_->InterfacePath("cam"); }

 private:
  std::string root_;
  std::string error_;
  std::unique_ptr<camsim::Simulator> sim_;
};

template <typename Client>
void Run(benchmark::State& state, Client& client) {
  if (!client.Connected()) {
    state.SkipWithError("cannot open the pipes");
    return;
  }
  for (auto _ : state) {
    if (!client.Read()) {
      state.SkipWithError("the read failed");
      break;
    }
  }
}

void BareFloor(benchmark::State& state) {
  BareResponder responder;
  BareClient client(responder.Path());
  Run(state, client);
}
BENCHMARK(BareFloor)->MeasureProcessCPUTime()->UseRealTime();

void ToolToBareResponder(benchmark::State& state) {
  BareResponder responder;
  ToolLink tool(responder.Path());
  Run(state, tool);
}
BENCHMARK(ToolToBareResponder)->MeasureProcessCPUTime()->UseRealTime();

void BareClientToCamsim(benchmark::State& state) {
  Camsim sim;
  if (!sim.Ok()) {
    state.SkipWithError(sim.Error().c_str());
    return;
  }
  BareClient client(sim.Path());
  Run(state, client);
}
BENCHMARK(BareClientToCamsim)->MeasureProcessCPUTime()->UseRealTime();

// The two together, as the integration tests and users meet them.
void ToolToCamsim(benchmark::State& state) {
  Camsim sim;
  if (!sim.Ok()) {
    state.SkipWithError(sim.Error().c_str());
    return;
  }
  ToolLink tool(sim.Path());
  Run(state, tool);
}
BENCHMARK(ToolToCamsim)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
