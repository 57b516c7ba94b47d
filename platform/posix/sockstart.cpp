// Start-up and clean-up of the socket layer.
#include <csignal>
#include "platform/sock.h"

int PlatSockStartup(unsigned short nRequested, unsigned short *pnVersion) {
  // A unit that closes its end early must not kill the program with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  (void)nRequested;
  if (pnVersion) *pnVersion = 0x0202;
  return 0;
}

int PlatSockCleanup() { return 0; }
