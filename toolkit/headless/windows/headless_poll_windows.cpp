// Windows delivers device notifications as window messages; the headless peer
// has no descriptors to wait on there.
#include "headless.h"

std::int32_t CHeadlessPeers::PollFds(std::int32_t) {
  return 0;
}
