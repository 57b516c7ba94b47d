// TCP client sockets for the download worker.
//
// A SOCKET is a number handed out by this layer and never reused within a
// run. PlatCloseSocket may be called from another thread while the owner is
// blocked in PlatConnectTo, PlatSend or PlatRecv on the same socket: the
// blocked call returns SOCKET_ERROR at once, and every later call with that
// number fails at once. The system descriptor behind it is released when the
// last call using it has returned, so it is never reused under a running call.
//
// A unit known by name is looked up by the system's resolver at each
// connect (PlatResolve); its answers, IPv4 and IPv6, are connected to one by
// one with PlatConnectTo, each on a socket of its own family.
#pragma once
#include <cstddef>
#include <cstdint>
#include "platform/types.h"

// One address a connect can take.
enum { PLAT_AF_INET = 4, PLAT_AF_INET6 = 6 };
struct PlatAddr {
  int nFamily;               // PLAT_AF_INET or PLAT_AF_INET6
  unsigned char abAddr[16];  // network order; IPv4 in the first 4 bytes
  unsigned short nPort;      // host order
};
// A name rarely has more than an IPv4 and an IPv6 address; each one tried
// that does not answer costs a connect limit, so a few are enough.
const int kPlatMaxAddrs = 4;
struct PlatAddrList {
  int nAddrs;
  PlatAddr aAddr[kPlatMaxAddrs];
};

// Starts the socket layer. Reports the version it offers (2.2, as 0x0202)
// through pnVersion. Returns 0 on success.
int PlatSockStartup(unsigned short nRequested, unsigned short *pnVersion);
int PlatSockCleanup();

SOCKET PlatSocket(int nFamily = PLAT_AF_INET);          // TCP, IPv4 or IPv6
// A receive that waits longer than nMs fails with SOCKET_ERROR (EAGAIN).
int PlatSetRecvTimeout(SOCKET s, unsigned int nMs);     // 0 or SOCKET_ERROR
// A connect that has not completed after nMs fails with SOCKET_ERROR
// (ETIMEDOUT) instead of waiting for the system's own limit.
int PlatSetConnectTimeout(SOCKET s, unsigned int nMs);  // 0 or SOCKET_ERROR
// Connects to the address, which must be of the socket's family. The IPv4
// broadcast address 255.255.255.255 fails at once.
int PlatConnectTo(SOCKET s, const PlatAddr *pAddr);          // 0 or SOCKET_ERROR
// Looks pszHost up with the system's resolver for a TCP connect to nPort,
// its answers in the resolver's order (at most kPlatMaxAddrs). The look-up
// runs on a thread of its own: the call waits for it at most nTimeoutMs,
// and returns at once when sWake is closed by another thread (a cancel);
// an answer that comes later is dropped. Names under the reserved
// top-level name "invalid" are not found without asking anyone. 0 with at
// least one address; SOCKET_ERROR otherwise, PlatSockLastError() then
// PLAT_EHOSTNOTFOUND (the name has no address), PLAT_ETRYAGAIN (the
// resolver failed), PLAT_ETIMEDOUT (it did not answer in time) or that of a
// closed socket.
int PlatResolve(SOCKET sWake, const char *pszHost, unsigned short nPort, unsigned nTimeoutMs,
                PlatAddrList *pList);
// The address as text for log entries: "10.1.2.3:80", "[::1]:8080".
void PlatAddrText(const PlatAddr *pAddr, char *pszOut, std::size_t nCap);
long PlatSend(SOCKET s, const void *pBuf, std::size_t n);   // bytes or SOCKET_ERROR
long PlatRecv(SOCKET s, void *pBuf, std::size_t n);         // bytes, 0 closed, SOCKET_ERROR
int PlatCloseSocket(SOCKET s);                              // 0 or SOCKET_ERROR
// Error code of the calling thread's last failed socket call.
int PlatSockLastError();
// 1 when nErr (from PlatSockLastError) is that of a receive whose timeout
// passed without data, as opposed to a connection that failed.
int PlatSockTimedOut(int nErr);
