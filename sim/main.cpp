// camsim: serve simulated cameras, or talk to the daemon that serves them.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "sim/cameras.h"
#include "sim/camsim.h"
#include "sim/cli.h"
#include "sim/faults.h"
#include "sim/posix_util.h"

namespace {

namespace cli = camsim::cli;

// `camsim --help` between its first line and its last.
constexpr const char* kMainUsage =
    "A stand-in for the camera driver: serves simulated cameras on the device root\n"
    "and reads the driver's write permission from the machine registry directory.\n"
    "\n"
    "  serve [OPTIONS] SAMPLE[=ID]...   serve cameras in the foreground\n"
    "  plug [ID]                        plug a camera in\n"
    "  unplug [ID]                      unplug it\n"
    "  status                           list the daemon's cameras\n"
    "  dump [ID]                        show a camera's header and block\n"
    "  dump --image FILE --sample NAME  decode an image file without a daemon\n"
    "  fault [ID] FAULT ARGS            inject a fault (camsim fault --help)\n"
    "  log [N]                          the daemon's last N frame log lines\n"
    "  samples                          list the sample cameras\n"
    "  stop                             unplug everything and end the daemon\n"
    "\n"
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
    {"plug", "usage: camsim plug [--root DIR] [ID]\n\nPlugs a camera in (device arrival).\n"},
    {"unplug",
     "usage: camsim unplug [--root DIR] [ID]\n\nUnplugs a camera (device removal); "
     "its connections are closed.\n"},
    {"status",
     "usage: camsim status [--root DIR]\n\nOne line per camera: sample, kind, class, "
     "instance, state, write permission, transfers, faults.\n"},
    {"dump",
     "usage: camsim dump [--root DIR] [ID]\n"
     "       camsim dump --image FILE --sample NAME\n"
     "\n"
     "Shows the identity header and descriptor block in hex with the camera ID,\n"
     "type name, filter positions and wheel type; from the daemon also the write\n"
     "permission and whether the camera is plugged in. The second form decodes an\n"
     "image file as a camera of the sample's kind would hold it.\n"},
    {"fault",
     std::string("usage: camsim fault [--root DIR] [ID] FAULT ARGS\n\n") + camsim::FaultHelp("  ")},
    {"log", "usage: camsim log [--root DIR] [N]\n\nThe daemon's last N (default 20) log lines.\n"},
    {"samples", "usage: camsim samples\n\nLists the sample cameras.\n"},
    {"stop",
     "usage: camsim stop [--root DIR]\n\nUnplugs every camera and ends the daemon; "
     "returns once it is done.\n"},
};

std::string Root(const cli::Arguments& args) {
  auto it = args.options.find("root");
  return it != args.options.end() ? it->second : camsim::DefaultDeviceRoot();
}

// How long a client waits for the daemon's answer.
constexpr int kReplyTimeoutMs = 30000;

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
  const std::string line = cli::CommandLine(command, args.words) + '\n';
  for (size_t sent = 0; sent < line.size();) {
    const ssize_t n = ::send(fd.Get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      std::fprintf(stderr, "camsim: cannot send to the daemon: %s\n", std::strerror(errno));
      return cli::kExitError;
    }
    sent += size_t(n);
  }
  std::string pending;
  cli::Answer answer;
  for (;;) {
    pollfd pfd{fd.Get(), POLLIN, 0};
    const int ready = ::poll(&pfd, 1, kReplyTimeoutMs);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready == 0) {
      std::fprintf(stderr, "camsim: the daemon did not answer\n");
      return cli::kExitError;
    }
    char buffer[4096];
    const ssize_t n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    pending.append(buffer, size_t(n));
    size_t newline;
    while (!answer.Ended() && (newline = pending.find('\n')) != std::string::npos) {
      answer.Line(pending.substr(0, newline));
      pending.erase(0, newline + 1);
    }
    if (answer.Ended() && command != "stop") {
      break;
    }
  }
  return answer.Finish("daemon");
}

int Serve(const cli::Program& program, const std::string&, const cli::Arguments& args) {
  if (args.words.empty()) {
    return program.Usage("serve", "name at least one sample camera");
  }
  std::vector<camsim::CameraSpec> cameras;
  std::string problem;
  if (!camsim::ParseCameraSpecs(args.words, &cameras, &problem)) {
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
    for (const auto& camera : cameras) {
      if (!simulator.Add(camera.Id, camera.SampleName, &error, camera.Instance)) {
        std::fprintf(stderr, "camsim: %s\n", error.c_str());
        return cli::kExitError;
      }
    }
    if (!simulator.ServeControl(camsim::ControlSocketPath(options.DeviceRoot), &error)) {
      std::fprintf(stderr, "camsim: %s\n", error.c_str());
      return cli::kExitError;
    }
    if (!args.options.count("unplugged")) {
      for (const auto& camera : cameras) {
        if (!simulator.Plug(camera.Id, &error)) {
          std::fprintf(stderr, "camsim: %s\n", error.c_str());
          return cli::kExitError;
        }
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
    .MainUsage = kMainUsage,
    .CommandUsage = kCommandUsage,
    .CommonOptions = {"root"},
    .CommandOptions = {{"serve", {{"registry", "state", "log"}, {"unplugged"}}}},
    .OwnCommands = {{"serve", Serve}},
    .Send = Send,
};

}  // namespace

int main(int argc, char** argv) {
  return cli::Run(kProgram, argc, argv);
}
