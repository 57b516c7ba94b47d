// The POSIX platform layer's test hooks: a line of any length from a file,
// existing connections handed to the socket layer in place of the sockets
// the HTTP client makes, and a name look-up of the test's own in place of
// the system's resolver.
#include "platform/testhooks.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstring>

#include "platform/common/filetable.h"
#include "platform/posix/sock_int.h"
#include "platform/common/resolve.h"
#include "platform/sock.h"

namespace {

int Fail(int nErr) {
  g_nSockLastError = nErr;
  return SOCKET_ERROR;
}

}  // namespace

int PlatReadLineStr(int h, std::string &out) {
  out.clear();
  auto slot = FileLookup(h);
  if (!slot) return 0;
  FileSlot &f = *slot;
  bool bAny = false;
  for (;;) {
    long nAvail = FileFill(f);
    if (nAvail <= 0) return bAny ? 1 : 0;
    const char *src = f.buf.data() + f.nPos;
    const char *lf = static_cast<const char *>(std::memchr(src, '\n', static_cast<std::size_t>(nAvail)));
    if (lf) {
      std::size_t k = static_cast<std::size_t>(lf - src);
      out.append(src, k);
      f.nPos += k + 1;
      return 1;
    }
    out.append(src, static_cast<std::size_t>(nAvail));
    f.nPos += static_cast<std::size_t>(nAvail);
    bAny = true;
  }
}

SOCKET PlatSocketFromFd(int fd) {
  if (fd < 0) {
    Fail(EBADF);
    return INVALID_SOCKET;
  }
  auto e = std::make_shared<SockEntry>();
  e->fd = fd;  // closed with the entry from here on, a failure below included
  e->bConnected = true;
  int nFlags = ::fcntl(fd, F_GETFL);
  if (nFlags < 0 || ::fcntl(fd, F_SETFL, nFlags | O_NONBLOCK) < 0 ||
      ::fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) {
    Fail(errno);
    return INVALID_SOCKET;
  }
  return SockAdd(std::move(e));
}

int PlatQueueSocket(SOCKET s) {
  SockTable &t = SockTableOf();
  std::lock_guard<std::mutex> lock(t.mu);
  if (t.map.find(s) == t.map.end()) return Fail(EBADF);
  t.queued.push_back(s);
  return 0;
}

int PlatClearSocketQueue() {
  std::deque<SOCKET> queued;
  {
    SockTable &t = SockTableOf();
    std::lock_guard<std::mutex> lock(t.mu);
    queued.swap(t.queued);
  }
  for (SOCKET s : queued) PlatCloseSocket(s);
  return (int)queued.size();
}


std::uint32_t PlatInetAddr(const char *pszAddr) {
  if (!pszAddr) return 0xffffffffu;
  return (std::uint32_t)::inet_addr(pszAddr);
}

void PlatSetLookup(PlatLookupFn pfnLookup) {
  ResolveLookup.store(pfnLookup ? pfnLookup : SystemLookup);
}
