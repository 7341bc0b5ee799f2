// The Win32 peer is the one a Windows program links.
#include "win32_peers.h"

CPeerFactory* CreatePeerFactory() {
  return new CWin32Peers;
}
