// For tests and fuzz targets only (built into tandrel_testhooks, which the
// program never links): ways into the platform layer's files and sockets
// that the program itself has no use for.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/sock.h"
#include "platform/types.h"

// The newest window made from a template that still exists (0 if none), and
// a wait for one to appear (0 after the timeout).
HWND FindWindowByTemplate(const char *pszTemplate);
HWND WaitForWindow(const char *pszTemplate, int nTimeoutMs);
// Waits until the UI thread has handled everything queued for it (sent and
// posted) and sleeps in one of its loops. Because a sent message overtakes
// posted ones, a send cannot tell that a posted command is done; this can.
// 1 when idle, 0 after the timeout.
int WaitForIdle(int nTimeoutMs);

// Dotted IPv4 text to an address in network order; 0xffffffff if invalid.
std::uint32_t PlatInetAddr(const char *pszAddr);

// PlatConnectTo an IPv4 address in network order (as PlatInetAddr gives
// it) and a port in host order.
inline int PlatConnect(SOCKET s, std::uint32_t nAddr, unsigned short nPort) {
  PlatAddr a{};
  a.nFamily = PLAT_AF_INET;
  std::memcpy(a.abAddr, &nAddr, 4);
  a.nPort = nPort;
  return PlatConnectTo(s, &a);
}

// The look-up PlatResolve runs on its helper thread: 0 with the addresses
// in *pList, or a PLAT_E value (PLAT_EHOSTNOTFOUND, PLAT_ETRYAGAIN). A test
// installs one that answers as it is told, or never; null puts the
// system's resolver back.
typedef int (*PlatLookupFn)(const char *pszHost, unsigned short nPort, PlatAddrList *pList);
void PlatSetLookup(PlatLookupFn pfnLookup);

// POSIX layer only from here on.

// Where the headless backend writes its live progress line instead of the
// terminal; null restores the default.
void HeadlessSetLiveLineSink(void (*pfnSink)(const char *pszBytes));

// Reads a whole line of any length (LF consumed, not stored) into out, with
// PlatReadLine's rules otherwise. Returns 1 if a line was read, 0 at end of
// data with nothing read.
int PlatReadLineStr(int h, std::string &out);

// A connection that exists already (an accepted socket, one end of a socket
// pair) as a SOCKET of the layer, which owns fd from then on and closes it.
// PlatConnect on it succeeds at once, whatever the address. INVALID_SOCKET
// (fd closed) when the layer cannot take it.
SOCKET PlatSocketFromFd(int fd);
// Hands s (from PlatSocketFromFd) to the next PlatSocket() call of the
// process instead of a new socket; several wait their turn in order. This is
// how tests and fuzzers run the HTTP client, which makes its own sockets,
// over a socket pair. Returns 0, or SOCKET_ERROR for an unknown s.
int PlatQueueSocket(SOCKET s);
// Drops the sockets queued and not taken (closing them). Returns how many.
int PlatClearSocketQueue();
