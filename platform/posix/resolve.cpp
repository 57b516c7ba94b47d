// PlatResolve on POSIX: the look-up runs on its helper thread
// (platform/common/resolve.cpp) and signals an eventfd when it has its
// answer; the caller waits in poll() on that and on the wake-up event of
// its socket, which a close from another thread signals, within the time
// limit. Walking away leaves the request to the helper, whose late answer
// then signals an eventfd that only the request still holds.
#include "platform/sock.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>

#include "platform/common/resolve.h"
#include "platform/errors.h"
#include "platform/posix/sock_int.h"
#include "platform/system.h"

namespace {

int Fail(int nErr) {
  g_nSockLastError = nErr;
  return SOCKET_ERROR;
}

// The wake-up event of an open socket, held as long as the entry is; null
// for a socket that is closed (or never was).
std::shared_ptr<const int> WakeOf(SOCKET s) {
  SockTable &t = SockTableOf();
  std::lock_guard<std::mutex> lock(t.mu);
  auto it = t.map.find(s);
  if (it == t.map.end() || it->second->bClosed.load()) return nullptr;
  return std::shared_ptr<const int>(it->second, &it->second->wakefd);
}

struct DoneEvent {
  int fd = -1;
  ~DoneEvent() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

int PlatResolve(SOCKET sWake, const char *pszHost, unsigned short nPort, unsigned nTimeoutMs,
                PlatAddrList *pList) {
  pList->nAddrs = 0;
  std::shared_ptr<const int> pWake = WakeOf(sWake);
  if (!pWake) return Fail(ECANCELED);
  auto pDone = std::make_shared<DoneEvent>();
  pDone->fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (pDone->fd < 0) return Fail(errno);
  auto pReq = std::make_shared<ResolveRequest>();
  pReq->fnDone = [pDone] {
    std::uint64_t one = 1;
    ssize_t w = ::write(pDone->fd, &one, sizeof one);
    (void)w;
  };
  if (!ResolveStart(pReq, pszHost, nPort)) return Fail(EAGAIN);
  const std::uint64_t tEnd = PlatTickMs() + nTimeoutMs;
  for (;;) {
    const std::uint64_t tNow = PlatTickMs();
    const int nWait = tNow >= tEnd ? 0 : (int)std::min<std::uint64_t>(tEnd - tNow, 0x7fffffff);
    pollfd fds[2];
    fds[0].fd = pDone->fd;
    fds[0].events = POLLIN;
    fds[0].revents = 0;
    fds[1].fd = *pWake;
    fds[1].events = POLLIN;
    fds[1].revents = 0;
    int r = ::poll(fds, 2, nWait);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return Fail(errno);
    // A close wins over an answer that came at the same moment: the caller
    // has been cancelled and must not go on to connect.
    if (fds[1].revents) return Fail(ECANCELED);
    if (fds[0].revents) break;
    if (r == 0) return Fail(PLAT_ETIMEDOUT);
  }
  int nErr = ResolveTake(*pReq, pList);
  return nErr ? Fail(nErr) : 0;
}
