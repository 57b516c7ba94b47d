// PlatResolve on Windows: the look-up runs on its helper thread
// (platform/common/resolve.cpp) and sets an event when it has its answer;
// the caller waits on that and on the event a close of its socket sets,
// within the time limit. Walking away leaves the request to the helper,
// whose late answer then sets an event that only the request still holds.
#include "platform/sock.h"

#include <algorithm>
#include <cstdint>
#include <memory>

#include "platform/common/resolve.h"
#include "platform/errors.h"
#include "platform/system.h"
#include "platform/win32/sock_int.h"

namespace {

int Fail(int nErr) { return SockFail(nErr); }

struct DoneEvent {
  HANDLE h = nullptr;
  ~DoneEvent() {
    if (h) ::CloseHandle(h);
  }
};

}  // namespace

int PlatResolve(SOCKET sWake, const char *pszHost, unsigned short nPort, unsigned nTimeoutMs,
                PlatAddrList *pList) {
  pList->nAddrs = 0;
  std::shared_ptr<const WSAEVENT> pWake = SockWakeEvent(sWake);
  if (!pWake) return Fail(WSAEINTR);
  auto pDone = std::make_shared<DoneEvent>();
  pDone->h = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!pDone->h) return Fail(static_cast<int>(::GetLastError()));
  auto pReq = std::make_shared<ResolveRequest>();
  pReq->fnDone = [pDone] { ::SetEvent(pDone->h); };
  if (!ResolveStart(pReq, pszHost, nPort)) return Fail(WSAENOBUFS);
  HANDLE events[2] = {*pWake, pDone->h};
  DWORD r = ::WaitForMultipleObjects(2, events, FALSE, nTimeoutMs);
  // A close wins over an answer that came at the same moment: the caller
  // has been cancelled and must not go on to connect.
  if (r == WAIT_OBJECT_0 || ::WaitForSingleObject(*pWake, 0) == WAIT_OBJECT_0)
    return Fail(WSAEINTR);
  if (r == WAIT_TIMEOUT) return Fail(PLAT_ETIMEDOUT);
  if (r != WAIT_OBJECT_0 + 1) return Fail(static_cast<int>(::GetLastError()));
  int nErr = ResolveTake(*pReq, pList);
  return nErr ? Fail(nErr) : 0;
}
