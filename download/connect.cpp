// The connection of one exchange with a unit: its address read from the
// unit's field, a name resolved at each connect (the unit's address may
// have changed since the last), and the connect to each address in the
// resolver's order until one answers. What failed is kept in the job, so
// that the unit's summary line tells a dead unit from one that refused and
// from a name that was not found.
//
// A cancel closes the slot's socket. The socket is made before the name is
// looked up, so that the cancel's close also ends the wait for the
// resolver; each further address gets a fresh socket in the slot.
#include <cstring>

#include "download/http_int.h"
#include "log/errorlog.h"
#include "platform/sock.h"
#include "util/text.h"

namespace {

// The connect limit in whole seconds, for entries and reasons.
unsigned LimitSeconds(unsigned nMs) { return (nMs + 999) / 1000; }

// Puts a new socket of the family into the slot with its time limits,
// closing the one of an earlier address that was there. 1 when it is in
// place and the job runs; a failure is reported here.
int OpenSocket(DownloadJob *pJob, std::atomic<SOCKET> *pSlot, int nFamily) {
  SOCKET s = PlatSocket(nFamily);
  // Exchanged, as a cancel takes it: each socket is closed once.
  SOCKET sOld = pSlot->exchange(s);
  if (sOld != INVALID_SOCKET) PlatCloseSocket(sOld);
  if (s == INVALID_SOCKET) {
    LogError("download", __LINE__, "create socket failed.");
    return 0;
  }
  // A cancel that came before the socket reached its slot could not close
  // it; the dialog's close marks the job first, so looking now is enough.
  if (!JobRunning(pJob)) return 0;
  if (PlatSetRecvTimeout(pSlot->load(), DownloadRecvTimeoutMs.load()) != 0 ||
      PlatSetConnectTimeout(pSlot->load(), DownloadConnectTimeoutMs.load()) != 0) {
    LogError("download", __LINE__, "set socket timeout failed.");
    return 0;
  }
  return 1;
}

// Looks the unit's name up, waiting on the slot's socket for a cancel and
// at most the connect limit for the resolver. 1 with the addresses.
int ResolveUnit(DownloadJob *pJob, std::atomic<SOCKET> *pSlot, const UnitAddress &ua,
                PlatAddrList *pList) {
  DasRecord *pDas = pJob->pDas;
  const unsigned nLimitMs = DownloadConnectTimeoutMs.load();
  if (PlatResolve(pSlot->load(), ua.szHost, ua.nPort, nLimitMs, pList) == 0) return 1;
  int nErr = PlatSockLastError();
  if (!JobRunning(pJob)) return 0;
  pJob->nConnectFailure = CONNECT_NO_NAME;
  if (nErr == PLAT_EHOSTNOTFOUND)
    LogError("download", __LINE__, "Host name [%s] of DAS %s not found", ua.szHost,
             pDas->serialnumber);
  else if (nErr == PLAT_ETIMEDOUT)
    LogError("download", __LINE__,
             "Host name [%s] of DAS %s not found: the resolver gave no answer within %u s",
             ua.szHost, pDas->serialnumber, LimitSeconds(nLimitMs));
  else
    LogError("download", __LINE__, "Host name [%s] of DAS %s not found: the resolver failed (%d)",
             ua.szHost, pDas->serialnumber, nErr);
  return 0;
}

// What a failed connect's error says of the unit; its words for entries.
int ConnectFailureOf(int nErr, char *pszWords, std::size_t nCap) {
  if (nErr == PLAT_ETIMEDOUT) {
    FormatString(pszWords, (unsigned)nCap, "no answer within %u s",
                 LimitSeconds(DownloadConnectTimeoutMs.load()));
    return CONNECT_NO_ANSWER;
  }
  if (nErr == PLAT_ECONNREFUSED) {
    CopyString(pszWords, "connection refused", nCap);
    return CONNECT_REFUSED;
  }
  FormatString(pszWords, (unsigned)nCap, "error %d", nErr);
  return CONNECT_FAILED;
}

}  // namespace

int ConnectToUnit(DownloadJob *pJob, std::atomic<SOCKET> *pSlot, BodyStream **ppBs) {
  DasRecord *pDas = pJob->pDas;
  LogInfo("download", __LINE__, "Connecting to %s", pDas->ipaddress);
  SetJobStatus(pJob, "connecting to %s", pDas->ipaddress);

  UnitAddress ua;
  int bUsable = ParseUnitAddress(pDas->ipaddress, &ua);
  if (!OpenSocket(pJob, pSlot, ua.nKind == UNIT_ADDR_IPV6 ? PLAT_AF_INET6 : PLAT_AF_INET))
    return 0;
  if (!bUsable) {
    // The worker refuses such a unit before any exchange; this is only
    // reached by a caller that did not ask it.
    pJob->nConnectFailure = CONNECT_FAILED;
    LogError("download", __LINE__, "connect socket failed to %s", pDas->ipaddress);
    return 0;
  }
  PlatAddrList list{};
  if (ua.nKind == UNIT_ADDR_NAME) {
    if (!ResolveUnit(pJob, pSlot, ua, &list)) return 0;
  } else {
    list.nAddrs = 1;
    list.aAddr[0] = ua.addr;
  }
  char szWords[48] = "";
  for (int i = 0; i < list.nAddrs; i++) {
    const PlatAddr &a = list.aAddr[i];
    char szAddr[64];
    PlatAddrText(&a, szAddr, sizeof szAddr);
    if (ua.nKind == UNIT_ADDR_NAME) {
      LogInfo("download", __LINE__, "Connecting to %s for %s", szAddr, pDas->ipaddress);
      // The first socket was made for IPv4 before the answer was known.
      if ((i > 0 || a.nFamily != PLAT_AF_INET) && !OpenSocket(pJob, pSlot, a.nFamily)) return 0;
    }
    if (PlatConnectTo(pSlot->load(), &a) == 0) {
      BodyStream *pBs = NewStream(pSlot, pSlot->load());
      if (!pBs) {
        LogError("download", __LINE__, "Out of memory for the answer of %s", pDas->ipaddress);
        return 0;
      }
      pBs->nRecvTimeoutMs = DownloadRecvTimeoutMs.load();
      *ppBs = pBs;
      return JobRunning(pJob);
    }
    int nErr = PlatSockLastError();
    // The operator's cancel closes the socket under a connect that is still
    // waiting: that failure is no fault of the unit, and the worker says
    // once that the download was cancelled.
    if (!JobRunning(pJob)) return 0;
    pJob->nConnectFailure = ConnectFailureOf(nErr, szWords, sizeof szWords);
    if (i + 1 < list.nAddrs)
      LogInfo("download", __LINE__, "Connect to %s failed (%s); trying the next address", szAddr,
              szWords);
  }
  // "connect socket failed to" is what operators and their scripts look
  // for; the words after it say why.
  LogError("download", __LINE__, "connect socket failed to %s (%s)", pDas->ipaddress, szWords);
  return 0;
}

void FormatHostLine(const DasRecord *pDas, char *pszOut, std::size_t nCap) {
  UnitAddress ua;
  pszOut[0] = 0;
  if (!ParseUnitAddress(pDas->ipaddress, &ua) || ua.nKind == UNIT_ADDR_IPV4) return;
  if (ua.nPort == 80)
    FormatString(pszOut, (unsigned)nCap, "Host: %s\r\n", ua.szHost);
  else
    FormatString(pszOut, (unsigned)nCap, "Host: %s:%u\r\n", ua.szHost, (unsigned)ua.nPort);
}
