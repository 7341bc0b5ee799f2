// A fresh headless toolkit for each test, started and closed the way the
// program does it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "headless.h"

class ToolkitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Previous = SetPeers(&Headless);
    InitToolkit();
    Background = new CBackground;
    PBackground = Background;
    Background->Init(1);
  }

  void TearDown() override {
    Background->Done();
    delete Background;
    SetPeers(Previous);
  }

  CHeadlessPeers Headless;
  CPeerFactory* Previous = nullptr;
  CBackground* Background = nullptr;
};

// A window that logs the calls the toolkit makes on its overridable operations
// and can do the program's work inside them.
class CProbeWindow : public CWindow {
 public:
  std::vector<std::string> Log;
  std::vector<std::uint32_t> Commands;
  std::function<void()> WhileDeleting;
  std::function<void()> WhileEnding;

  void Open(const char* title = "Probe") {
    CRect rect;
    rect.Init(100, 100, 272, 188);
    Init(rect, 0x80001213u, Str::LengthA(title), title, nullptr, nullptr, nullptr, nullptr);
    PBackground->Register(this);
    PBackground->Show();
  }

  bool ReceiveMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) override {
    Log.push_back("msg " + std::to_string(msg) + " " + std::to_string(wParam) + " " +
                  std::to_string(lParam));
    return CWindow::ReceiveMsg(msg, wParam, lParam, result);
  }
  void CreatePeerWindow() override {
    CWindow::CreatePeerWindow();
    Log.push_back("create");
  }
  void DeletePeerWindow() override {
    Log.push_back(PeerHandle != nullptr ? "delete" : "delete without native window");
    if (WhileDeleting) {
      WhileDeleting();
    }
    CWindow::DeletePeerWindow();
  }
  void Done() override {
    Log.push_back("done");
    if (WhileEnding) {
      WhileEnding();
    }
    CWindow::Done();
  }
  void ReceiveEvent(TEvent* event) override {
    Commands.push_back(event->Command);
    CWindow::ReceiveEvent(event);
  }
};

// Another factory for the rest of a scope.
class TPeersInUse {
 public:
  explicit TPeersInUse(CPeerFactory* peers) : Previous(SetPeers(peers)) {}
  ~TPeersInUse() { SetPeers(Previous); }
  TPeersInUse(const TPeersInUse&) = delete;
  TPeersInUse& operator=(const TPeersInUse&) = delete;

 private:
  CPeerFactory* Previous;
};

inline CRect MakeRect(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
  CRect rect;
  rect.Init(x, y, w, h);
  return rect;
}
