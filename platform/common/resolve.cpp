// The name look-up behind PlatResolve on every system: the helper thread
// that asks the system's resolver, the request it answers into, and the
// text form of an address for log entries. The resolver's interface
// (getaddrinfo) is the same on both systems; only its header differs.
#include "platform/common/resolve.h"

#if defined(_WIN32)
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/errors.h"

namespace {

// RFC 6761: a name under "invalid" never resolves, and a resolver library
// should say so at once rather than ask a name server about it.
int UnderInvalid(const char *pszHost) {
  std::size_t n = std::strlen(pszHost);
  if (n > 0 && pszHost[n - 1] == '.') n--;
  static const char kTld[] = "invalid";
  const std::size_t nTld = sizeof kTld - 1;
  if (n < nTld) return 0;
  for (std::size_t i = 0; i < nTld; i++) {
    char c = pszHost[n - nTld + i];
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    if (c != kTld[i]) return 0;
  }
  return n == nTld || pszHost[n - nTld - 1] == '.';
}

// The resolver's failure as one of the two the callers tell apart.
int LookupError(int nGai) {
  if (nGai == EAI_NONAME) return PLAT_EHOSTNOTFOUND;
#if defined(EAI_NODATA) && EAI_NODATA != EAI_NONAME
  if (nGai == EAI_NODATA) return PLAT_EHOSTNOTFOUND;
#endif
#if defined(EAI_ADDRFAMILY)
  if (nGai == EAI_ADDRFAMILY) return PLAT_EHOSTNOTFOUND;
#endif
  return PLAT_ETRYAGAIN;
}

// Adds one answer to the list unless it is there already (the resolver may
// give an address once per socket type or per source).
void AddAnswer(const addrinfo *pAi, unsigned short nPort, PlatAddrList *pList) {
  PlatAddr a{};
  a.nPort = nPort;
  if (pAi->ai_family == AF_INET && pAi->ai_addrlen >= sizeof(sockaddr_in)) {
    a.nFamily = PLAT_AF_INET;
    std::memcpy(a.abAddr, &reinterpret_cast<const sockaddr_in *>(pAi->ai_addr)->sin_addr, 4);
  } else if (pAi->ai_family == AF_INET6 && pAi->ai_addrlen >= sizeof(sockaddr_in6)) {
    a.nFamily = PLAT_AF_INET6;
    std::memcpy(a.abAddr, &reinterpret_cast<const sockaddr_in6 *>(pAi->ai_addr)->sin6_addr, 16);
  } else {
    return;
  }
  for (int i = 0; i < pList->nAddrs; i++)
    if (pList->aAddr[i].nFamily == a.nFamily &&
        std::memcmp(pList->aAddr[i].abAddr, a.abAddr, sizeof a.abAddr) == 0)
      return;
  pList->aAddr[pList->nAddrs++] = a;
}

}  // namespace

// Trivially destroyed, so a helper thread may still read it as the
// process ends.
std::atomic<ResolveLookupFn> ResolveLookup{SystemLookup};

int SystemLookup(const char *pszHost, unsigned short nPort, PlatAddrList *pList) {
  pList->nAddrs = 0;
  if (UnderInvalid(pszHost)) return PLAT_EHOSTNOTFOUND;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  // Both families, whatever this machine's own addresses are: a unit on the
  // loopback or on a link of its own is reached all the same.
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  char szPort[8];
  std::snprintf(szPort, sizeof szPort, "%u", (unsigned)nPort);
  addrinfo *pRes = nullptr;
  int r = ::getaddrinfo(pszHost, szPort, &hints, &pRes);
  if (r != 0) return LookupError(r);
  for (const addrinfo *p = pRes; p && pList->nAddrs < kPlatMaxAddrs; p = p->ai_next)
    AddAnswer(p, nPort, pList);
  ::freeaddrinfo(pRes);
  return pList->nAddrs ? 0 : PLAT_EHOSTNOTFOUND;
}

int ResolveStart(const std::shared_ptr<ResolveRequest> &pReq, const char *pszHost,
                 unsigned short nPort) {
  try {
    std::string host(pszHost);
    std::thread([pReq, host, nPort] {
      PlatAddrList list{};
      int nErr = ResolveLookup.load()(host.c_str(), nPort, &list);
      {
        std::lock_guard<std::mutex> lock(pReq->mx);
        pReq->list = list;
        pReq->nErr = nErr;
        pReq->bDone = true;
      }
      pReq->fnDone();
    }).detach();
  } catch (...) {
    // No thread (or no memory for the name): nothing was started.
    return 0;
  }
  return 1;
}

int ResolveTake(ResolveRequest &req, PlatAddrList *pList) {
  std::lock_guard<std::mutex> lock(req.mx);
  if (!req.bDone) return PLAT_ETIMEDOUT;
  *pList = req.list;
  if (req.nErr == 0 && req.list.nAddrs == 0) return PLAT_EHOSTNOTFOUND;
  return req.nErr;
}

void PlatAddrText(const PlatAddr *pAddr, char *pszOut, std::size_t nCap) {
  if (nCap == 0) return;
  char sz[64] = "?";
  if (pAddr->nFamily == PLAT_AF_INET6) {
    in6_addr a6;
    std::memcpy(&a6, pAddr->abAddr, 16);
    if (!::inet_ntop(AF_INET6, &a6, sz, sizeof sz)) std::strcpy(sz, "?");
    std::snprintf(pszOut, nCap, "[%s]:%u", sz, (unsigned)pAddr->nPort);
  } else {
    in_addr a4;
    std::memcpy(&a4, pAddr->abAddr, 4);
    if (!::inet_ntop(AF_INET, &a4, sz, sizeof sz)) std::strcpy(sz, "?");
    std::snprintf(pszOut, nCap, "%s:%u", sz, (unsigned)pAddr->nPort);
  }
}
