// Start-up and clean-up of the socket layer: Winsock itself.
#include "platform/sock.h"

int PlatSockStartup(unsigned short nRequested, unsigned short *pnVersion) {
  WSADATA data;
  int nErr = ::WSAStartup(nRequested, &data);
  if (nErr != 0) return nErr;
  if (pnVersion) *pnVersion = data.wVersion;
  return 0;
}

int PlatSockCleanup() { return ::WSACleanup(); }
