// Per-file transfers against a reachable unit: a device's log into a
// temporary file and on to the merge, the delete request for the log data
// handed over, and the configuration files of the unit and its devices.
#include <cstring>

#include "download/download.h"
#include "merge/merge.h"
#include "platform/file.h"
#include "platform/sock.h"
#include "shell/errorlog.h"
#include "util/text.h"

namespace {
const int kLogBlock = 4096;
const int kConfigBlock = 1024;
}  // namespace

int ReceiveBody(DownloadJob *pJob, std::atomic<SOCKET> *pSlot, int hFile, int nBlock) {
  char buf[kLogBlock];
  if (nBlock <= 0 || nBlock > kLogBlock) nBlock = kLogBlock;
  // The body runs until the unit closes the connection; each block is
  // written at once and shown. The socket is taken from the slot for every
  // receive, so one closed by a cancel is never used again.
  for (;;) {
    long n = PlatRecv(pSlot->load(), buf, (std::size_t)nBlock);
    if (n == 0) return pJob->cState.load() == JOB_RUNNING ? BODY_COMPLETE : BODY_CANCELLED;
    if (n < 0) return BODY_FAILED;
    pJob->ulBytes += (std::uint32_t)n;
    RefreshJob(pJob);
    PlatWrite(hFile, buf, (std::size_t)n);
    if (pJob->cState.load() != JOB_RUNNING) return BODY_CANCELLED;
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
  if (!HttpGet(szPath, pJob, &pJob->sockFile, &nHttpResult) || nHttpResult != 200) {
    LogError("download", __LINE__, "Unexpected server response, expected logfile.\nGot http result %d",
             nHttpResult);
    CloseJobSocket(pJob->sockFile);
    return 0;
  }
  SetJobStatus(pJob, "Reading log data from %s", pDas->ipaddress);

  if (!CreateTempLogFile(pDas->serialnumber, nDevice, pJob->szTempFile, sizeof pJob->szTempFile,
                         &pJob->nTempFile)) {
    CloseJobSocket(pJob->sockFile);
    return 0;
  }
  int nEnd = ReceiveBody(pJob, &pJob->sockFile, pJob->nTempFile, kLogBlock);
  PlatClose(pJob->nTempFile);
  pJob->nTempFile = -1;
  CloseJobSocket(pJob->sockFile);
  LogInfo("download", __LINE__, "Log file download complete");

  // Only a body that the unit ended itself is known to be whole. After a
  // receive error, a timeout or a cancel the unit may hold data that never
  // arrived here, and deleting it would lose it for good.
  if (pDas->deletelog) {
    if (nEnd == BODY_COMPLETE)
      RequestLogDelete(pJob, nKind, nDevice);
    else
      LogInfo("download", __LINE__, "Log file download incomplete, delete request not sent");
  }

  // What arrived is merged in any case.
  SetJobStatus(pJob, "Merging log data in %s", pJob->szTempFile);
  MergeLogFile(pDas->serialnumber, nDevice, pJob->szTempFile, pJob->szFilename, 64, pJob->hDlg);
  return 1;
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
  if (!HttpGet(szPath, pJob, &pJob->sockFile, &nHttpResult) || nHttpResult != 200) {
    LogError("download", __LINE__,
             "Unexpected server response, expected configfile.\nGot http result %d", nHttpResult);
    CloseJobSocket(pJob->sockFile);
    return 0;
  }
  SetJobStatus(pJob, "Reading config data from %s, save to %s", pDas->ipaddress, szLocal);

  pJob->nTempFile = PlatOpen(szLocal, P_O_WRONLY | P_O_CREAT | P_O_TRUNC | P_O_TEXT,
                             P_S_IREAD | P_S_IWRITE);
  if (pJob->nTempFile < 0) {
    int nErr = PlatErrno();
    LogError("download", __LINE__, "Error creating file %s, got %d %s", szLocal, nErr,
             PlatStrError(nErr));
    CloseJobSocket(pJob->sockFile);
    return 0;
  }
  ReceiveBody(pJob, &pJob->sockFile, pJob->nTempFile, kConfigBlock);
  PlatClose(pJob->nTempFile);
  pJob->nTempFile = -1;
  CloseJobSocket(pJob->sockFile);
  LogInfo("download", __LINE__, "Config file download complete");
  return 1;
}
