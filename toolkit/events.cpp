// The event queue and the peer factory in use.
#include <deque>
#include <memory>
#include <utility>

#include "toolkit_core.h"

namespace {

struct TQueued {
  CEventHandler* Handler;
  TEvent Event;
};

std::deque<TQueued>& Queue() {
  static std::deque<TQueued> queue;
  return queue;
}

CPeerFactory* CurrentPeers = nullptr;

std::unique_ptr<CPeerFactory>& OwnPeers() {
  static std::unique_ptr<CPeerFactory> own;
  return own;
}

}  // namespace

CEventHandler::~CEventHandler() {
  auto& queue = Queue();
  std::erase_if(queue, [this](const TQueued& queued) { return queued.Handler == this; });
}

void CEventHandler::MakeEvent(const TEvent& event) {
  Queue().push_back({this, event});
  Peers()->Wake();
}

void CEventHandler::ReceiveEvent(TEvent*) {}

std::int32_t DispatchQueuedEvents() {
  std::int32_t handled = 0;
  auto& queue = Queue();
  // Popped before the call: a handler may queue more, or run a nested loop that
  // dispatches too.
  while (!queue.empty()) {
    TQueued queued = queue.front();
    queue.pop_front();
    const auto* view = dynamic_cast<const CView*>(queued.Handler);
    if (view != nullptr && view->Ended) {
      continue;
    }
    queued.Handler->ReceiveEvent(&queued.Event);
    ++handled;
  }
  return handled;
}

bool HasQueuedEvents() {
  return !Queue().empty();
}

void ClearQueuedEvents() {
  Queue().clear();
}

CPeerFactory* Peers() {
  if (CurrentPeers == nullptr) {
    if (!OwnPeers()) {
      OwnPeers().reset(CreatePeerFactory());
    }
    CurrentPeers = OwnPeers().get();
  }
  return CurrentPeers;
}

CPeerFactory* SetPeers(CPeerFactory* factory) {
  CPeerFactory* previous = CurrentPeers;
  CurrentPeers = factory;
  return previous;
}

std::int32_t CPeerFactory::TextWidth(TFont, std::int32_t length, const char* text) {
  std::int32_t n = 0;
  while (text != nullptr && n < length && text[n] != '\0') {
    ++n;
  }
  return 7 * n;
}
