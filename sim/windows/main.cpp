// camsim.exe: install the camera driver stand-in, serve a camera behind it, or
// talk to the server that does. The commands, their outputs and exit statuses
// are those of Linux camsim wherever the two ports share a meaning.
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "sim/core/camera.h"
#include "sim/core/cameras.h"
#include "sim/core/cli.h"
#include "sim/core/faults.h"
#include "sim/core/session.h"
#include "sim/windows/standin.h"

namespace {

namespace cli = camsim::cli;

// `camsim --help`: what this port's camsim is, its own commands, the last words.
constexpr const char* kIntro =
    "A stand-in for the camera driver under Wine: a kernel-mode driver publishes the\n"
    "camera's device interface, and `camsim serve` answers on its three pipes.\n";
constexpr const char* kOwnSummary =
    "  install SAMPLE...                install the driver stand-in for SAMPLE's kind\n"
    "  remove SAMPLE...                 uninstall it\n"
    "  serve [OPTIONS] SAMPLE[=ID]...   serve cameras in the foreground\n"
    "  image [ID] --save FILE           write the EEPROM image to FILE\n"
    "  image [ID] --load FILE           replace the EEPROM image from FILE\n";
constexpr const char* kOutro =
    "One server per Wine server (the pipe names are global). ID may be left out.\n";

const std::map<std::string, std::string> kCommandUsage = {
    {"install",
     "usage: camsim install SAMPLE...\n"
     "\n"
     "Installs the driver stand-in for each sample's kind: the driver file as\n"
     "system32\\drivers\\<service>.sys, its kernel service and a root-enumerated device.\n"
     "The service is the real driver's for the sample's model code (vemcamI, vemcamF,\n"
     "ralcamI, ralcamF, ralcamB, ralcamBI; camsimTamisA, camsimTamisB for Tamis kinds),\n"
     "so the program's AllowEEPROMWrite lands under its Parameters key. Installing\n"
     "again starts what is not running.\n"},
    {"remove", "usage: camsim remove SAMPLE...\n\nStops and uninstalls each sample's stand-in.\n"},
    {"serve",
     "usage: camsim serve [--state DIR] [--log FILE] [--unplugged] SAMPLE[=ID]...\n"
     "\n"
     "Serves the sample cameras behind their installed stand-ins until `camsim stop`,\n"
     "then unplugs them. ID (default: the sample's name) names a camera and its image\n"
     "file <state>\\<ID>.eeprom, created from the sample when missing. A camera is on\n"
     "its stand-in's next device; the pipes are shared: a new connection is to the\n"
     "first camera plugged in, in the order given, as the first interface is.\n"
     "  --state DIR     image files (default %CAMSIM_STATE%, else %LOCALAPPDATA%\\camsim)\n"
     "  --log FILE      frame log (default: standard error)\n"
     "  --unplugged     start with every camera unplugged\n"
     "The write permission (AllowEEPROMWrite under the service's Parameters key) is\n"
     "read at each plug-in. Prints \"ready\" once the cameras are in place.\n"},
    {"image",
     "usage: camsim image [ID] --save FILE\n"
     "       camsim image [ID] --load FILE\n"
     "\n"
     "--save writes the raw EEPROM image to FILE; --load replaces the camera's image\n"
     "from FILE, which must have the EEPROM's size. Both replace files atomically.\n"},
};

constexpr DWORD kBusyWaitMs = 10000;

// Sends one command line to the server and copies its answer to standard
// output; the last line ("ok" or "error: ...") decides the exit status.
int RunClient(const std::string& line, bool waitForEnd) {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (;;) {
    pipe = CreateFileA(camsim::win::kControlPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY ||
        !WaitNamedPipeA(camsim::win::kControlPipe, kBusyWaitMs)) {
      break;
    }
  }
  if (pipe == INVALID_HANDLE_VALUE) {
    const DWORD why = GetLastError();
    if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND) {
      std::fprintf(stderr, "camsim: no camsim serve runs on this Wine server\n");
    } else {
      std::fprintf(stderr, "camsim: cannot reach the server: %s\n",
                   camsim::win::ErrorText(why).c_str());
    }
    return cli::kExitError;
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
  DWORD moved = 0;
  if (!WriteFile(pipe, line.data(), DWORD(line.size()), &moved, nullptr)) {
    std::fprintf(stderr, "camsim: cannot send to the server: %s\n",
                 camsim::win::ErrorText(GetLastError()).c_str());
    CloseHandle(pipe);
    return cli::kExitError;
  }
  cli::Answer reply;
  for (;;) {
    char buffer[16384];
    const BOOL ok = ReadFile(pipe, buffer, sizeof buffer, &moved, nullptr);
    reply.Feed(std::string_view(buffer, moved));
    if (ok || GetLastError() != ERROR_MORE_DATA) {
      break;
    }
  }
  if (waitForEnd) {
    // The server closes its end when it is gone.
    char byte;
    while (ReadFile(pipe, &byte, 1, &moved, nullptr) || GetLastError() == ERROR_MORE_DATA) {
    }
  }
  CloseHandle(pipe);
  return reply.Finish("server");
}

std::string ExecutableDir() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string out(path, n < MAX_PATH ? n : 0);
  const auto slash = out.find_last_of("\\/");
  return slash == std::string::npos ? "." : out.substr(0, slash);
}

std::string FullPath(const std::string& path) {
  char full[MAX_PATH];
  const DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  return n > 0 && n < MAX_PATH ? std::string(full, n) : path;
}

int InstallOrRemove(const cli::Program& program, const std::string& command,
                    const cli::Arguments& args) {
  if (args.words.empty()) {
    return program.Usage(command, "name a sample camera");
  }
  std::vector<const camsim::Sample*> samples;
  for (const auto& name : args.words) {
    samples.push_back(camsim::FindSample(name));
    if (!samples.back()) {
      return program.Usage(command, "no sample camera " + name + " (camsim samples lists them)");
    }
  }
  std::string error;
  for (const camsim::Sample* sample : samples) {
    const bool ok =
        command == "install"
            ? camsim::win::InstallStandin(*sample, ExecutableDir() + "\\camsim-standin.sys", &error)
            : camsim::win::RemoveStandin(*sample, &error);
    if (!ok) {
      std::fprintf(stderr, "camsim: %s\n", error.c_str());
      return cli::kExitError;
    }
    std::printf("%s %s: service %s, interface class %s\n",
                command == "install" ? "installed" : "removed", sample->Name.c_str(),
                camsim::win::StandinService(*sample).c_str(), camsim::ClassGuid(sample->kind));
  }
  return cli::kExitOk;
}

int Serve(const cli::Program& program, const std::string& command, const cli::Arguments& args) {
  camsim::win::ServeOptions options;
  std::string problem;
  if (!camsim::ParseCameraChoices(args.words, &options.Cameras, &problem)) {
    return program.Usage(command, problem);
  }
  for (auto& camera : options.Cameras) {
    camera.Unplugged = args.options.count("unplugged") != 0;
  }
  if (args.options.count("state")) {
    options.StateDir = FullPath(args.options.at("state"));
  }
  const auto log = args.options.find("log");
  options.LogPath = log == args.options.end() ? "-" : FullPath(log->second);
  return camsim::win::Server(options).Run();
}

// `image` sends the ID ('*' for the only camera) and a full path; the other
// commands go as they were given.
int Send(const cli::Program& program, const std::string& command, const cli::Arguments& args) {
  if (command != "image") {
    return RunClient(cli::CommandLine(command, args.words), command == "stop");
  }
  const size_t count = args.words.size();
  if (count > 1) {
    return program.Usage(command, "too many arguments");
  }
  const bool save = args.options.count("save") != 0;
  if (save == (args.options.count("load") != 0)) {
    return program.Usage(command, "give one of --save FILE and --load FILE");
  }
  // The server would take a relative path from its own working directory.
  const std::string id = count ? args.words[0] : std::string("*");
  const std::string file = FullPath(args.options.at(save ? "save" : "load"));
  return RunClient(cli::CommandLine(command, {id, save ? "save" : "load", file}), false);
}

const cli::Program kProgram = {
    .Intro = kIntro,
    .OwnSummary = kOwnSummary,
    .Outro = kOutro,
    .CommandUsage = kCommandUsage,
    .ClientOption = "",
    .Peer = "server",
    .CommonOptions = {},
    .CommandOptions = {{"serve", {{"state", "log"}, {"unplugged"}}},
                       {"image", {{"save", "load"}, {}}}},
    .OwnCommands = {{"install", InstallOrRemove}, {"remove", InstallOrRemove}, {"serve", Serve}},
    .Send = Send,
};

}  // namespace

int main(int argc, char** argv) {
  return cli::Run(kProgram, argc, argv);
}
