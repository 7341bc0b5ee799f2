// Helpers for the camsim tests: private temporary directories and the tool's
// side of the pipes. Waiting is always a poll with a time-out, never a sleep.
#pragma once

#include <ftw.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/linux/simulator.h"

namespace camsim_test {

inline constexpr int kWaitMs = 5000;

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/camsim-test-XXXXXX";
    if (::mkdtemp(pattern.data())) {
      path_ = pattern;
    }
  }
  ~TempDir() {
    if (!path_.empty()) {
      ::nftw(
          path_.c_str(),
          [](const char* p, const struct stat*, int, FTW*) { return ::remove(p) == 0 ? 0 : 0; }, 16,
          FTW_DEPTH | FTW_PHYS);
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

inline bool IsSocket(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

inline std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") {
        names.push_back(name);
      }
    }
    ::closedir(d);
  }
  return names;
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string ReadText(const std::string& path) {
  const auto bytes = ReadFile(path);
  return {bytes.begin(), bytes.end()};
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline bool WaitReadable(int fd, int ms = kWaitMs) {
  pollfd pfd{fd, POLLIN, 0};
  return ::poll(&pfd, 1, ms) == 1;
}

// The tool's three pipes on one interface.
struct Pipes {
  explicit Pipes(const std::string& interfaceDir) {
    for (int p = 0; p < 3; ++p) {
      fd[p] = camsim::ConnectUnixSocket(interfaceDir + "/" + std::to_string(p), SOCK_SEQPACKET);
    }
  }
  ~Pipes() {
    for (int f : fd) {
      if (f >= 0) {
        ::close(f);
      }
    }
  }
  Pipes(const Pipes&) = delete;
  Pipes& operator=(const Pipes&) = delete;
  bool Open() const { return fd[0] >= 0 && fd[1] >= 0 && fd[2] >= 0; }

  bool Send(const std::vector<uint8_t>& frame) const {
    return ::send(fd[0], frame.data(), frame.size(), MSG_NOSIGNAL) == ssize_t(frame.size());
  }
  // One reply message; empty when none came in time or the pipe was closed.
  std::vector<uint8_t> Receive(int ms = kWaitMs) const {
    if (!WaitReadable(fd[1], ms)) {
      return {};
    }
    uint8_t buffer[256];
    const ssize_t n = ::recv(fd[1], buffer, sizeof buffer, 0);
    return n > 0 ? std::vector<uint8_t>(buffer, buffer + n) : std::vector<uint8_t>{};
  }
  std::vector<uint8_t> Exchange(const std::vector<uint8_t>& frame) const {
    return Send(frame) ? Receive() : std::vector<uint8_t>{};
  }
  // True once pipe 1 reports the end of the stream.
  bool Closed(int ms = kWaitMs) const {
    if (!WaitReadable(fd[1], ms)) {
      return false;
    }
    uint8_t byte;
    return ::recv(fd[1], &byte, 1, MSG_DONTWAIT) == 0;
  }

  int fd[3] = {-1, -1, -1};
};

inline std::vector<uint8_t> ReadShort(uint8_t address, uint8_t count) {
  return {camsim::kOpcodeRead, address, count};
}

inline std::vector<uint8_t> ReadLong(uint32_t address, uint8_t count) {
  return {camsim::kOpcodeRead,    uint8_t(address),       uint8_t(address >> 8),
          uint8_t(address >> 16), uint8_t(address >> 24), count};
}

inline std::vector<uint8_t> WriteShort(uint8_t address, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> frame = {camsim::kOpcodeWrite, address, uint8_t(data.size())};
  frame.insert(frame.end(), data.begin(), data.end());
  return frame;
}

inline std::vector<uint8_t> WriteLong(uint32_t address, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> frame = ReadLong(address, uint8_t(data.size()));
  frame[0] = camsim::kOpcodeWrite;
  frame.insert(frame.end(), data.begin(), data.end());
  return frame;
}

inline std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t at, size_t count) {
  return {bytes.begin() + long(at), bytes.begin() + long(at + count)};
}

inline std::vector<uint8_t> Success(const std::vector<uint8_t>& data = {}) {
  std::vector<uint8_t> reply = {camsim::kStatusSuccess};
  reply.insert(reply.end(), data.begin(), data.end());
  return reply;
}

}  // namespace camsim_test
