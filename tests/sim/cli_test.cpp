// The camsim program end to end: a daemon on a private root, driven by the
// client commands, and the commands that need no daemon.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>

#include "sim/core/cli.h"
#include "sim/linux/simulator.h"
#include "sim/sim_support.h"

extern char** environ;

using namespace camsim;
using namespace camsim_test;

namespace {

constexpr int kCommandTimeoutMs = 20000;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

pid_t Spawn(const std::vector<std::string>& args, int out, int err) {
  std::vector<std::string> argv = {CAMSIM_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (auto& arg : argv) {
    pointers.push_back(arg.data());
  }
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  pid_t pid = -1;
  if (::posix_spawn(&pid, CAMSIM_EXE, &actions, nullptr, pointers.data(), environ) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Runs camsim to completion, collecting both outputs.
Result Camsim(const std::vector<std::string>& args) {
  Result result;
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    return result;
  }
  const pid_t pid = Spawn(args, out[1], err[1]);
  ::close(out[1]);
  ::close(err[1]);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* texts[2] = {&result.out, &result.err};
  int open = 2;
  while (pid > 0 && open > 0 && ::poll(fds, 2, kCommandTimeoutMs) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && fds[i].revents) {
        char buffer[4096];
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          texts[i]->append(buffer, size_t(n));
        } else {
          fds[i].fd = -1;
          --open;
        }
      }
    }
  }
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  }
  return result;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// `camsim serve` in the background, ready once it printed "ready".
class Daemon {
 public:
  Daemon(const std::vector<std::string>& args, const std::string& errPath) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
      return;
    }
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::vector<std::string> all = {"serve"};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = Spawn(all, out[1], err);
    ::close(out[1]);
    ::close(err);
    out_ = out[0];
    while (pid_ > 0 && !Has(output_, "\n") && WaitReadable(out_, kCommandTimeoutMs)) {
      char buffer[256];
      const ssize_t n = ::read(out_, buffer, sizeof buffer);
      if (n <= 0) {
        break;
      }
      output_.append(buffer, size_t(n));
    }
  }
  ~Daemon() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) {
      ::close(out_);
    }
  }
  bool Ready() const { return output_ == "ready\n"; }
  void Signal(int signal) { ::kill(pid_, signal); }
  // The exit status, once standard output reached its end (the process is gone).
  int Wait() {
    char buffer[256];
    while (WaitReadable(out_, kCommandTimeoutMs) && ::read(out_, buffer, sizeof buffer) > 0) {
    }
    int status = 0;
    const pid_t pid = pid_;
    pid_ = -1;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
      return -1;
    }
    return WEXITSTATUS(status);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
};

class CliTest : public ::testing::Test {
 protected:
  std::vector<std::string> ServeArgs(std::vector<std::string> cameras) {
    std::vector<std::string> args = {"--root",  root,          "--registry", dir / "registry",
                                     "--state", dir / "state", "--log",      dir / "frames.log"};
    args.insert(args.end(), cameras.begin(), cameras.end());
    return args;
  }

  TempDir dir;
  std::string root = dir / "devices";
};

}  // namespace

TEST_F(CliTest, DaemonServesAndIsControlledByClientCommands) {
  Daemon daemon(ServeArgs({"selvo-kai", "ortek-kai=ok"}), dir / "serve.err");
  ASSERT_TRUE(daemon.Ready()) << ReadText(dir / "serve.err");
  const std::string selvo = InterfaceDir(root, Kind::SelvoKai, "cam0");
  ASSERT_TRUE(IsSocket(selvo + "/0"));

  Result r = Camsim({"status", "--root", root});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.out,
                  "ok sample=ortek-kai kind=OrtekKai class=1 instance=cam0 state=plugged "
                  "write=denied transfers=0 faults=none\n"))
      << r.out;
  EXPECT_TRUE(Has(r.out, "selvo-kai sample=selvo-kai")) << r.out;

  r = Camsim({"dump", "ok", "--root", root});
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* part : {"plugged: yes\n", "write permission: not granted", "camera ID: 20417\n",
                           "type name: OK-420M\n", "filter positions: 8 positions\n",
                           "wheel type: EFW revision 2\n"}) {
    EXPECT_TRUE(Has(r.out, part)) << part << "\n" << r.out;
  }
  r = Camsim({"dump", "--root", root});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "several cameras")) << r.err;

  r = Camsim({"fault", "--root", root, "ok", "refuse", "1", "0x83"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ok faults: refuse:1x0x83\n");
  {
    Pipes pipes(InterfaceDir(root, Kind::OrtekKai, "cam0"));
    EXPECT_EQ(pipes.Exchange(ReadShort(0, 1)), std::vector<uint8_t>{0x83});
    EXPECT_EQ(pipes.Exchange(ReadShort(0, 1)), Success({0x5A}));
  }

  EXPECT_EQ(Camsim({"unplug", "--root", root, "selvo-kai"}).status, 0);
  EXPECT_FALSE(Exists(selvo));
  r = Camsim({"unplug", "--root", root, "selvo-kai"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "not plugged in")) << r.err;
  EXPECT_TRUE(Has(Camsim({"status", "--root", root}).out, "state=unplugged"));
  EXPECT_EQ(Camsim({"plug", "--root", root, "selvo-kai"}).status, 0);
  EXPECT_TRUE(IsSocket(selvo + "/2"));

  r = Camsim({"log", "--root", root, "50"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.out, "ok: reply: 83 (fault refuse, not executed)")) << r.out;

  r = Camsim({"stop", "--root", root});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(Exists(selvo)) << "stop returns once everything is unplugged";
  EXPECT_EQ(daemon.Wait(), 0);
  EXPECT_FALSE(Exists(ControlSocketPath(root)));
  EXPECT_EQ(Camsim({"status", "--root", root}).status, 1);
  EXPECT_TRUE(Has(ReadText(dir / "frames.log"), "request from pid"));
}

TEST_F(CliTest, SigtermUnplugsAndABadImageFileStopsStartUp) {
  {
    Daemon daemon(ServeArgs({"tamis-a=t"}), dir / "serve.err");
    ASSERT_TRUE(daemon.Ready());
    ASSERT_TRUE(Exists(InterfaceDir(root, Kind::TamisA, "cam0")));
    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(), 0);
    EXPECT_FALSE(Exists(InterfaceDir(root, Kind::TamisA, "cam0")));
    EXPECT_TRUE(Exists(root + "/" + ClassGuid(Kind::TamisA)));
  }
  WriteFile(dir / "state/t.eeprom", "short");
  Daemon broken(ServeArgs({"tamis-a=t"}), dir / "broken.err");
  EXPECT_FALSE(broken.Ready());
  EXPECT_EQ(broken.Wait(), 1);
  EXPECT_TRUE(Has(ReadText(dir / "broken.err"), "t.eeprom"));
  EXPECT_EQ(ReadText(dir / "state/t.eeprom"), "short");
}

TEST_F(CliTest, UsageHelpAndCommandsWithoutADaemon) {
  EXPECT_EQ(Camsim({}).status, 2);
  Result r = Camsim({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.out, "usage: camsim COMMAND"));
  for (const char* command :
       {"serve", "plug", "unplug", "status", "dump", "fault", "log", "samples", "stop"}) {
    r = Camsim({command, "--help"});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_TRUE(Has(r.out, std::string("usage: camsim ") + command)) << command;
  }
  EXPECT_EQ(Camsim({"bogus"}).status, 2);
  EXPECT_EQ(Camsim({"serve"}).status, 2);
  EXPECT_EQ(Camsim({"serve", "--root"}).status, 2);
  EXPECT_EQ(Camsim({"serve", "--root", root, "no-such-sample"}).status, 2);
  EXPECT_EQ(Camsim({"status", "extra", "--root", root}).status, 2);
  EXPECT_EQ(Camsim({"fault", "--root", root}).status, 2);
  EXPECT_EQ(Camsim({"fault", "--root", root, "cam", "pipe", "1"}).status, 2);
  EXPECT_EQ(Camsim({"plug", "--root", root, "a b"}).status, 2);
  r = Camsim({"status", "--root", root});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "no camsim daemon serves")) << r.err;

  r = Camsim({"samples"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 8);

  const std::string image = dir / "selvo.eeprom";
  ASSERT_TRUE(SaveImageFile(image, SampleImage(*FindSample("selvo-kaf")), nullptr));
  r = Camsim({"dump", "--image", image, "--sample", "selvo-kaf"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "filter positions: Not installed\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "wheel type: IFW, EFW revision 1\n")) << r.out;
  r = Camsim({"dump", "--image", image, "--sample", "tamis-a"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "262144")) << r.err;
  EXPECT_EQ(Camsim({"dump", "--image", image}).status, 2);
}

// The reader both ports share, on what the program tests above do not reach:
// "--", values given with '=', a flag given a value.
TEST(CliParseTest, OptionsValuesAndTheEndOfOptions) {
  const cli::OptionSet options = {{"root"}, {"unplugged"}};
  auto parse = [&](std::vector<std::string> input, cli::Arguments* args) {
    std::string problem;
    return cli::Parse(input, options, args, &problem) ? std::string() : problem;
  };
  cli::Arguments args;
  EXPECT_EQ(parse({"a", "--root", "r", "-", "--unplugged", "--", "--root=x", "--help"}, &args), "");
  EXPECT_EQ(args.words, (std::vector<std::string>{"a", "-", "--root=x", "--help"}));
  EXPECT_EQ(args.options, (std::map<std::string, std::string>{{"root", "r"}, {"unplugged", "1"}}));
  EXPECT_FALSE(args.help);

  args = {};
  EXPECT_EQ(parse({"--root=x=y", "--help"}, &args), "");
  EXPECT_TRUE(args.words.empty());
  EXPECT_EQ(args.options.at("root"), "x=y");
  EXPECT_TRUE(args.help);

  for (const auto& input : std::vector<std::vector<std::string>>{{"--root"}, {"--root="}}) {
    args = {};
    EXPECT_EQ(parse(input, &args), "--root needs a value");
  }
  EXPECT_EQ(parse({"--unplugged=1"}, &args), "unknown option --unplugged=1");
  EXPECT_EQ(parse({"--state", "s"}, &args), "unknown option --state");
}
