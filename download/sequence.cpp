// The transfer sequences of the two kinds of unit, once the worker knows
// which it talks to: a multi-device unit's device list and then each
// device's log and configuration, a single meter's one device; both end
// with the unit's own configuration and the merge of what earlier runs
// left.
#include <cstring>

#include "download/download.h"
#include "log/errorlog.h"
#include "merge/merge.h"
#include "platform/file.h"
#include "util/atomicfile.h"
#include "util/text.h"

namespace {

// The device list is written beside its stored copy ("devlist.txt.new")
// and put in its place only when complete, flushed and every write
// succeeded (AtomicFile).

// Opens the file beside pszPath; a failure is reported as an error in
// pszWhat ("creating file").
int OpenListFile(DownloadJob *pJob, const char *pszPath, const char *pszWhat, AtomicFile *pList) {
  if (AtomicFileOpen(pList, pszPath, P_O_TEXT)) return 1;
  int nErr = PlatErrno();
  LogFileError("download", __LINE__, pszWhat, pList->szPart, nErr);
  FailJob(pJob, "the device list could not be written");
  return 0;
}

// After a failed write the rest goes nowhere: the file will not be kept.
void WriteListFile(AtomicFile *pList, const char *p, std::size_t n) {
  if (!pList->nErr) AtomicFileWrite(pList, p, n);
}

// Closes the file and, with bKeep, puts it in place of the stored copy.
// Returns 1 when it is in place; otherwise the stored copy is untouched.
int CommitListFile(DownloadJob *pJob, AtomicFile *pList, int bKeep) {
  if (!bKeep) {
    AtomicFileDiscard(pList);
    return 0;
  }
  int nCommit = AtomicFileCommit(pList, 0);
  if (nCommit == ATOMIC_NOT_WRITTEN) {
    LogFileError("download", __LINE__, "writing file", pList->szPart, pList->nErr);
  } else if (nCommit == ATOMIC_NOT_RENAMED) {
    LogError("download", __LINE__, "Error renaming %s to %s, got %d %s", pList->szPart,
             pList->szFinal, pList->nErr, PlatStrError(pList->nErr));
    AtomicFileDiscard(pList);
  } else {
    return 1;
  }
  FailJob(pJob, "the device list could not be written");
  return 0;
}

// The Modbus ID a device-list line starts with: its first field, plain
// decimal digits (blanks around them allowed) worth 1 to 255. 0 for
// anything else: the header line, a sign, an exponent, a hexadecimal or
// fractional number, a number out of range (never cut down into range).
int DeviceIdOf(const char *pszLine) {
  const char *p = pszLine;
  while (*p == ' ' || *p == '\t') p++;
  int nValue = 0, nDigits = 0;
  for (; *p >= '0' && *p <= '9'; p++, nDigits++) {
    nValue = nValue * 10 + (*p - '0');
    if (nValue > 255) nValue = 256;  // out of range, however long
  }
  while (*p == ' ' || *p == '\t' || *p == '\r') p++;
  if (!nDigits || (*p && *p != ',')) return 0;
  return nValue >= 1 && nValue <= 255 ? nValue : 0;
}

// The devices of a device list, each once, in the order listed, and the
// list's lines on their way to its stored copy.
struct DeviceList {
  AtomicFile *pFile;  // null when the copy could not be opened
  int nDevices[255];
  int nCount;
  unsigned char bListed[256];
};

// One piece of a device list's line (ReadBodyLines).
void TakeDeviceLine(void *pCtx, char *pszLine, int nLineEnd, int bContinued) {
  DeviceList *pList = static_cast<DeviceList *>(pCtx);
  std::size_t nLen = std::strlen(pszLine);
  if (pList->pFile) {
    WriteListFile(pList->pFile, pszLine, nLen);
    if (nLineEnd != 2) WriteListFile(pList->pFile, "\n", 1);
  }
  // Only a line's first piece holds its first field; and that field must
  // end within it.
  if (!bContinued && (nLineEnd != 2 || std::strchr(pszLine, ','))) {
    int nDevice = DeviceIdOf(pszLine);
    if (nDevice && !pList->bListed[nDevice]) {
      pList->bListed[nDevice] = 1;
      pList->nDevices[pList->nCount++] = nDevice;
    }
  }
}

// The log and configuration of each listed device, until one fails or the
// job stops.
void DownloadDevices(DownloadJob *pJob, const DeviceList &devices) {
  for (int i = 0; i < devices.nCount; i++) {
    pJob->ulBytes += 1;
    RefreshJob(pJob);
    int nOk = DownloadLogFile(pJob, MultiDevice, devices.nDevices[i]);
    if (nOk) nOk = DownloadConfigFile(pJob, MultiDevice, devices.nDevices[i]);
    if (!nOk) break;
    if (!JobRunning(pJob)) break;
  }
}

}  // namespace

// Logs that earlier runs downloaded but could not merge (a kill, a full
// disk) of devices this run did not reach, or that the unit no longer
// lists: they are merged now. Not after a cancel.
void MergeLeftoverLogs(DownloadJob *pJob) {
  if (!JobRunning(pJob)) return;
  DasRecord *pDas = pJob->pDas;
  if (!IsValidSerialNumber(pDas->serialnumber)) return;  // names no unit directory
  int nDevices[255];
  int nCount = ListLeftoverDevices(pDas->serialnumber, nDevices, 255);
  const MergeProgress progress{RefreshJobContext, pJob};
  for (int i = 0; i < nCount && JobRunning(pJob); i++) {
    LogInfo("download", __LINE__, "Merging earlier downloads of device %d, serial %s",
            nDevices[i], pDas->serialnumber);
    SetJobStatus(pJob, "Merging earlier log data of device %d", nDevices[i]);
    if (!MergeLogFile(pDas->serialnumber, nDevices[i], nullptr, pJob->szFilename, 64, &progress))
      FailJob(pJob, "earlier downloads of device %d could not be merged", nDevices[i]);
  }
}

int DownloadSingleMeterDas(DownloadJob *pJob) {
  DasRecord *pDas = pJob->pDas;
  LogInfo("download", __LINE__, "Download Ordalet from %s at %s, serial %s", pDas->serialnumber,
          pDas->ipaddress, pDas->serialnumber);
  char szPath[512];
  FormatString(szPath, sizeof szPath, "%s\\devlist.txt", pDas->serialnumber);
  LogInfo("download", __LINE__, "Save manifest file to %s", szPath);

  // The unit serves no device list: it has one device, described here.
  char szLines[2][512];
  FormatString(szLines[0], sizeof szLines[0],
               "Modbus ID,DeviceName,DeviceType,DeviceClass,Log File URL\n");
  FormatString(szLines[1], sizeof szLines[1],
               "001,\"%s\",\"Quorvin, Ordalet, pulse energy logger, Q4410\",15,"
               "<a href=/mb-001.log/%s_1.txt>mb-001.log/%s_1.txt</a>\n",
               pDas->name, pDas->serialnumber, pDas->serialnumber);
  AtomicFile list;
  if (OpenListFile(pJob, szPath, "creating file", &list)) {
    for (const char *pszLine : szLines) WriteListFile(&list, pszLine, std::strlen(pszLine));
    CommitListFile(pJob, &list, 1);
  }

  if (DownloadLogFile(pJob, SingleMeter, 1) && DownloadConfigFile(pJob, SingleMeter, 0))
    DownloadConfigFile(pJob, SingleMeter, 1);
  MergeLeftoverLogs(pJob);

  if (JobRunning(pJob) && pJob->nOutcome != UNIT_FAILED)
    LogInfo("download", __LINE__, "Download Ordalet complete, serial %s", pDas->serialnumber);
  return 1;
}

int DownloadMultiDeviceDas(DownloadJob *pJob) {
  DasRecord *pDas = pJob->pDas;
  LogInfo("download", __LINE__, "Download Ordavan manifest from %s at %s, serial %s",
          pDas->serialnumber, pDas->ipaddress, pDas->serialnumber);
  char szPath[1024];
  FormatString(szPath, sizeof szPath, "%s\\devlist.txt", pDas->serialnumber);
  LogInfo("download", __LINE__, "Save manifest file to %s", szPath);

  AtomicFile list;
  int bOpen = OpenListFile(pJob, szPath, "creating manifest file", &list);
  SetJobStatus(pJob, "Reading from %s", pDas->ipaddress);

  // The device list is the body of the kind probe, still waiting on the
  // query connection. It replaces the stored copy only when it arrived
  // whole and names at least one device; devices are only taken from such a
  // list. Each line is read whole and judged by its first field; a device
  // listed twice is downloaded once.
  const int bHtml = pJob->bHtmlAnswer;
  DeviceList devices{};
  devices.pFile = bOpen ? &list : nullptr;
  char szLine[1024];
  char szWhy[128];
  int bWhole = ReadBodyLines(pJob, &pJob->sockQuery, szLine, sizeof szLine, TakeDeviceLine,
                             &devices, szWhy, sizeof szWhy);
  if (JobRunning(pJob) && !bWhole) {
    LogError("download", __LINE__, "Device list from DAS %s at %s incomplete: %s",
             pDas->serialnumber, pDas->ipaddress, szWhy);
    FailJob(pJob, "device list incomplete: %s", szWhy);
  }
  if (bWhole && devices.nCount == 0) {
    if (bOpen) CommitListFile(pJob, &list, 0);
    CloseJobSocket(pJob->sockQuery);
    if (bHtml) {
      // A web server's page for a path it does not know, answered 200:
      // the unit is a single meter behind such a server.
      LogInfo("download", __LINE__,
              "The device list request was answered with a web page; %s is taken as a single meter",
              pDas->serialnumber);
      return DownloadSingleMeterDas(pJob);
    }
    // Not a list of devices: nothing here may replace the stored copies.
    LogError("download", __LINE__, "Device list from DAS %s at %s names no device",
             pDas->serialnumber, pDas->ipaddress);
    FailJob(pJob, "the device list names no device");
    return 1;
  }
  if (bOpen && !CommitListFile(pJob, &list, bWhole)) bWhole = 0;
  CloseJobSocket(pJob->sockQuery);
  LogInfo("download", __LINE__, "Finished manifest file download");

  if (bWhole) {
    LogInfo("download", __LINE__, "Read manifest file %s", szPath);
    DownloadDevices(pJob, devices);
  }
  // The unit's own configuration comes last in every case, unless the
  // operator has cancelled: then nothing more is asked of the unit.
  if (JobRunning(pJob)) DownloadConfigFile(pJob, MultiDevice, 0);
  MergeLeftoverLogs(pJob);

  if (JobRunning(pJob) && pJob->nOutcome != UNIT_FAILED)
    LogInfo("download", __LINE__, "Download Ordavan complete, serial %s", pDas->serialnumber);
  return 1;
}
