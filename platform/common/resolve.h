// Inside the platform layer: the name look-up behind PlatResolve, shared by
// every system. The look-up runs on a helper thread of its own, because a
// resolver may take any time (a name server that does not answer) and the
// system's call cannot be cancelled; each system's PlatResolve waits for it
// together with the close of the caller's socket, and walks away from it on
// a cancel or at the time limit. The request is shared by the two threads,
// so a late answer lands in a request nobody reads and goes with it.
// Not for use outside platform/ (and the test hooks).
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/sock.h"

// The look-up the helper thread runs: 0 with the addresses in *pList, or a
// PLAT_E value. The system's resolver unless a test has put another in.
typedef int (*ResolveLookupFn)(const char *pszHost, unsigned short nPort, PlatAddrList *pList);
int SystemLookup(const char *pszHost, unsigned short nPort, PlatAddrList *pList);
extern std::atomic<ResolveLookupFn> ResolveLookup;

struct ResolveRequest {
  std::mutex mx;
  bool bDone = false;
  int nErr = 0;
  PlatAddrList list{};
  // Wakes the waiting thread; called once by the helper, after bDone.
  std::function<void()> fnDone;
};

// Starts the look-up of pszHost for nPort on a detached thread, which fills
// the request and then calls its fnDone. 1 when started; 0 when no thread
// could be made (nothing runs then).
int ResolveStart(const std::shared_ptr<ResolveRequest> &pReq, const char *pszHost,
                 unsigned short nPort);
// What a finished request found: 0 with the addresses in *pList, or the
// PLAT_E value of its failure.
int ResolveTake(ResolveRequest &req, PlatAddrList *pList);
