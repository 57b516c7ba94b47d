// Per-file transfers against a reachable unit: a device's log into a
// temporary file and on to the merge, the delete request for the log data
// handed over, and the configuration files of the unit and its devices.
#include <algorithm>
#include <cstring>
#include <vector>

#include "download/download.h"
#include "log/errorlog.h"
#include "merge/logset.h"
#include "merge/merge.h"
#include "platform/file.h"
#include "platform/sock.h"
#include "platform/system.h"
#include "util/atomicfile.h"
#include "util/text.h"

namespace {
// Bodies are read in large blocks: a log of years is hundreds of megabytes,
// and the progress refresh is throttled, not sent per block.
const int kBodyBlock = 64 * 1024;
const int kLogBlock = kBodyBlock;
const int kConfigBlock = kBodyBlock;

// What a downloaded log holds, each line judged as the merge judges it.
struct LogScan {
  int nFirst = -1;     // the first line: 2 a header, 1 a data line with a readable
                       // time stamp, 0 anything else; -1 for an empty file
  long lStamped = 0;   // data lines with a readable time stamp
  int bMore = 0;       // a line that is neither a header nor empty
  int bCrOnly = 0;     // a header line with a CR inside: lines ended by CR alone
  long lRecords = 0;   // distinct time stamps: the records the merge keeps
};

// 1 when scanned; 0 when the file cannot be read (reported).
int ScanLogFile(const char *pszPath, LogScan *pScan) {
  int h = PlatOpen(pszPath, P_O_RDONLY | P_O_BINARY);
  if (h < 0) {
    int nErr = PlatErrno();
    LogFileError("download", __LINE__, "opening file", pszPath, nErr);
    return 0;
  }
  static thread_local char buf[kBodyBlock];
  std::vector<std::uint32_t> vTimes;
  // A line's kind depends on its first 31 bytes and on whether it has 20;
  // of each line only its start is kept.
  char szStart[64];
  std::size_t nStart = 0, nLen = 0;  // nLen: bytes up to a NUL
  int bNul = 0, nCr = 0;
  char cLast = 0;
  long nLine = 0;
  auto EndLine = [&]() {
    std::size_t n = nLen < sizeof szStart ? nLen : sizeof szStart;
    std::uint32_t ulTime = 0;
    int bOutOfRange = 0;
    int nKind = ClassifyLogLine(szStart, n, &ulTime, &bOutOfRange);
    int bStamped = nKind == 1 && ulTime != 0 && !bOutOfRange;
    if (nLine++ == 0) pScan->nFirst = nKind == 2 ? 2 : bStamped ? 1 : 0;
    int bInnerCr = nCr > (cLast == '\r' ? 1 : 0);
    if (nKind == 2) {
      if (bInnerCr) pScan->bMore = pScan->bCrOnly = 1;
    } else if (nKind == 1) {
      vTimes.push_back(ulTime);
      if (bStamped) pScan->lStamped++;
      else pScan->bMore = 1;
    } else if (nLen > (cLast == '\r' ? 1u : 0u)) {
      pScan->bMore = 1;
    }
    nStart = nLen = 0;
    bNul = nCr = 0;
    cLast = 0;
  };
  int bPending = 0;  // bytes of a line without its line feed yet
  long n;
  while ((n = PlatRead(h, buf, sizeof buf)) > 0) {
    for (long i = 0; i < n; i++) {
      char c = buf[i];
      if (c == '\n') {
        EndLine();
        bPending = 0;
        continue;
      }
      bPending = 1;
      if (c == '\r') nCr++;
      cLast = c;
      if (c == 0) bNul = 1;
      if (bNul) continue;
      if (nStart < sizeof szStart) szStart[nStart++] = c;
      nLen++;
    }
  }
  int nErr = n < 0 ? PlatErrno() : 0;
  PlatClose(h);
  if (n < 0) {
    LogFileError("download", __LINE__, "reading file", pszPath, nErr);
    return 0;
  }
  if (bPending) EndLine();
  std::sort(vTimes.begin(), vTimes.end());
  pScan->lRecords = (long)(std::unique(vTimes.begin(), vTimes.end()) - vTimes.begin());
  return 1;
}

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

namespace {
// How a body read line by line ended other than whole: nEnd 1 where the
// unit closed the connection (after too few or too many bytes), -1 where the
// receive failed.
void DescribeIncomplete(std::atomic<SOCKET> *pSlot, int nEnd, unsigned long long ullBytes,
                        long long llAnnounced, char *pszWhy, unsigned nWhyCap) {
  BodyInfo info{};
  info.ullBytes = ullBytes;
  CopyString(info.szProblem, HttpBodyProblem(pSlot), sizeof info.szProblem);
  DescribeBodyEnd(nEnd == 1 ? (ullBytes < (unsigned long long)llAnnounced ? BODY_SHORT : BODY_LONG)
                            : BODY_FAILED,
                  info, llAnnounced, pszWhy, nWhyCap);
}
}  // namespace

int ReadBodyLines(DownloadJob *pJob, std::atomic<SOCKET> *pSlot, char *pszLine, int nCap,
                  BodyLineFn pfnLine, void *pCtx, char *pszWhy, unsigned nWhyCap) {
  const long long llAnnounced = pJob->llContentLength;
  unsigned long long ullBytes = 0;
  int nEnd = 0;     // 1: the unit closed the connection, -1: it failed
  int bGoesOn = 0;  // the piece read last continues in the next one
  while (JobRunning(pJob)) {
    int nLineEnd = 0;
    if (!RecvLineEnd(pSlot, pszLine, nCap, &nLineEnd)) {
      nEnd = nLineEnd;
      break;
    }
    if (!JobRunning(pJob)) return 0;
    ullBytes += std::strlen(pszLine) + (nLineEnd == 0 ? 1 : 0);  // the LF, when one ended the line
    const int bContinued = bGoesOn;
    bGoesOn = nLineEnd == 2;
    pfnLine(pCtx, pszLine, nLineEnd, bContinued);
    if (nLineEnd == 1 || nLineEnd == -1) {
      nEnd = nLineEnd;
      break;
    }
  }
  if (!JobRunning(pJob)) return 0;
  if (nEnd == 1 && (llAnnounced < 0 || ullBytes == (unsigned long long)llAnnounced)) return 1;
  DescribeIncomplete(pSlot, nEnd, ullBytes, llAnnounced, pszWhy, nWhyCap);
  return 0;
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
  } else if (pJob->nHttpStage < HTTP_SENT && pJob->nConnectFailure == CONNECT_NO_ANSWER) {
    // A dead unit or link, or a firewall that drops: the operator goes to
    // look at the unit.
    FailJob(pJob, "no answer within %u s (%s request)",
            (DownloadConnectTimeoutMs.load() + 999) / 1000, pszWhat);
  } else if (pJob->nHttpStage < HTTP_SENT && pJob->nConnectFailure == CONNECT_REFUSED) {
    // The unit's machine is up, nothing listens on the port: a wrong port,
    // or the unit's web server down.
    FailJob(pJob, "connection refused (%s request)", pszWhat);
  } else if (pJob->nHttpStage < HTTP_SENT && pJob->nConnectFailure == CONNECT_NO_NAME) {
    FailJob(pJob, "name not found (%s request)", pszWhat);
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
  int nGot = HttpGet(szPath, pJob, &pJob->sockFile, &nHttpResult);
  if (nGot && nHttpResult == 200) {
    char szLine[2048];
    while (RecvLine(&pJob->sockFile, szLine, sizeof szLine)) {
    }
    CloseJobSocket(pJob->sockFile);
    LogInfo("download", __LINE__, "Request log file delete complete");
    return 1;
  }
  CloseJobSocket(pJob->sockFile);
  LogInfo("download", __LINE__, "Log file delete request failed");
  if (!JobRunning(pJob)) return 0;  // the operator's cancel cut it short
  // The unit keeps the data, and a unit whose deletes fail night after
  // night runs out of memory: the night is not complete.
  char szWhy[64];
  if (nHttpResult)
    FormatString(szWhy, sizeof szWhy, "answered HTTP %d", nHttpResult);
  else
    CopyString(szWhy, "gave no HTTP answer", sizeof szWhy);
  LogError("download", __LINE__,
           "Delete request for device %d to DAS %s at %s failed: the unit %s; its log data stays on it",
           nDevice, pDas->serialnumber, pDas->ipaddress, szWhy);
  FailJob(pJob, "%s to the delete request for device %d", szWhy, nDevice);
  return 0;
}

namespace {

// One device's log on its way from the unit to the local log.
struct LogDownload {
  int nDevice;
  long long llAnnounced;  // the Content-Length of the answer, -1 for none
  int nEnd;               // how the body ended (BODY_ values)
  BodyInfo info;
  int bComplete;   // arrived whole and stored
  int bCancelled;  // the job stopped during the body
  int bMergeable;  // the file holds whole lines only
  LogScan scan;
};

// Asks for the device's log; 1 when a log's body is waiting on the file
// connection and the temporary file is open for it. A failure is reported
// (not a cancel's).
int RequestLogFile(DownloadJob *pJob, int nKind, int nDevice) {
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
  if (pJob->bHtmlAnswer) {
    // A web server's page (a login page answered for every path), not the
    // unit's log: nothing of it may reach the local log, and the unit is
    // not told to delete anything.
    CloseJobSocket(pJob->sockFile);
    LogError("download", __LINE__,
             "Log file of device %d from DAS %s at %s is a web page (text/html), not a log",
             nDevice, pDas->serialnumber, pDas->ipaddress);
    FailJob(pJob, "answered the log file request for device %d with a web page", nDevice);
    return 0;
  }
  SetJobStatus(pJob, "Reading log data from %s", pDas->ipaddress);

  if (!CreateTempLogFile(pDas->serialnumber, nDevice, pJob->szTempFile, sizeof pJob->szTempFile,
                         &pJob->nTempFile)) {
    CloseJobSocket(pJob->sockFile);
    FailJob(pJob, "temporary file for device %d could not be created", nDevice);
    return 0;
  }
  return 1;
}

// Receives the body into the temporary file and closes it.
void ReceiveLogFile(DownloadJob *pJob, LogDownload *pLog) {
  pLog->llAnnounced = pJob->llContentLength;
  pLog->nEnd = ReceiveBody(pJob, &pJob->sockFile, pJob->nTempFile, kLogBlock, &pLog->info);
  CloseJobSocket(pJob->sockFile);
  pLog->bComplete = pLog->nEnd == BODY_COMPLETE;
  pLog->bCancelled = !JobRunning(pJob);

  // A body that did not arrive whole ends somewhere inside a line; that cut
  // line would stand in the local log as a short record. Only the lines up
  // to the last line feed are kept. A file that cannot be cut is not merged
  // now; the next merge of this device takes it up and ignores its
  // unterminated last line.
  pLog->bMergeable = 1;
  if (!pLog->bComplete && PlatTruncate(pJob->nTempFile, (long long)pLog->info.ullLineEnd) != 0) {
    LogFileError("download", __LINE__, "writing file", pJob->szTempFile, PlatErrno());
    FailJob(pJob, "the log of device %d could not be stored", pLog->nDevice);
    pLog->bMergeable = 0;
  }
  if (PlatClose(pJob->nTempFile) != 0 && pLog->bComplete) {
    LogFileError("download", __LINE__, "writing file", pJob->szTempFile, PlatErrno());
    FailJob(pJob, "the log of device %d could not be stored", pLog->nDevice);
    pLog->bComplete = 0;
  }
  pJob->nTempFile = -1;
  // Not one whole line may have arrived (a refused encoding, a cut in the
  // first line): the file is then empty and merged like an empty download,
  // which takes up what earlier runs left and leaves the local log as such
  // a merge would.
}

// 1 when the stored file does not read as a log (it is then removed, and
// reported unless the job stopped). Only a body that begins with the log
// header or a data line and, if it holds more than headers, yields a record
// is merged. Anything else (a page of some server, a log whose lines end in
// CR alone and so read as one header line) would merge into nothing or into
// junk, and the delete would lose the unit's data.
int RefuseNonLog(DownloadJob *pJob, LogDownload *pLog) {
  const LogScan &scan = pLog->scan;
  if (!pLog->bMergeable || !ScanLogFile(pJob->szTempFile, &pLog->scan) ||
      !(scan.nFirst == 0 || (scan.lStamped == 0 && scan.bMore)))
    return 0;
  (void)PlatUnlink(pJob->szTempFile);
  if (pLog->bCancelled) return 1;
  DasRecord *pDas = pJob->pDas;
  LogError("download", __LINE__, "Log file of device %d from DAS %s at %s is not a log: %s",
           pLog->nDevice, pDas->serialnumber, pDas->ipaddress,
           scan.nFirst == 0  ? "its first line is neither the log header nor a data line"
           : scan.bCrOnly    ? "no record in it, its lines end in CR alone"
                             : "no line in it begins with a time stamp");
  FailJob(pJob, "the log of device %d is not a log", pLog->nDevice);
  return 1;
}

// The entry for how the body ended.
void ReportLogEnd(DownloadJob *pJob, const LogDownload &log) {
  DasRecord *pDas = pJob->pDas;
  if (log.bComplete) {
    LogInfo("download", __LINE__, "Log file download complete");
  } else if (!log.bCancelled && log.nEnd != BODY_COMPLETE) {
    char szWhy[128];
    DescribeBodyEnd(log.nEnd, log.info, log.llAnnounced, szWhy, sizeof szWhy);
    LogError("download", __LINE__, "Log file of device %d from DAS %s at %s incomplete: %s",
             log.nDevice, pDas->serialnumber, pDas->ipaddress, szWhy);
    FailJob(pJob, "log of device %d incomplete: %s", log.nDevice, szWhy);
  }
}

}  // namespace

int DownloadLogFile(DownloadJob *pJob, int nKind, int nDevice) {
  DasRecord *pDas = pJob->pDas;
  if (!RequestLogFile(pJob, nKind, nDevice)) return 0;
  LogDownload log{};
  log.nDevice = nDevice;
  ReceiveLogFile(pJob, &log);
  if (RefuseNonLog(pJob, &log)) return 0;
  ReportLogEnd(pJob, log);

  // What arrived is merged in any case; the merge puts it on the disk
  // before anything below may ask the unit to let go of it.
  int bMerged = 0;
  if (log.bMergeable) {
    SetJobStatus(pJob, "Merging log data in %s", pJob->szTempFile);
    const MergeProgress progress{RefreshJobContext, pJob};
    bMerged = MergeLogFile(pDas->serialnumber, nDevice, pJob->szTempFile, pJob->szFilename, 64,
                           &progress);
    if (!bMerged) FailJob(pJob, "the log of device %d could not be merged", nDevice);
  }
  if (bMerged && log.bComplete) {
    pJob->nDevices++;
    pJob->lRecords += log.scan.lRecords;  // one per time stamp, as the local log keeps them
  }

  // The unit's copy is the only other one: it is told to delete only a log
  // that arrived whole and is safely in the local log.
  if (pDas->deletelog && !log.bCancelled) {
    if (log.bComplete && bMerged)
      RequestLogDelete(pJob, nKind, nDevice);
    else if (!log.bComplete)
      LogInfo("download", __LINE__, "Log file download incomplete, delete request not sent");
    else
      LogInfo("download", __LINE__, "Log file not stored, delete request not sent");
  }
  return log.bCancelled ? 0 : 1;
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

  // The body goes to a file beside the copy, which it replaces only once it
  // has arrived whole: a cut download leaves the previous copy as it was.
  AtomicFile part;
  if (!AtomicFileOpen(&part, szLocal, P_O_TEXT)) {
    int nErr = PlatErrno();
    LogFileError("download", __LINE__, "creating file", part.szPart, nErr);
    CloseJobSocket(pJob->sockFile);
    FailJob(pJob, "%s could not be written", szLocal);
    return 0;
  }
  pJob->nTempFile = part.h;
  const long long llAnnounced = pJob->llContentLength;
  BodyInfo info;
  int nEnd = ReceiveBody(pJob, &pJob->sockFile, part.h, kConfigBlock, &info);
  CloseJobSocket(pJob->sockFile);
  pJob->nTempFile = -1;
  int nCommit = ATOMIC_NOT_WRITTEN;
  if (nEnd != BODY_COMPLETE) {
    AtomicFileDiscard(&part);
  } else if ((nCommit = AtomicFileCommit(&part, 0)) == ATOMIC_NOT_WRITTEN) {
    info.nWriteErr = part.nErr;
    nEnd = BODY_WRITE_FAILED;
  }
  if (nCommit == ATOMIC_NOT_WRITTEN) {
    if (!JobRunning(pJob)) return 0;
    char szWhy[128];
    DescribeBodyEnd(nEnd, info, llAnnounced, szWhy, sizeof szWhy);
    LogError("download", __LINE__, "Config file %s from DAS %s at %s incomplete: %s", szLocal,
             pDas->serialnumber, pDas->ipaddress, szWhy);
    FailJob(pJob, "%s incomplete: %s", szLocal, szWhy);
    return 0;
  }
  if (nCommit == ATOMIC_NOT_RENAMED) {
    LogError("download", __LINE__, "Error renaming %s to %s, got %d %s", part.szPart, szLocal,
             part.nErr, PlatStrError(part.nErr));
    AtomicFileDiscard(&part);
    FailJob(pJob, "%s could not be written", szLocal);
    return 0;
  }
  LogInfo("download", __LINE__, "Config file download complete");
  return 1;
}
