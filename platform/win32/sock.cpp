// TCP client sockets for the download worker, on Winsock 2.2.
//
// The progress dialog cancels a download by closing the job's sockets from
// the user-interface thread while the worker may be blocked in connect, send
// or receive on them. Winsock does cancel blocking calls when their socket is
// closed, but the handle value may then be handed to the next socket at once,
// under a worker that still uses it. So, as on the other systems:
//
//   * A SOCKET given out here is an id from a table; ids count up and are
//     never reused, so a stale id finds nothing and fails at once.
//   * Each entry holds the system socket (non-blocking, through
//     WSAEventSelect), the event its network events set, an event that a
//     close sets, and the receive timeout. Every call that must wait waits on
//     both events, so a close wakes it at once.
//   * Received data is read from the system in large pieces into a buffer
//     of the entry and handed out from there.
//   * The entry is reference-counted: PlatCloseSocket takes it out of the
//     table, marks it closed, sets the wake event and shuts the connection
//     down; the system socket is closed when the last running call lets go.
//
// Error codes are Winsock's: a call cut short by a close fails with
// WSAEINTR, a receive that waited too long with WSAETIMEDOUT (what a
// blocking socket with SO_RCVTIMEO gives).
#include "platform/sock.h"
#include "platform/win32/sock_int.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

const std::size_t kRecvBufBytes = 64 * 1024;

struct SockEntry {
  ::SOCKET s = INVALID_SOCKET;
  WSAEVENT evNet = WSA_INVALID_EVENT;
  WSAEVENT evWake = WSA_INVALID_EVENT;
  std::mutex muRecv;
  std::unique_ptr<char[]> pRecvBuf;
  std::size_t nRecvPos = 0, nRecvLen = 0;
  std::atomic<bool> bClosed{false};
  std::atomic<long> nTimeoutMs{-1};  // -1: wait for ever
  std::atomic<long> nConnectTimeoutMs{-1};  // -1: the system's own limit
  ~SockEntry() {
    if (s != INVALID_SOCKET) ::closesocket(s);
    if (evNet != WSA_INVALID_EVENT) ::WSACloseEvent(evNet);
    if (evWake != WSA_INVALID_EVENT) ::WSACloseEvent(evWake);
  }
};

struct SockTable {
  std::mutex mu;
  std::unordered_map<SOCKET, std::shared_ptr<SockEntry>> map;
  SOCKET nNext = 1;
};

// Never destroyed: a worker may still be inside a socket call when the
// process ends.
SockTable &Table() {
  static SockTable *p = new SockTable;
  return *p;
}

thread_local int tlsLastError = 0;

std::shared_ptr<SockEntry> Acquire(SOCKET s) {
  if (s == INVALID_SOCKET) return nullptr;
  SockTable &t = Table();
  std::lock_guard<std::mutex> lock(t.mu);
  auto it = t.map.find(s);
  if (it == t.map.end()) return nullptr;
  return it->second;
}

int Fail(int nErr) {
  tlsLastError = nErr;
  return SOCKET_ERROR;
}

// Waits for a network event of the socket, a close, or the timeout (-1: none).
// Returns the network events that happened (their error codes in *pEvents),
// 0 on timeout, -1 when closed or the wait failed (error recorded).
long WaitEvents(SockEntry &e, long nTimeoutMs, WSANETWORKEVENTS *pEvents) {
  if (e.bClosed.load()) return Fail(WSAEINTR);
  WSAEVENT events[2] = {e.evNet, e.evWake};
  DWORD r = ::WSAWaitForMultipleEvents(2, events, FALSE,
                                       nTimeoutMs < 0 ? WSA_INFINITE : static_cast<DWORD>(nTimeoutMs),
                                       FALSE);
  if (e.bClosed.load() || r == WSA_WAIT_EVENT_0 + 1) return Fail(WSAEINTR);
  if (r == WSA_WAIT_TIMEOUT) return 0;
  if (r != WSA_WAIT_EVENT_0) return Fail(::WSAGetLastError());
  std::memset(pEvents, 0, sizeof *pEvents);
  if (::WSAEnumNetworkEvents(e.s, e.evNet, pEvents) != 0) return Fail(::WSAGetLastError());
  // Events that were already taken by an earlier wait read as "try again".
  return pEvents->lNetworkEvents ? pEvents->lNetworkEvents : FD_READ | FD_WRITE;
}

}  // namespace

SOCKET PlatSocket(int nFamily) {
  auto e = std::make_shared<SockEntry>();
  e->s = ::socket(nFamily == PLAT_AF_INET6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (e->s == INVALID_SOCKET) {
    Fail(::WSAGetLastError());
    return INVALID_SOCKET;
  }
  e->evNet = ::WSACreateEvent();
  e->evWake = ::WSACreateEvent();
  if (e->evNet == WSA_INVALID_EVENT || e->evWake == WSA_INVALID_EVENT) {
    Fail(::WSAGetLastError());
    return INVALID_SOCKET;
  }
  // Also makes the socket non-blocking.
  if (::WSAEventSelect(e->s, e->evNet, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
    Fail(::WSAGetLastError());
    return INVALID_SOCKET;
  }
  SockTable &t = Table();
  std::lock_guard<std::mutex> lock(t.mu);
  SOCKET s = t.nNext++;
  t.map.emplace(s, std::move(e));
  return s;
}

int SockFail(int nErr) { return Fail(nErr); }

std::shared_ptr<const WSAEVENT> SockWakeEvent(SOCKET s) {
  auto e = Acquire(s);
  if (!e || e->bClosed.load()) return nullptr;
  return std::shared_ptr<const WSAEVENT>(e, &e->evWake);
}

int PlatSetRecvTimeout(SOCKET s, unsigned int nMs) {
  auto e = Acquire(s);
  if (!e) return Fail(WSAENOTSOCK);
  e->nTimeoutMs.store(nMs > 0x7fffffffu ? 0x7fffffffL : static_cast<long>(nMs));
  return 0;
}

int PlatSetConnectTimeout(SOCKET s, unsigned int nMs) {
  auto e = Acquire(s);
  if (!e) return Fail(WSAENOTSOCK);
  e->nConnectTimeoutMs.store(nMs > 0x7fffffffu ? 0x7fffffffL : static_cast<long>(nMs));
  return 0;
}

int PlatConnectTo(SOCKET s, const PlatAddr *pAddr) {
  auto e = Acquire(s);
  if (!e) return Fail(WSAENOTSOCK);
  sockaddr_storage ss;
  std::memset(&ss, 0, sizeof ss);
  int nLen;
  if (pAddr->nFamily == PLAT_AF_INET6) {
    sockaddr_in6 *p6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    p6->sin6_family = AF_INET6;
    p6->sin6_port = htons(pAddr->nPort);
    std::memcpy(&p6->sin6_addr, pAddr->abAddr, 16);
    nLen = sizeof *p6;
  } else {
    // The "no address" value of PlatInetAddr is the broadcast address, which
    // a TCP connection can never reach.
    static const unsigned char kBroadcast[4] = {255, 255, 255, 255};
    if (std::memcmp(pAddr->abAddr, kBroadcast, 4) == 0) return Fail(WSAEADDRNOTAVAIL);
    sockaddr_in *p4 = reinterpret_cast<sockaddr_in *>(&ss);
    p4->sin_family = AF_INET;
    p4->sin_port = htons(pAddr->nPort);
    std::memcpy(&p4->sin_addr, pAddr->abAddr, 4);
    nLen = sizeof *p4;
  }
  if (e->bClosed.load()) return Fail(WSAEINTR);
  if (::connect(e->s, reinterpret_cast<const sockaddr *>(&ss), nLen) == 0) return 0;
  int nErr = ::WSAGetLastError();
  if (nErr != WSAEWOULDBLOCK) return Fail(nErr);
  // The connect runs on; wait for its outcome (within the socket's connect
  // timeout when one is set, else the system's own) or for a close from
  // another thread.
  const long nLimit = e->nConnectTimeoutMs.load();
  const ULONGLONG tEnd = ::GetTickCount64() + static_cast<ULONGLONG>(nLimit < 0 ? 0 : nLimit);
  for (;;) {
    long nWait = -1;
    if (nLimit >= 0) {
      ULONGLONG tNow = ::GetTickCount64();
      nWait = tNow >= tEnd ? 0 : static_cast<long>(tEnd - tNow);
    }
    WSANETWORKEVENTS ne;
    long r = WaitEvents(*e, nWait, &ne);
    if (r < 0) return SOCKET_ERROR;
    if (r == 0) return Fail(WSAETIMEDOUT);
    if (r & FD_CONNECT) {
      if (ne.iErrorCode[FD_CONNECT_BIT] != 0) return Fail(ne.iErrorCode[FD_CONNECT_BIT]);
      return 0;
    }
  }
}

long PlatSend(SOCKET s, const void *pBuf, std::size_t n) {
  auto e = Acquire(s);
  if (!e) return Fail(WSAENOTSOCK);
  const char *p = static_cast<const char *>(pBuf);
  std::size_t nDone = 0;
  while (nDone < n || n == 0) {
    if (e->bClosed.load()) return Fail(WSAEINTR);
    int nChunk = static_cast<int>(std::min<std::size_t>(n - nDone, 1 << 20));
    int r = ::send(e->s, p + nDone, nChunk, 0);
    if (r >= 0) {
      nDone += static_cast<std::size_t>(r);
      if (n == 0) break;
      continue;
    }
    int nErr = ::WSAGetLastError();
    if (nErr != WSAEWOULDBLOCK) return Fail(nErr);
    WSANETWORKEVENTS ne;
    if (WaitEvents(*e, -1, &ne) < 0) return SOCKET_ERROR;
  }
  return static_cast<long>(nDone);
}

long PlatRecv(SOCKET s, void *pBuf, std::size_t n) {
  auto e = Acquire(s);
  if (!e) return Fail(WSAENOTSOCK);
  std::lock_guard<std::mutex> lock(e->muRecv);
  if (!e->pRecvBuf) {
    e->pRecvBuf.reset(new (std::nothrow) char[kRecvBufBytes]);
    if (!e->pRecvBuf) return Fail(WSAENOBUFS);
  }
  for (;;) {
    if (e->bClosed.load()) return Fail(WSAEINTR);
    if (e->nRecvPos < e->nRecvLen) {
      std::size_t k = std::min(n, e->nRecvLen - e->nRecvPos);
      std::memcpy(pBuf, e->pRecvBuf.get() + e->nRecvPos, k);
      e->nRecvPos += k;
      return static_cast<long>(k);
    }
    if (n == 0) return 0;
    int r = ::recv(e->s, e->pRecvBuf.get(), static_cast<int>(kRecvBufBytes), 0);
    if (r > 0) {
      e->nRecvPos = 0;
      e->nRecvLen = static_cast<std::size_t>(r);
      continue;
    }
    if (r == 0) {
      // The cancel's shutdown also reads as an orderly end; it must count
      // as a failure, not as the unit having finished the body.
      if (e->bClosed.load()) return Fail(WSAEINTR);
      return 0;
    }
    int nErr = ::WSAGetLastError();
    if (nErr != WSAEWOULDBLOCK) return Fail(nErr);
    WSANETWORKEVENTS ne;
    long w = WaitEvents(*e, e->nTimeoutMs.load(), &ne);
    if (w < 0) return SOCKET_ERROR;
    if (w == 0) return Fail(WSAETIMEDOUT);
  }
}

int PlatCloseSocket(SOCKET s) {
  std::shared_ptr<SockEntry> e;
  {
    SockTable &t = Table();
    std::lock_guard<std::mutex> lock(t.mu);
    auto it = t.map.find(s);
    if (it == t.map.end()) return Fail(WSAENOTSOCK);
    e = std::move(it->second);
    t.map.erase(it);
  }
  e->bClosed.store(true);
  ::WSASetEvent(e->evWake);
  ::shutdown(e->s, SD_BOTH);
  // The system socket closes when the last call holding the entry returns.
  return 0;
}

int PlatSockLastError() { return tlsLastError; }
int PlatSockTimedOut(int nErr) { return nErr == WSAETIMEDOUT; }
