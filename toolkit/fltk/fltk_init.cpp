#include "fltk_peers.h"

CPeerFactory* CreatePeerFactory() {
  return new CFltkPeers;
}
