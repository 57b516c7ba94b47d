// Per-file transfers against a reachable unit: a device's log into a
// temporary file and on to the merge, the delete request for the log data
// handed over, and the configuration files of the unit and its devices.
#include <cstring>

#include "download/download.h"
#include "merge/merge.h"
#include "platform/file.h"
#include "platform/sock.h"
#include "platform/system.h"
#include "shell/errorlog.h"
#include "util/text.h"

namespace {
// Bodies are read in large blocks: a log of years is hundreds of megabytes,
// and the progress refresh is throttled, not sent per block.
const int kBodyBlock = 64 * 1024;
const int kLogBlock = kBodyBlock;
const int kConfigBlock = kBodyBlock;
}  // namespace

std::atomic<unsigned> DownloadRefreshMs{50};

int ReceiveBody(DownloadJob *pJob, std::atomic<SOCKET> *pSlot, int hFile, int nBlock,
                BodyInfo *pInfo) {
  static thread_local char buf[kBodyBlock];
  if (nBlock <= 0 || nBlock > kBodyBlock) nBlock = kBodyBlock;
  BodyInfo info{};
  const long long llAnnounced = pJob->llContentLength;
  std::uint64_t tLastRefresh = PlatTickMs();
  bool bUnshown = false;  // bytes counted since the last refresh
  auto Finish = [&](int nEnd) {
    if (bUnshown) RefreshJob(pJob);  // the count shown last is exact
    if (nEnd == BODY_FAILED) CopyString(info.szProblem, HttpBodyProblem(pSlot), sizeof info.szProblem);
    if (pInfo) *pInfo = info;
    return nEnd;
  };
  // The body runs until the unit closes the connection; each block is
  // written at once. The socket is taken from the slot for every receive,
  // so one closed by a cancel is never used again.
  for (;;) {
    long n = HttpRecvBody(pSlot, buf, (std::size_t)nBlock);
    if (n == 0) {
      if (!JobRunning(pJob)) return Finish(BODY_CANCELLED);
      // An ordinary close is also how a reloading server or a proxy's
      // timeout ends a transfer half-way: only the announced length can
      // tell such a body from a whole one.
      if (llAnnounced >= 0 && info.ullBytes < (unsigned long long)llAnnounced)
        return Finish(BODY_SHORT);
      return Finish(BODY_COMPLETE);
    }
    if (n < 0) return Finish(BODY_FAILED);
    pJob->ulBytes += (std::uint32_t)n;
    bUnshown = true;
    if (PlatWrite(hFile, buf, (std::size_t)n) != n) {
      info.nWriteErr = PlatErrno();
      if (info.nWriteErr == 0) info.nWriteErr = -1;
      return Finish(BODY_WRITE_FAILED);
    }
    // Only bytes known to be on their way to the file count as stored.
    for (const char *p = buf, *pEnd = buf + n;
         (p = (const char *)std::memchr(p, '\n', (std::size_t)(pEnd - p))) != nullptr; ++p) {
      info.ullLineEnd = info.ullBytes + (unsigned long long)(p - buf) + 1;
      info.lLines++;
    }
    info.ullBytes += (unsigned long long)n;
    if (llAnnounced >= 0 && info.ullBytes > (unsigned long long)llAnnounced)
      return Finish(BODY_LONG);
    std::uint64_t tNow = PlatTickMs();
    if (tNow - tLastRefresh >= DownloadRefreshMs.load()) {
      RefreshJob(pJob);
      tLastRefresh = tNow;
      bUnshown = false;
    }
    if (!JobRunning(pJob)) return Finish(BODY_CANCELLED);
  }
}

const char *DescribeBodyEnd(int nEnd, const BodyInfo &info, long long llAnnounced, char *pszBuf,
                            unsigned nCap) {
  switch (nEnd) {
    case BODY_SHORT:
      FormatString(pszBuf, nCap, "cut short, %llu of %lld bytes arrived", info.ullBytes,
                   llAnnounced);
      break;
    case BODY_LONG:
      FormatString(pszBuf, nCap, "more than the %lld bytes announced arrived", llAnnounced);
      break;
    case BODY_WRITE_FAILED:
      FormatString(pszBuf, nCap, "write failed after %llu bytes, got %d %s", info.ullBytes,
                   info.nWriteErr, PlatStrError(info.nWriteErr));
      break;
    case BODY_FAILED:
      if (info.szProblem[0])
        FormatString(pszBuf, nCap, "%s, %llu bytes arrived", info.szProblem, info.ullBytes);
      else if (llAnnounced >= 0)
        FormatString(pszBuf, nCap, "connection failed, %llu of %lld bytes arrived",
                     info.ullBytes, llAnnounced);
      else
        FormatString(pszBuf, nCap, "connection failed after %llu bytes", info.ullBytes);
      break;
    default:
      FormatString(pszBuf, nCap, "ended after %llu bytes", info.ullBytes);
      break;
  }
  return pszBuf;
}

void FailRequest(DownloadJob *pJob, const char *pszWhat, int nGot, int nHttpResult) {
  if (!nGot && nHttpResult && pJob->nHttpStage >= HTTP_SENT) {
    // A status line came, but the header never ended (a closed connection,
    // a peer too slow to wait for).
    FailJob(pJob, "broke off its answer to the %s request (HTTP %d)", pszWhat, nHttpResult);
  } else if (nHttpResult) {
    const char *pszHint = "";
    if (nHttpResult == 400) pszHint = " (is this an HTTPS port?)";
    else if (nHttpResult >= 300 && nHttpResult < 400) pszHint = " (a redirect)";
    FailJob(pJob, "answered HTTP %d to the %s request%s", nHttpResult, pszWhat, pszHint);
  } else if (nGot) {
    FailJob(pJob, "answered the %s request without an HTTP status line", pszWhat);
  } else if (pJob->nHttpStage < HTTP_SENT) {
    FailJob(pJob, "could not be reached (%s request)", pszWhat);
  } else {
    FailJob(pJob, "gave no HTTP answer to the %s request", pszWhat);
  }
}

int RequestLogDelete(DownloadJob *pJob, int nKind, int nDevice) {
  DasRecord *pDas = pJob->pDas;
  char szPath[64];
  if (nKind == MultiDevice) {
    FormatString(szPath, sizeof szPath, "/setup/statlog.cgi?DELMBZIPLOG=%d", nDevice);
    LogInfo("download", __LINE__, "Request log file delete for device %d, serial %s", nDevice,
            pDas->serialnumber);
  } else {
    CopyString(szPath, "/deletelog.cgi", sizeof szPath);
    LogInfo("download", __LINE__, "Request log file delete for device [1], serial %s",
            pDas->serialnumber);
  }
  SetJobStatus(pJob, "Removing data from DAS %s", pDas->serialnumber);

  int nHttpResult = 0;
  if (HttpGet(szPath, pJob, &pJob->sockFile, &nHttpResult) && nHttpResult == 200) {
    char szLine[2048];
    while (RecvLine(&pJob->sockFile, szLine, sizeof szLine)) {
    }
    CloseJobSocket(pJob->sockFile);
    LogInfo("download", __LINE__, "Request log file delete complete");
    return 1;
  }
  CloseJobSocket(pJob->sockFile);
  LogInfo("download", __LINE__, "Log file delete request failed");
  return 0;
}

int DownloadLogFile(DownloadJob *pJob, int nKind, int nDevice) {
  DasRecord *pDas = pJob->pDas;
  char szPath[64];
  if (nKind == MultiDevice)
    FormatString(szPath, sizeof szPath, "/setup/logexport.cgi?MB=%d", nDevice);
  else
    CopyString(szPath, "/mb-001.log", sizeof szPath);

  int nHttpResult = 0;
  int nGot = HttpGet(szPath, pJob, &pJob->sockFile, &nHttpResult);
  if (!nGot || nHttpResult != 200) {
    CloseJobSocket(pJob->sockFile);
    if (!JobRunning(pJob)) return 0;  // the operator's cancel cut it short
    LogError("download", __LINE__, "Unexpected server response, expected logfile.\nGot http result %d",
             nHttpResult);
    FailRequest(pJob, "log file", nGot, nHttpResult);
    return 0;
  }
  SetJobStatus(pJob, "Reading log data from %s", pDas->ipaddress);

  if (!CreateTempLogFile(pDas->serialnumber, nDevice, pJob->szTempFile, sizeof pJob->szTempFile,
                         &pJob->nTempFile)) {
    CloseJobSocket(pJob->sockFile);
    FailJob(pJob, "temporary file for device %d could not be created", nDevice);
    return 0;
  }
  const long long llAnnounced = pJob->llContentLength;
  BodyInfo info;
  int nEnd = ReceiveBody(pJob, &pJob->sockFile, pJob->nTempFile, kLogBlock, &info);
  CloseJobSocket(pJob->sockFile);
  int bComplete = nEnd == BODY_COMPLETE;
  int bCancelled = !JobRunning(pJob);

  // A body that did not arrive whole ends somewhere inside a line; that cut
  // line would stand in the local log as a short record. Only the lines up
  // to the last line feed are kept. A file that cannot be cut is not merged
  // now; the next merge of this device takes it up and ignores its
  // unterminated last line.
  int bMergeable = 1;
  if (!bComplete && PlatTruncate(pJob->nTempFile, (long long)info.ullLineEnd) != 0) {
    int nErr = PlatErrno();
    LogError("download", __LINE__, "Error writing file %s, got %d %s", pJob->szTempFile, nErr,
             PlatStrError(nErr));
    FailJob(pJob, "the log of device %d could not be stored", nDevice);
    bMergeable = 0;
  }
  if (PlatClose(pJob->nTempFile) != 0 && bComplete) {
    int nErr = PlatErrno();
    LogError("download", __LINE__, "Error writing file %s, got %d %s", pJob->szTempFile, nErr,
             PlatStrError(nErr));
    FailJob(pJob, "the log of device %d could not be stored", nDevice);
    bComplete = 0;
  }
  pJob->nTempFile = -1;
  // Not one whole line arrived (a refused encoding, a cut in the first
  // line): there is nothing to merge, and a merge would only leave an empty
  // local log behind.
  if (!bComplete && bMergeable && info.ullLineEnd == 0) {
    (void)PlatUnlink(pJob->szTempFile);
    bMergeable = 0;
  }

  if (bComplete) {
    LogInfo("download", __LINE__, "Log file download complete");
  } else if (!bCancelled && nEnd != BODY_COMPLETE) {
    char szWhy[128];
    DescribeBodyEnd(nEnd, info, llAnnounced, szWhy, sizeof szWhy);
    LogError("download", __LINE__, "Log file of device %d from DAS %s at %s incomplete: %s",
             nDevice, pDas->serialnumber, pDas->ipaddress, szWhy);
    FailJob(pJob, "log of device %d incomplete: %s", nDevice, szWhy);
  }

  // What arrived is merged in any case; the merge puts it on the disk
  // before anything below may ask the unit to let go of it.
  int bMerged = 0;
  if (bMergeable) {
    SetJobStatus(pJob, "Merging log data in %s", pJob->szTempFile);
    bMerged = MergeLogFile(pDas->serialnumber, nDevice, pJob->szTempFile, pJob->szFilename, 64,
                           pJob->hDlg);
    if (!bMerged) FailJob(pJob, "the log of device %d could not be merged", nDevice);
  }
  if (bMerged && bComplete) {
    pJob->nDevices++;
    pJob->lRecords += info.lLines > 0 ? info.lLines - 1 : 0;  // less the header line
  }

  // The unit's copy is the only other one: it is told to delete only a log
  // that arrived whole and is safely in the local log.
  if (pDas->deletelog && !bCancelled) {
    if (bComplete && bMerged)
      RequestLogDelete(pJob, nKind, nDevice);
    else if (!bComplete)
      LogInfo("download", __LINE__, "Log file download incomplete, delete request not sent");
    else
      LogInfo("download", __LINE__, "Log file not stored, delete request not sent");
  }
  return bCancelled ? 0 : 1;
}

int DownloadConfigFile(DownloadJob *pJob, int nKind, int nDevice) {
  DasRecord *pDas = pJob->pDas;
  char szPath[64];
  char szLocal[128];
  if (nDevice == 0) {
    CopyString(szPath,
               nKind == MultiDevice ? "/setup/logexport.cgi?CFG=loggerconfig.ini"
                                    : "/loggerconfig.ini",
               sizeof szPath);
    FormatString(szLocal, sizeof szLocal, "%s\\loggerconfig.ini", pDas->serialnumber);
  } else {
    if (nKind == MultiDevice) {
      FormatString(szPath, sizeof szPath, "/setup/logexport.cgi?CFG=mb-%03d.ini", nDevice);
    } else {
      CopyString(szPath, "/mb-001.ini", sizeof szPath);
      nDevice = 1;
    }
    FormatString(szLocal, sizeof szLocal, "%s\\mb-%03d.ini", pDas->serialnumber, nDevice);
  }
  // The body goes to a file beside the copy, which it replaces only once it
  // has arrived whole: a cut download leaves the previous copy as it was.
  char szPart[160];
  FormatString(szPart, sizeof szPart, "%s.new", szLocal);

  int nHttpResult = 0;
  int nGot = HttpGet(szPath, pJob, &pJob->sockFile, &nHttpResult);
  if (!nGot || nHttpResult != 200) {
    CloseJobSocket(pJob->sockFile);
    if (!JobRunning(pJob)) return 0;
    LogError("download", __LINE__,
             "Unexpected server response, expected configfile.\nGot http result %d", nHttpResult);
    FailRequest(pJob, "configuration file", nGot, nHttpResult);
    return 0;
  }
  SetJobStatus(pJob, "Reading config data from %s, save to %s", pDas->ipaddress, szLocal);

  pJob->nTempFile = PlatOpen(szPart, P_O_WRONLY | P_O_CREAT | P_O_TRUNC | P_O_TEXT,
                             P_S_IREAD | P_S_IWRITE);
  if (pJob->nTempFile < 0) {
    int nErr = PlatErrno();
    LogError("download", __LINE__, "Error creating file %s, got %d %s", szPart, nErr,
             PlatStrError(nErr));
    CloseJobSocket(pJob->sockFile);
    FailJob(pJob, "%s could not be written", szLocal);
    return 0;
  }
  const long long llAnnounced = pJob->llContentLength;
  BodyInfo info;
  int nEnd = ReceiveBody(pJob, &pJob->sockFile, pJob->nTempFile, kConfigBlock, &info);
  CloseJobSocket(pJob->sockFile);
  int bStored = nEnd == BODY_COMPLETE;
  if (bStored && PlatFsync(pJob->nTempFile) != 0) {
    info.nWriteErr = PlatErrno();
    nEnd = BODY_WRITE_FAILED;
    bStored = 0;
  }
  if (PlatClose(pJob->nTempFile) != 0 && bStored) {
    info.nWriteErr = PlatErrno();
    nEnd = BODY_WRITE_FAILED;
    bStored = 0;
  }
  pJob->nTempFile = -1;
  if (!bStored) {
    (void)PlatUnlink(szPart);
    if (!JobRunning(pJob)) return 0;
    char szWhy[128];
    DescribeBodyEnd(nEnd, info, llAnnounced, szWhy, sizeof szWhy);
    LogError("download", __LINE__, "Config file %s from DAS %s at %s incomplete: %s", szLocal,
             pDas->serialnumber, pDas->ipaddress, szWhy);
    FailJob(pJob, "%s incomplete: %s", szLocal, szWhy);
    return 0;
  }
  if (PlatRename(szPart, szLocal) != 0) {
    int nErr = PlatErrno();
    LogError("download", __LINE__, "Error renaming %s to %s, got %d %s", szPart, szLocal, nErr,
             PlatStrError(nErr));
    (void)PlatUnlink(szPart);
    FailJob(pJob, "%s could not be written", szLocal);
    return 0;
  }
  LogInfo("download", __LINE__, "Config file download complete");
  return 1;
}
