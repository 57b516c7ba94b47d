// TCP client sockets for the download worker.
//
// A SOCKET is a number handed out by this layer and never reused within a
// run. PlatCloseSocket may be called from another thread while the owner is
// blocked in PlatConnect, PlatSend or PlatRecv on the same socket: the
// blocked call returns SOCKET_ERROR at once, and every later call with that
// number fails at once. The system descriptor behind it is released when the
// last call using it has returned, so it is never reused under a running call.
#pragma once
#include <cstdint>
#include "platform/types.h"

// Starts the socket layer. Reports the version it offers (2.2, as 0x0202)
// through pnVersion. Returns 0 on success.
int PlatSockStartup(unsigned short nRequested, unsigned short *pnVersion);
int PlatSockCleanup();

SOCKET PlatSocket();                                    // IPv4 TCP
// A receive that waits longer than nMs fails with SOCKET_ERROR (EAGAIN).
int PlatSetRecvTimeout(SOCKET s, unsigned int nMs);     // 0 or SOCKET_ERROR
// A connect that has not completed after nMs fails with SOCKET_ERROR
// (ETIMEDOUT) instead of waiting for the system's own limit.
int PlatSetConnectTimeout(SOCKET s, unsigned int nMs);  // 0 or SOCKET_ERROR
// Connects to addr (network order) and port (host order). The "invalid"
// address 0xffffffff fails at once.
int PlatConnect(SOCKET s, std::uint32_t nAddr, unsigned short nPort);
long PlatSend(SOCKET s, const void *pBuf, std::size_t n);   // bytes or SOCKET_ERROR
long PlatRecv(SOCKET s, void *pBuf, std::size_t n);         // bytes, 0 closed, SOCKET_ERROR
int PlatCloseSocket(SOCKET s);                              // 0 or SOCKET_ERROR
// Error code of the calling thread's last failed socket call.
int PlatSockLastError();
// 1 when nErr (from PlatSockLastError) is that of a receive whose timeout
// passed without data, as opposed to a connection that failed.
int PlatSockTimedOut(int nErr);
