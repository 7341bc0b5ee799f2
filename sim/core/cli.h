// The command line both camsim ports share: how arguments are read, the usage
// and exit statuses, the commands that need no daemon, and the checks a client
// command passes before it is sent. Each port brings its texts, its own
// commands and its way of reaching the daemon.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace camsim::cli {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

struct Arguments {
  std::map<std::string, std::string> options;  // a flag holds "1"
  std::vector<std::string> words;
  bool help = false;
};

struct OptionSet {
  std::vector<std::string> valued;  // --NAME VALUE or --NAME=VALUE; the value is never empty
  std::vector<std::string> flags;   // --NAME
};

// Reads what follows the command: options may come anywhere, --help anywhere
// asks for the command's usage, and a "--" makes every later word a word.
// False with *problem for an unknown option or a missing value.
bool Parse(const std::vector<std::string>& input, const OptionSet& options, Arguments* args,
           std::string* problem);

// Words travel on one line to the daemon: no blanks or control characters.
bool Readable(const std::string& word);

// One port's program.
struct Program {
  // `camsim --help`: the intro, the port's own commands (one line each),
  // then those both ports have, and the closing words.
  const char* Intro;
  const char* OwnSummary;
  const char* Outro;
  // The --help text of each command of the port's own; the client commands
  // both ports have (plug, unplug, status, dump, fault, log, samples, stop)
  // are described here, with ClientOption and Peer filled in.
  std::map<std::string, std::string> CommandUsage;
  const char* ClientOption;                // what every client command takes: "[--root DIR]", or ""
  const char* Peer;                        // who answers them: "daemon", "server"
  std::vector<std::string> CommonOptions;  // valued options every command takes
  std::map<std::string, OptionSet> CommandOptions;
  // The port's own commands, run once the words are known to be readable.
  using Handler = std::function<int(const Program&, const std::string& command, const Arguments&)>;
  std::map<std::string, Handler> OwnCommands;
  // Sends a client command that passed the shared checks; the exit status.
  Handler Send;

  // Tells what is wrong and how the command is used; kExitUsage.
  int Usage(const std::string& command, const std::string& problem) const;
  // The command's --help text; empty for no such command.
  std::string UsageOf(const std::string& command) const;
};

// The program's main.
int Run(const Program& program, int argc, char** argv);

// "COMMAND WORD...", the line a client command becomes.
std::string CommandLine(const std::string& command, const std::vector<std::string>& words);

// Copies the daemon's answer to a command: lines go to standard output until
// "ok" or "error: WHY" (WHY to standard error) ends it.
class Answer {
 public:
  // The bytes of the answer as they arrive.
  void Feed(std::string_view bytes);
  bool Ended() const { return status_ >= 0; }
  // The exit status; an answer that never ended is an error of the peer.
  int Finish(const char* peer) const;

 private:
  void Line(const std::string& text);
  std::string pending_;
  int status_ = -1;
};

}  // namespace camsim::cli
