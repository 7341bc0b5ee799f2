// camsim: serve simulated cameras, or talk to the daemon that serves them.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "sim/core/cameras.h"
#include "sim/core/cli.h"
#include "sim/core/faults.h"
#include "sim/linux/simulator.h"

namespace {

namespace cli = camsim::cli;

// `camsim --help`: what this port's camsim is, its own commands, the last words.
constexpr const char* kIntro =
    "A stand-in for the camera driver: serves simulated cameras on the device root\n"
    "and reads the driver's write permission from the machine registry directory.\n";
constexpr const char* kOwnSummary =
    "  serve [OPTIONS] SAMPLE[=ID]...   serve cameras in the foreground\n";
constexpr const char* kOutro =
    "Client commands talk to the daemon serving --root DIR, else $PELWIN_DEVICE_ROOT,\n"
    "else $XDG_RUNTIME_DIR/pelwin/devices, else /tmp/pelwin-<uid>/devices.\n"
    "ID may be left out when the daemon serves one camera.\n";

const std::map<std::string, std::string> kCommandUsage = {
    {"serve",
     "usage: camsim serve [--root DIR] [--registry DIR] [--state DIR] [--log FILE]\n"
     "                    [--unplugged] SAMPLE[=ID]...\n"
     "\n"
     "Serves the named sample cameras until SIGTERM, SIGINT or `camsim stop`, then\n"
     "unplugs them. ID (default: the sample's name) names the camera and its image\n"
     "file <state>/<ID>.eeprom, created from the sample when missing.\n"
     "  --root DIR      device root (default as for every command)\n"
     "  --registry DIR  machine registry root (default $PELWIN_MACHINE_REGISTRY,\n"
     "                  else /etc/pelwin/registry)\n"
     "  --state DIR     image files (default $CAMSIM_STATE, else\n"
     "                  $XDG_STATE_HOME/camsim, else ~/.local/state/camsim)\n"
     "  --log FILE      frame log (default: standard error)\n"
     "  --unplugged     start with every camera unplugged\n"
     "Prints \"ready\" on standard output once every camera is in place.\n"},
};

std::string Root(const cli::Arguments& args) {
  auto it = args.options.find("root");
  return it != args.options.end() ? it->second : camsim::DefaultDeviceRoot();
}

// How long a client waits for each part of the daemon's answer.
constexpr timeval kReplyTimeout = {30, 0};

// Sends the command on the control socket of the daemon serving the root;
// `stop` waits until the daemon has closed it.
int Send(const cli::Program&, const std::string& command, const cli::Arguments& args) {
  const std::string root = Root(args);
  std::string error;
  const std::string path = camsim::ControlSocketPath(root);
  camsim::UniqueFd fd(camsim::ConnectUnixSocket(path, SOCK_STREAM, &error));
  if (!fd) {
    std::fprintf(stderr, "camsim: no camsim daemon serves %s (%s)\n", root.c_str(), error.c_str());
    return cli::kExitError;
  }
  // A blocking send, with no signal handler to cut it short, sends it all.
  const std::string line = cli::CommandLine(command, args.words) + '\n';
  if (::send(fd.Get(), line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size())) {
    std::fprintf(stderr, "camsim: cannot send to the daemon: %s\n", std::strerror(errno));
    return cli::kExitError;
  }
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &kReplyTimeout, sizeof kReplyTimeout);
  cli::Answer answer;
  while (!answer.Ended() || command == "stop") {
    char buffer[4096];
    const ssize_t n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
    if (n > 0) {
      answer.Feed(std::string_view(buffer, size_t(n)));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      std::fprintf(stderr, "camsim: the daemon did not answer\n");
      return cli::kExitError;
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  return answer.Finish("daemon");
}

int Serve(const cli::Program& program, const std::string&, const cli::Arguments& args) {
  std::vector<camsim::CameraChoice> cameras;
  std::string problem;
  if (!camsim::ParseCameraChoices(args.words, &cameras, &problem)) {
    return program.Usage("serve", problem);
  }

  // Signals are taken through a descriptor; the server thread inherits the mask.
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  camsim::UniqueFd signals(::signalfd(-1, &stopSignals, SFD_CLOEXEC));
  if (!signals) {
    std::fprintf(stderr, "camsim: signalfd: %s\n", std::strerror(errno));
    return cli::kExitError;
  }

  camsim::Simulator::Options options;
  options.DeviceRoot = Root(args);
  auto option = [&](const char* name, const std::string& fallback) {
    auto it = args.options.find(name);
    return it != args.options.end() ? it->second : fallback;
  };
  options.MachineRegistry = option("registry", "");
  options.StateDir = option("state", "");
  options.LogPath = option("log", "-");
  try {
    camsim::Simulator simulator(options);
    std::string error;
    auto fail = [&] {
      std::fprintf(stderr, "camsim: %s\n", error.c_str());
      return cli::kExitError;
    };
    for (const auto& camera : cameras) {
      if (!simulator.Add(camera.Id, camera.SampleName, &error, camera.Instance)) {
        return fail();
      }
    }
    if (!simulator.ServeControl(camsim::ControlSocketPath(options.DeviceRoot), &error)) {
      return fail();
    }
    for (const auto& camera : cameras) {
      if (!args.options.count("unplugged") && !simulator.Plug(camera.Id, &error)) {
        return fail();
      }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    pollfd fds[2] = {{signals.Get(), POLLIN, 0}, {simulator.StopRequestedFd(), POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return cli::kExitError;
  }
  return cli::kExitOk;
}

const cli::Program kProgram = {
    .Intro = kIntro,
    .OwnSummary = kOwnSummary,
    .Outro = kOutro,
    .CommandUsage = kCommandUsage,
    .ClientOption = "[--root DIR]",
    .Peer = "daemon",
    .CommonOptions = {"root"},
    .CommandOptions = {{"serve", {{"registry", "state", "log"}, {"unplugged"}}}},
    .OwnCommands = {{"serve", Serve}},
    .Send = Send,
};

}  // namespace

int main(int argc, char** argv) {
  return cli::Run(kProgram, argc, argv);
}
