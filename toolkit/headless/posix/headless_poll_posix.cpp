#include <poll.h>

#include <algorithm>
#include <vector>

#include "headless.h"

std::int32_t CHeadlessPeers::PollFds(std::int32_t timeoutMs) {
  if (Watches.empty()) {
    return 0;
  }
  std::vector<pollfd> fds;
  fds.reserve(Watches.size());
  for (const TWatch& watch : Watches) {
    fds.push_back({watch.Fd, POLLIN, 0});
  }
  if (poll(fds.data(), fds.size(), std::max(timeoutMs, 0)) <= 0) {
    return 0;
  }
  std::int32_t ran = 0;
  for (const pollfd& ready : fds) {
    if (ready.revents == 0) {
      continue;
    }
    // A callback may have dropped this watch, or another one, in the meantime.
    const auto found = std::find_if(Watches.begin(), Watches.end(),
                                    [&ready](const TWatch& watch) { return watch.Fd == ready.fd; });
    if (found == Watches.end()) {
      continue;
    }
    if ((ready.revents & POLLNVAL) != 0) {
      // Closed without being unwatched: it would be reported ready for ever.
      Watches.erase(found);
      continue;
    }
    const TWatch watch = *found;
    watch.Ready(watch.Fd, watch.Data);
    ++ran;
  }
  return ran;
}
