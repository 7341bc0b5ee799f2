// Test helpers for code that runs on the POSIX platform layer: temporary roots,
// environment overrides, a fault plan reset, SEQPACKET servers and a minimal
// event loop.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "posix_faults.h"
#include "posix_loop.h"

// A fresh directory under /tmp, removed with everything in it.
class PlatformTempDir {
 public:
  PlatformTempDir();
  ~PlatformTempDir();
  PlatformTempDir(const PlatformTempDir&) = delete;
  PlatformTempDir& operator=(const PlatformTempDir&) = delete;
  const std::string& Path() const { return Path_; }
  std::string operator/(const std::string& name) const { return Path_ + "/" + name; }

 private:
  std::string Path_;
};

// Sets (or, with null, unsets) one variable and restores it afterwards.
class PlatformScopedEnv {
 public:
  PlatformScopedEnv(const char* name, const char* value);
  ~PlatformScopedEnv();
  PlatformScopedEnv(const PlatformScopedEnv&) = delete;
  PlatformScopedEnv& operator=(const PlatformScopedEnv&) = delete;

 private:
  std::string Name_;
  std::string Old_;
  bool HadOld_;
};

// A clean fault plan for the test's lifetime.
class PlatformFaultsReset {
 public:
  PlatformFaultsReset() { PosixFaults() = TPosixFaults{}; }
  ~PlatformFaultsReset() { PosixFaults() = TPosixFaults{}; }
};

// A listening AF_UNIX SOCK_SEQPACKET socket bound at any path length.
class PlatformSeqpacketServer {
 public:
  explicit PlatformSeqpacketServer(const std::string& path);
  ~PlatformSeqpacketServer();
  PlatformSeqpacketServer(const PlatformSeqpacketServer&) = delete;
  PlatformSeqpacketServer& operator=(const PlatformSeqpacketServer&) = delete;
  bool Listening() const { return Fd_ >= 0; }
  // The accepted connection's descriptor (the caller closes it), or -1 after
  // timeoutMs without a client.
  int Accept(int timeoutMs = 5000);

 private:
  int Fd_ = -1;
};

// Makes the directory and its parents; returns the path.
std::string PlatformMakeDirectory(const std::string& path);

// Stands in for the toolkit's loop: remembers the watched descriptors and hands
// messages to OnMessage. Installs itself, and puts the loop it replaced back
// on destruction.
class PlatformFakeLoop : public CPosixLoop {
 public:
  struct TMessage {
    HWND Window;
    UINT Msg;
    WPARAM Event;
    std::string Name;  // dbcc_name of the broadcast
    DWORD Size;        // dbcc_size
    DWORD DeviceType;
    GUID ClassGuid;
  };
  PlatformFakeLoop();
  ~PlatformFakeLoop() override;
  void WatchFd(int fd, ReadyFn ready, void* data) override;
  void UnwatchFd(int fd) override;
  bool DeliverMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) override;
  // Waits up to timeoutMs for a watched descriptor to become readable and runs
  // the callbacks of the readable ones; returns how many ran.
  int Pump(int timeoutMs);
  // Pumps until `count` messages have arrived in all, or the time is up.
  bool PumpUntil(std::size_t count, int timeoutMs = 5000);

  std::vector<TMessage> Messages;
  std::function<void(const TMessage&)> OnMessage;
  struct TWatch {
    ReadyFn Ready;
    void* Data;
  };
  std::map<int, TWatch> Watches;

 private:
  CPosixLoop* Previous_;
};
