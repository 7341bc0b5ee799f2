// camsim: serve simulated cameras, or talk to the daemon that serves them.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "sim/camsim.h"
#include "sim/posix_util.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
// How long a client waits for the daemon's answer.
constexpr int kReplyTimeoutMs = 30000;

constexpr const char* kMainUsage =
    "usage: camsim COMMAND [ARGS]\n"
    "\n"
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
    "ID may be left out when the daemon serves one camera.\n"
    "`camsim COMMAND --help` describes a command. Exit status: 0 ok, 1 error, 2 usage.\n";

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
     "usage: camsim fault [--root DIR] [ID] FAULT ARGS\n"
     "\n"
     "  refuse N STATUS   answer the next N commands with STATUS (e.g. 0x82), unexecuted\n"
     "  drop K            at the K-th command from now close every connection, no reply\n"
     "  short N BYTES     cut the next N successful read replies to BYTES bytes (>= 1)\n"
     "  corrupt N         flip the first data byte of the next N successful read replies\n"
     "  pipe N on|off     pipe N (0, 1, 2) cannot be opened while on\n"
     "  delay MS          hold every reply back MS milliseconds (0: off)\n"
     "  clear             remove every fault\n"},
    {"log", "usage: camsim log [--root DIR] [N]\n\nThe daemon's last N (default 20) log lines.\n"},
    {"samples", "usage: camsim samples\n\nLists the sample cameras.\n"},
    {"stop",
     "usage: camsim stop [--root DIR]\n\nUnplugs every camera and ends the daemon; "
     "returns once it is done.\n"},
};

const std::map<std::string, size_t> kFaultArguments = {{"refuse", 2},  {"drop", 1}, {"short", 2},
                                                       {"corrupt", 1}, {"pipe", 2}, {"delay", 1},
                                                       {"clear", 0}};

struct Arguments {
  std::map<std::string, std::string> options;
  std::vector<std::string> words;
  bool help = false;
};

int Usage(const std::string& command, const std::string& problem) {
  std::fprintf(stderr, "camsim: %s\n", problem.c_str());
  auto it = kCommandUsage.find(command);
  std::fputs(it != kCommandUsage.end() ? it->second.c_str() : kMainUsage, stderr);
  return kExitUsage;
}

// Options may come anywhere; "--" ends them.
bool Parse(int argc, char** argv, const std::vector<std::string>& valued,
           const std::vector<std::string>& flags, Arguments* args, std::string* problem) {
  bool optionsDone = false;
  for (int i = 2; i < argc; ++i) {
    std::string word = argv[i];
    if (optionsDone || word.size() < 2 || word.compare(0, 2, "--") != 0) {
      args->words.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsDone = true;
      continue;
    }
    if (word == "--help") {
      args->help = true;
      continue;
    }
    std::string name = word.substr(2), value;
    const auto equals = name.find('=');
    const bool inlineValue = equals != std::string::npos;
    if (inlineValue) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    if (std::find(flags.begin(), flags.end(), name) != flags.end() && !inlineValue) {
      args->options[name] = "1";
    } else if (std::find(valued.begin(), valued.end(), name) != valued.end()) {
      if (!inlineValue) {
        if (i + 1 >= argc) {
          *problem = "--" + name + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      if (value.empty()) {
        *problem = "--" + name + " needs a value";
        return false;
      }
      args->options[name] = value;
    } else {
      *problem = "unknown option " + word;
      return false;
    }
  }
  return true;
}

std::string Root(const Arguments& args) {
  auto it = args.options.find("root");
  return it != args.options.end() ? it->second : camsim::DefaultDeviceRoot();
}

bool Readable(const std::string& word) {
  if (word.empty()) {
    return false;
  }
  for (unsigned char c : word) {
    if (c <= 0x20 || c == 0x7f) {
      return false;
    }
  }
  return true;
}

// Sends one line and copies the answer to standard output; the last line
// ("ok" or "error: ...") decides the exit status.
int RunClient(const std::string& root, const std::vector<std::string>& words, bool waitForEnd) {
  std::string error;
  const std::string path = camsim::ControlSocketPath(root);
  camsim::UniqueFd fd(camsim::ConnectUnixSocket(path, SOCK_STREAM, &error));
  if (!fd) {
    std::fprintf(stderr, "camsim: no camsim daemon serves %s (%s)\n", root.c_str(), error.c_str());
    return kExitError;
  }
  std::string line;
  for (const auto& word : words) {
    line += (line.empty() ? "" : " ") + word;
  }
  line += '\n';
  for (size_t sent = 0; sent < line.size();) {
    const ssize_t n = ::send(fd.Get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      std::fprintf(stderr, "camsim: cannot send to the daemon: %s\n", std::strerror(errno));
      return kExitError;
    }
    sent += size_t(n);
  }
  std::string pending;
  int status = -1;
  for (;;) {
    pollfd pfd{fd.Get(), POLLIN, 0};
    const int ready = ::poll(&pfd, 1, kReplyTimeoutMs);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready == 0) {
      std::fprintf(stderr, "camsim: the daemon did not answer\n");
      return kExitError;
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
    while (status < 0 && (newline = pending.find('\n')) != std::string::npos) {
      const std::string text = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      if (text == "ok") {
        status = kExitOk;
      } else if (text.compare(0, 7, "error: ") == 0) {
        std::fprintf(stderr, "camsim: %s\n", text.c_str() + 7);
        status = kExitError;
      } else {
        std::printf("%s\n", text.c_str());
      }
    }
    if (status >= 0 && !waitForEnd) {
      break;
    }
  }
  std::fflush(stdout);
  if (status < 0) {
    std::fprintf(stderr, "camsim: the daemon closed the connection without an answer\n");
    return kExitError;
  }
  return status;
}

int Serve(const Arguments& args) {
  if (args.words.empty()) {
    return Usage("serve", "name at least one sample camera");
  }
  struct CameraArgument {
    std::string sample, id, instance;
  };
  std::vector<CameraArgument> cameras;
  std::map<camsim::Kind, int> perClass;
  for (const auto& word : args.words) {
    CameraArgument camera;
    const auto equals = word.find('=');
    camera.sample = word.substr(0, equals);
    camera.id = equals == std::string::npos ? camera.sample : word.substr(equals + 1);
    const camsim::Sample* sample = camsim::FindSample(camera.sample);
    if (!sample) {
      return Usage("serve", "no sample camera " + camera.sample + " (camsim samples lists them)");
    }
    camera.instance = "cam" + std::to_string(perClass[sample->kind]++);
    cameras.push_back(camera);
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
    return kExitError;
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
      if (!simulator.Add(camera.id, camera.sample, &error, camera.instance)) {
        std::fprintf(stderr, "camsim: %s\n", error.c_str());
        return kExitError;
      }
    }
    if (!simulator.ServeControl(camsim::ControlSocketPath(options.DeviceRoot), &error)) {
      std::fprintf(stderr, "camsim: %s\n", error.c_str());
      return kExitError;
    }
    if (!args.options.count("unplugged")) {
      for (const auto& camera : cameras) {
        if (!simulator.Plug(camera.id, &error)) {
          std::fprintf(stderr, "camsim: %s\n", error.c_str());
          return kExitError;
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
    return kExitError;
  }
  return kExitOk;
}

int DumpImage(const Arguments& args) {
  auto image = args.options.find("image");
  auto sampleName = args.options.find("sample");
  if (image == args.options.end() || sampleName == args.options.end() || !args.words.empty()) {
    return Usage("dump", "--image FILE goes with --sample NAME and no ID");
  }
  const camsim::Sample* sample = camsim::FindSample(sampleName->second);
  if (!sample) {
    return Usage("dump", "no sample camera " + sampleName->second);
  }
  std::vector<uint8_t> bytes;
  std::string error;
  if (!camsim::LoadImageFile(image->second, camsim::EepromSize(sample->kind), &bytes, &error)) {
    std::fprintf(stderr, "camsim: %s\n", error.c_str());
    return kExitError;
  }
  std::printf("image: %s (as %s, %s)\n", image->second.c_str(), sample->Name.c_str(),
              camsim::KindTitle(sample->kind));
  std::fputs(camsim::DescribeImage(sample->kind, bytes).c_str(), stdout);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kMainUsage, stderr);
    return kExitUsage;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kMainUsage, stdout);
    return kExitOk;
  }
  if (!kCommandUsage.count(command)) {
    return Usage("", "unknown command " + command);
  }
  Arguments args;
  std::string problem;
  const bool serve = command == "serve";
  const bool dump = command == "dump";
  std::vector<std::string> valued = {"root"};
  std::vector<std::string> flags;
  if (serve) {
    valued.insert(valued.end(), {"registry", "state", "log"});
    flags.push_back("unplugged");
  } else if (dump) {
    valued.insert(valued.end(), {"image", "sample"});
  }
  if (!Parse(argc, argv, valued, flags, &args, &problem)) {
    return Usage(command, problem);
  }
  if (args.help) {
    std::fputs(kCommandUsage.at(command).c_str(), stdout);
    return kExitOk;
  }
  for (const auto& word : args.words) {
    if (!Readable(word)) {
      return Usage(command, "arguments hold no blanks or control characters");
    }
  }
  if (serve) {
    return Serve(args);
  }
  if (command == "samples") {
    if (!args.words.empty()) {
      return Usage(command, "samples takes no arguments");
    }
    for (const auto& sample : camsim::Samples()) {
      std::printf("%-11s %-9s class %d  %s\n", sample.Name.c_str(), camsim::KindName(sample.kind),
                  camsim::ClassNumber(sample.kind), sample.Summary.c_str());
    }
    return kExitOk;
  }
  if (dump && (args.options.count("image") || args.options.count("sample"))) {
    return DumpImage(args);
  }
  const size_t count = args.words.size();
  if ((command == "status" || command == "stop") && count != 0) {
    return Usage(command, command + " takes no arguments");
  }
  if ((command == "plug" || command == "unplug" || command == "dump" || command == "log") &&
      count > 1) {
    return Usage(command, "too many arguments");
  }
  if (command == "fault") {
    auto fits = [&](size_t at) {
      auto it = at < count ? kFaultArguments.find(args.words[at]) : kFaultArguments.end();
      return it != kFaultArguments.end() && count - at - 1 == it->second;
    };
    if (!fits(0) && !fits(1)) {
      return Usage(command, count == 0 ? "name a fault" : "no such fault form");
    }
  }
  std::vector<std::string> words = {command};
  words.insert(words.end(), args.words.begin(), args.words.end());
  return RunClient(Root(args), words, command == "stop");
}
