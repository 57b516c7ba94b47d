// TCP client sockets for the download worker.
//
// The progress dialog cancels a download by closing the job's sockets from
// the user-interface thread while the worker may be blocked in connect, send
// or receive on them. On Linux closing a descriptor neither wakes a thread
// blocked on it nor keeps its number from being handed to the next open() of
// the process, so the SOCKET values given out here are not descriptors:
//
//   * A SOCKET is an id from a table; ids count up and are never reused, so a
//     stale id finds nothing and fails at once.
//   * Each entry holds the descriptor (non-blocking), an eventfd that is
//     signalled when the socket is closed, and the receive timeout. Every
//     call waits in poll() on both descriptors, so a close wakes it at once.
//   * Received data is read from the system in large pieces into a buffer
//     of the entry and handed out from there, so the line reader's
//     one-byte receives and the bodies' 4096-byte blocks cost a copy, not a
//     system call each. Nothing is lost: every byte the system delivered
//     goes to a later PlatRecv on the same socket, in order.
//   * The entry is reference-counted (shared_ptr): PlatCloseSocket takes it
//     out of the table, marks it closed, signals and shuts the connection
//     down; the descriptors themselves are closed when the last running call
//     lets go of the entry. A descriptor number therefore cannot be reused
//     while a call still works on it.
#include "platform/sock.h"
#include "platform/posix/sock_int.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <deque>
#include <mutex>
#include <unordered_map>

thread_local int g_nSockLastError = 0;

namespace {

std::shared_ptr<SockEntry> Acquire(SOCKET s) {
  if (s == INVALID_SOCKET) return nullptr;
  SockTable &t = SockTableOf();
  std::lock_guard<std::mutex> lock(t.mu);
  auto it = t.map.find(s);
  if (it == t.map.end()) return nullptr;
  return it->second;
}

int Fail(int nErr) {
  g_nSockLastError = nErr;
  return SOCKET_ERROR;
}

// Waits until fd is ready for the given events, the socket is closed, or
// the timeout passes. Returns 1 ready, 0 timeout, -1 closed or poll failure
// (error recorded).
int WaitReady(SockEntry &e, short nEvents, int nTimeoutMs) {
  for (;;) {
    if (e.bClosed.load()) {
      g_nSockLastError = ECANCELED;
      return -1;
    }
    pollfd fds[2];
    fds[0].fd = e.fd;
    fds[0].events = nEvents;
    fds[0].revents = 0;
    fds[1].fd = e.wakefd;
    fds[1].events = POLLIN;
    fds[1].revents = 0;
    int r = ::poll(fds, 2, nTimeoutMs);
    if (r < 0) {
      if (errno == EINTR) continue;
      g_nSockLastError = errno;
      return -1;
    }
    if (e.bClosed.load() || fds[1].revents) {
      g_nSockLastError = ECANCELED;
      return -1;
    }
    if (r == 0) return 0;
    return 1;
  }
}

}  // namespace

SOCKET SockAdd(std::shared_ptr<SockEntry> e) {
  e->wakefd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (e->wakefd < 0) {
    Fail(errno);
    return INVALID_SOCKET;
  }
  SockTable &t = SockTableOf();
  std::lock_guard<std::mutex> lock(t.mu);
  SOCKET s = t.nNext++;
  t.map.emplace(s, std::move(e));
  return s;
}

SOCKET PlatSocket(int nFamily) {
  {
    SockTable &t = SockTableOf();
    std::lock_guard<std::mutex> lock(t.mu);
    if (!t.queued.empty()) {
      SOCKET s = t.queued.front();
      t.queued.pop_front();
      return s;
    }
  }
  auto e = std::make_shared<SockEntry>();
  e->fd = ::socket(nFamily == PLAT_AF_INET6 ? AF_INET6 : AF_INET,
                   SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (e->fd < 0) {
    Fail(errno);
    return INVALID_SOCKET;
  }
  return SockAdd(std::move(e));
}

int PlatSetRecvTimeout(SOCKET s, unsigned int nMs) {
  auto e = Acquire(s);
  if (!e) return Fail(EBADF);
  e->nTimeoutMs.store(nMs > 0x7fffffffu ? 0x7fffffff : (int)nMs);
  return 0;
}

int PlatSetConnectTimeout(SOCKET s, unsigned int nMs) {
  auto e = Acquire(s);
  if (!e) return Fail(EBADF);
  e->nConnectTimeoutMs.store(nMs > 0x7fffffffu ? 0x7fffffff : (int)nMs);
  return 0;
}

int PlatConnectTo(SOCKET s, const PlatAddr *pAddr) {
  auto e = Acquire(s);
  if (!e) return Fail(EBADF);
  if (e->bConnected) return e->bClosed.load() ? Fail(ECANCELED) : 0;
  sockaddr_storage ss;
  std::memset(&ss, 0, sizeof ss);
  socklen_t nAddrLen;
  if (pAddr->nFamily == PLAT_AF_INET6) {
    sockaddr_in6 *p6 = (sockaddr_in6 *)&ss;
    p6->sin6_family = AF_INET6;
    p6->sin6_port = htons(pAddr->nPort);
    std::memcpy(&p6->sin6_addr, pAddr->abAddr, 16);
    nAddrLen = sizeof *p6;
  } else {
    // The "no address" value of PlatInetAddr is the broadcast address, which
    // a TCP connection can never reach; fail it here rather than in the
    // kernel.
    static const unsigned char kBroadcast[4] = {255, 255, 255, 255};
    if (std::memcmp(pAddr->abAddr, kBroadcast, 4) == 0) return Fail(EADDRNOTAVAIL);
    sockaddr_in *p4 = (sockaddr_in *)&ss;
    p4->sin_family = AF_INET;
    p4->sin_port = htons(pAddr->nPort);
    std::memcpy(&p4->sin_addr, pAddr->abAddr, 4);
    nAddrLen = sizeof *p4;
  }
  if (e->bClosed.load()) return Fail(ECANCELED);
  if (::connect(e->fd, (const sockaddr *)&ss, nAddrLen) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return Fail(errno);
  // The connect runs on; wait for its outcome (within the socket's connect
  // timeout when one is set, else the system's own) or for a close from
  // another thread.
  int r = WaitReady(*e, POLLOUT, e->nConnectTimeoutMs.load());
  if (r < 0) return SOCKET_ERROR;
  if (r == 0) return Fail(ETIMEDOUT);
  int nErr = 0;
  socklen_t nLen = sizeof nErr;
  if (::getsockopt(e->fd, SOL_SOCKET, SO_ERROR, &nErr, &nLen) != 0) return Fail(errno);
  if (nErr != 0) return Fail(nErr);
  return 0;
}

long PlatSend(SOCKET s, const void *pBuf, std::size_t n) {
  auto e = Acquire(s);
  if (!e) return Fail(EBADF);
  const char *p = (const char *)pBuf;
  std::size_t nDone = 0;
  while (nDone < n || n == 0) {
    if (e->bClosed.load()) return Fail(ECANCELED);
    ssize_t r = ::send(e->fd, p + nDone, n - nDone, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r >= 0) {
      nDone += (std::size_t)r;
      if (n == 0) break;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Fail(errno);
    if (WaitReady(*e, POLLOUT, -1) < 0) return SOCKET_ERROR;
  }
  return (long)nDone;
}

long PlatRecv(SOCKET s, void *pBuf, std::size_t n) {
  auto e = Acquire(s);
  if (!e) return Fail(EBADF);
  std::lock_guard<std::mutex> lock(e->muRecv);
  if (!e->pRecvBuf) {
    e->pRecvBuf.reset(new (std::nothrow) char[kRecvBufBytes]);
    if (!e->pRecvBuf) return Fail(ENOMEM);
  }
  for (;;) {
    if (e->bClosed.load()) return Fail(ECANCELED);
    if (e->nRecvPos < e->nRecvLen) {
      std::size_t k = std::min(n, e->nRecvLen - e->nRecvPos);
      std::memcpy(pBuf, e->pRecvBuf.get() + e->nRecvPos, k);
      e->nRecvPos += k;
      return (long)k;
    }
    if (n == 0) return 0;
    // Try first: with data waiting (the common case while a body streams in)
    // this costs one system call and no poll.
    ssize_t r = ::recv(e->fd, e->pRecvBuf.get(), kRecvBufBytes, MSG_DONTWAIT);
    if (r > 0) {
      e->nRecvPos = 0;
      e->nRecvLen = (std::size_t)r;
      continue;
    }
    if (r == 0) {
      // The cancel's shutdown() also reads as an orderly end; it must count
      // as a failure, not as the unit having finished the body.
      if (e->bClosed.load()) return Fail(ECANCELED);
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Fail(errno);
    int w = WaitReady(*e, POLLIN, e->nTimeoutMs.load());
    if (w < 0) return SOCKET_ERROR;
    if (w == 0) return Fail(EAGAIN);  // receive timeout
  }
}

int PlatCloseSocket(SOCKET s) {
  std::shared_ptr<SockEntry> e;
  {
    SockTable &t = SockTableOf();
    std::lock_guard<std::mutex> lock(t.mu);
    auto it = t.map.find(s);
    if (it == t.map.end()) return Fail(EBADF);
    e = std::move(it->second);
    t.map.erase(it);
  }
  e->bClosed.store(true);
  std::uint64_t one = 1;
  ssize_t w = ::write(e->wakefd, &one, sizeof one);
  (void)w;
  ::shutdown(e->fd, SHUT_RDWR);
  // The descriptors close when the last call holding the entry returns.
  return 0;
}

int PlatSockLastError() { return g_nSockLastError; }
int PlatSockTimedOut(int nErr) { return nErr == EAGAIN || nErr == EWOULDBLOCK; }
