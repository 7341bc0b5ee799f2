#include "headless.h"

CPeerFactory* CreatePeerFactory() {
  return new CHeadlessPeers;
}

CHeadlessPeers* HeadlessPeers() {
  return dynamic_cast<CHeadlessPeers*>(Peers());
}
