// What the worker does with a reachable unit: read its identity (serial
// number and name) from its configuration file, and the transfer sequences
// of the two kinds of unit.
#include <cstdlib>
#include <cstring>

#include "download/download.h"
#include "log/errorlog.h"
#include "merge/merge.h"
#include "platform/file.h"
#include "platform/window.h"
#include "util/text.h"

namespace {

int IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

// ASCII letters compared without case; n bytes of a against b.
int SameNoCase(const char *a, const char *b, std::size_t n) {
  for (std::size_t i = 0; i < n; i++) {
    unsigned char x = (unsigned char)a[i], y = (unsigned char)b[i];
    if (x >= 'A' && x <= 'Z') x = (unsigned char)(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = (unsigned char)(y - 'A' + 'a');
    if (x != y) return 0;
  }
  return 1;
}

// A directory must not take the name of a file the program keeps in the
// working directory. Compared as the Windows file system does: without case,
// and without the trailing dots and blanks it drops from a name.
int NamesProgramFile(const char *psz) {
  static const char *const kFiles[] = {"errorlog.txt", "daslist.txt", "daslist.txt.new"};
  std::size_t n = std::strlen(psz);
  while (n > 0 && (psz[n - 1] == '.' || psz[n - 1] == ' ')) n--;
  for (const char *pszFile : kFiles)
    if (std::strlen(pszFile) == n && SameNoCase(psz, pszFile, n)) return 1;
  // Lock files, whatever their stem.
  return n >= 5 && SameNoCase(psz + n - 5, ".lock", 5);
}

// A value read from a unit that may become a directory name: no path
// separator of either kind, not "." or "..", no control character. Anything
// else could put files outside the working directory (or nowhere sensible).
int IsSafeDirName(const char *psz) {
  if (std::strcmp(psz, ".") == 0 || std::strcmp(psz, "..") == 0) return 0;
  if (NamesProgramFile(psz)) return 0;
  for (const unsigned char *p = (const unsigned char *)psz; *p; ++p)
    if (*p == '/' || *p == '\\' || IsControl(*p)) return 0;
  return 1;
}

// Values from a unit end up in daslist.txt and in list items, where a
// control character (a 0x1A ends the list file when it is read back, a tab
// splits the item's columns) would do harm; they are shown as '?'.
int ReplaceControls(char *psz) {
  int nFound = 0;
  for (unsigned char *p = (unsigned char *)psz; *p; ++p)
    if (IsControl(*p)) {
      *p = '?';
      nFound = 1;
    }
  return nFound;
}

// A list file written beside its stored copy ("devlist.txt.new") and put in
// its place only when complete, flushed and every write succeeded.
struct ListFile {
  char szFinal[512];
  char szPart[540];
  int h;
  int nErr;  // first failed write's error number, else 0
};

int OpenListFile(DownloadJob *pJob, const char *pszPath, const char *pszCreateError,
                 ListFile *pList) {
  CopyString(pList->szFinal, pszPath, sizeof pList->szFinal);
  FormatString(pList->szPart, sizeof pList->szPart, "%s.new", pszPath);
  pList->nErr = 0;
  pList->h = PlatOpen(pList->szPart, P_O_WRONLY | P_O_CREAT | P_O_TRUNC | P_O_TEXT,
                      P_S_IREAD | P_S_IWRITE);
  if (pList->h < 0) {
    int nErr = PlatErrno();
    LogError("download", __LINE__, pszCreateError, pList->szPart, nErr, PlatStrError(nErr));
    FailJob(pJob, "the device list could not be written");
    return 0;
  }
  return 1;
}

void WriteListFile(ListFile *pList, const char *p, std::size_t n) {
  if (pList->nErr) return;
  if (PlatWrite(pList->h, p, n) != (long)n) pList->nErr = PlatErrno() ? PlatErrno() : -1;
}

// Closes the file and, with bKeep, puts it in place of the stored copy.
// Returns 1 when it is in place; otherwise the stored copy is untouched.
int CommitListFile(DownloadJob *pJob, ListFile *pList, int bKeep) {
  if (bKeep && !pList->nErr && PlatFsync(pList->h) != 0) pList->nErr = PlatErrno();
  if (PlatClose(pList->h) != 0 && !pList->nErr) pList->nErr = PlatErrno();
  pList->h = -1;
  if (bKeep && pList->nErr) {
    LogError("download", __LINE__, "Error writing file %s, got %d %s", pList->szPart,
             pList->nErr, PlatStrError(pList->nErr));
    FailJob(pJob, "the device list could not be written");
    bKeep = 0;
  }
  if (bKeep && PlatRename(pList->szPart, pList->szFinal) != 0) {
    int nErr = PlatErrno();
    LogError("download", __LINE__, "Error renaming %s to %s, got %d %s", pList->szPart,
             pList->szFinal, nErr, PlatStrError(nErr));
    FailJob(pJob, "the device list could not be written");
    bKeep = 0;
  }
  if (!bKeep) (void)PlatUnlink(pList->szPart);
  return bKeep;
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

int IsValidSerialNumber(const char *pszSerial) {
  // The list file keeps fields between commas and quotes nothing: a serial
  // number with either would be written back as another one, and its
  // directory would no longer match.
  return std::strlen(pszSerial) == 12 && IsSafeDirName(pszSerial) &&
         !std::strpbrk(pszSerial, ",\"");
}

namespace {

// What a unit's configuration file says about it.
struct Identity {
  int bSerial;          // a SERIALNUMBER line was read
  int bSerialTooLong;   // ... longer than any value the record can hold
  char szSerial[64];    // its value (quotes blanked and trimmed), maybe cut
  int bName;
  char szName[sizeof(DasRecord::name)];
};

// Reads the configuration file waiting on the query connection. Each line
// is read whole, however long, and judged by its start: a key found in the
// middle of a long line is not a line of its own. 1 when the body arrived
// whole; 0 when it was cut, failed or the job stopped (nothing of it may be
// used then: a cut value is not the unit's).
int ReadIdentityBody(DownloadJob *pJob, Identity *pId, char *pszWhy, unsigned nWhyCap) {
  std::memset(pId, 0, sizeof *pId);
  const long long llAnnounced = pJob->llContentLength;
  unsigned long long ullBytes = 0;
  char szLine[256];
  int bGoesOn = 0;  // the line read last continues in the next piece
  int bInSerial = 0;
  int nEnd = 0;
  for (;;) {
    int nLineEnd = 0;
    if (!RecvLineEnd(&pJob->sockQuery, szLine, sizeof szLine, &nLineEnd)) {
      nEnd = nLineEnd;
      break;
    }
    if (!JobRunning(pJob)) return 0;
    std::size_t nLen = std::strlen(szLine);
    ullBytes += nLen + (nLineEnd == 0 ? 1 : 0);
    const int bContinued = bGoesOn;
    bGoesOn = nLineEnd == 2;
    if (bContinued) {
      if (bInSerial) pId->bSerialTooLong = 1;
    } else {
      bInSerial = 0;
      // A unit that writes CR LF line ends: the CR belongs to the line end,
      // not to the value.
      if (nLineEnd == 0 && nLen > 0 && szLine[nLen - 1] == '\r') szLine[nLen - 1] = 0;
      if (std::strncmp(szLine, "SERIALNUMBER=", 13) == 0) {
        bInSerial = 1;
        pId->bSerial = 1;
        pId->bSerialTooLong = bGoesOn;
        CopyString(pId->szSerial, std::strchr(szLine, '=') + 1, sizeof pId->szSerial);
        if (std::strlen(std::strchr(szLine, '=') + 1) >= sizeof pId->szSerial) pId->bSerialTooLong = 1;
        StripQuotes(pId->szSerial);
      } else if (std::strncmp(szLine, "LOOPNAME=", 9) == 0) {
        pId->bName = 1;
        CopyString(pId->szName, std::strchr(szLine, '=') + 1, sizeof pId->szName);
        StripQuotes(pId->szName);
        ReplaceControls(pId->szName);
      }
    }
    if (nLineEnd == 1 || nLineEnd == -1) {
      nEnd = nLineEnd;
      break;
    }
  }
  if (!JobRunning(pJob)) return 0;
  if (nEnd == 1 && (llAnnounced < 0 || ullBytes == (unsigned long long)llAnnounced)) return 1;
  BodyInfo info{};
  info.ullBytes = ullBytes;
  CopyString(info.szProblem, HttpBodyProblem(&pJob->sockQuery), sizeof info.szProblem);
  DescribeBodyEnd(nEnd == 1 ? (ullBytes < (unsigned long long)llAnnounced ? BODY_SHORT : BODY_LONG)
                            : BODY_FAILED,
                  info, llAnnounced, pszWhy, nWhyCap);
  return 0;
}

// Another row of the main window's list whose serial number is pszSerial
// (compared without case: on Windows the two would name one directory);
// null when there is none or no list. *pnRow and *pnOtherRow get the rows'
// numbers, counted from 1. List items are read through the list box, which
// serves a worker's messages as well as the user-interface thread's.
const DasRecord *OtherRowWithSerial(const DasRecord *pDas, const char *pszSerial, int *pnRow,
                                    int *pnOtherRow) {
  HWND hOwner = DownloadOwner.load();
  HWND hList = hOwner ? GetDlgItem(hOwner, IDC_DASLIST) : nullptr;
  if (!hList) return nullptr;
  const DasRecord *pFound = nullptr;
  LRESULT nCount = SendMessage(hList, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < nCount; i++) {
    LRESULT r = SendMessage(hList, LB_GETITEMDATA, static_cast<WPARAM>(i), 0);
    const DasRecord *p = r == LB_ERR ? nullptr : reinterpret_cast<const DasRecord *>(r);
    if (!p) continue;
    if (p == pDas) {
      *pnRow = static_cast<int>(i) + 1;
    } else if (!pFound && std::strlen(p->serialnumber) == std::strlen(pszSerial) &&
               SameNoCase(p->serialnumber, pszSerial, std::strlen(pszSerial))) {
      pFound = p;
      *pnOtherRow = static_cast<int>(i) + 1;
    }
  }
  return pFound;
}

}  // namespace

int ReadDasIdentity(DownloadJob *pJob) {
  DasRecord *pDas = pJob->pDas;
  int nHttpResult = 0;
  Identity id;
  char szWhy[128] = "";
  int nRead = -1;  // -1 no body read, 0 a body failed, 1 a body read whole
  int nGot = HttpGet("/setup/logexport.cgi?CFG=loggerconfig.ini", pJob, &pJob->sockQuery,
                     &nHttpResult);
  if (nGot && nHttpResult == 200 && pJob->bHtmlAnswer) {
    // A web server's own page for a path it does not know (some answer 200
    // instead of 404): unless it names the unit after all, the unit is one
    // that serves its configuration at the top level.
    nRead = ReadIdentityBody(pJob, &id, szWhy, sizeof szWhy);
    if (nRead != 1 || !id.bSerial) {
      nRead = -1;
      nHttpResult = 404;
    }
  }
  if (nGot && nHttpResult == 404) {
    // A single-meter unit serves its configuration at the top level.
    CloseJobSocket(pJob->sockQuery);
    nGot = HttpGet("/loggerconfig.ini", pJob, &pJob->sockQuery, &nHttpResult);
  }
  if (!nGot || nHttpResult != 200) {
    // Without its identity the unit is not known to be the one listed; the
    // worker goes no further with it and reports why.
    CloseJobSocket(pJob->sockQuery);
    if (JobRunning(pJob)) FailRequest(pJob, "identity", nGot, nHttpResult);
    return 0;
  }
  if (nRead < 0) nRead = ReadIdentityBody(pJob, &id, szWhy, sizeof szWhy);
  CloseJobSocket(pJob->sockQuery);
  if (!nRead) {
    // A cancel, or a body that did not arrive whole: a cut value must not
    // replace the unit's serial number or name in the list (and the main
    // window may be saving the list by now).
    if (!JobRunning(pJob)) return 0;
    LogError("download", __LINE__, "Configuration file from DAS %s at %s incomplete: %s",
             pDas->serialnumber, pDas->ipaddress, szWhy);
    FailJob(pJob, "identity incomplete: %s", szWhy);
    return 0;
  }

  if (!id.bSerial) {
    // Not a unit's configuration (a web server's page for any path, a unit
    // set up wrongly): without a serial number there is neither a directory
    // to store into nor a way to know the unit is the one listed.
    LogError("download", __LINE__,
             "DAS %s at %s gave no serial number (its configuration file has no SERIALNUMBER= line)",
             pDas->serialnumber, pDas->ipaddress);
    FailJob(pJob, "gave no serial number");
    return 0;
  }
  if (!id.bSerialTooLong && IsValidSerialNumber(id.szSerial)) {
    // Two rows that reach units reporting one serial number would share its
    // directory: the second unit's records would be taken for duplicates
    // of the first's and then deleted on it. Neither is the listed unit for
    // sure, so this one is left alone until the list is put right.
    int nRow = 0, nOtherRow = 0;
    const DasRecord *pOther = OtherRowWithSerial(pDas, id.szSerial, &nRow, &nOtherRow);
    if (pOther) {
      LogError("download", __LINE__,
               "DAS %s at %s (row %d of the list) reports serial number %s, which row %d "
               "(%s at %s) holds already: not downloaded",
               pDas->serialnumber, pDas->ipaddress, nRow, id.szSerial, nOtherRow,
               pOther->serialnumber, pOther->ipaddress);
      FailJob(pJob, "reports serial number %s, which row %d holds already", id.szSerial,
              nOtherRow);
      return 0;
    }
  }

  if (id.bName) CopyString(pDas->name, id.szName, sizeof pDas->name);
  if (!id.bSerialTooLong && IsValidSerialNumber(id.szSerial)) {
    // The row's files go to another directory from now on.
    if (pDas->serialnumber[0] && std::strcmp(pDas->serialnumber, id.szSerial) != 0)
      LogInfo("download", __LINE__, "Serial number of DAS at %s changed from %s to %s",
              pDas->ipaddress, pDas->serialnumber, id.szSerial);
    CopyString(pDas->serialnumber, id.szSerial, sizeof pDas->serialnumber);
    PlatMkdir(pDas->serialnumber);  // exists after the first download
  } else {
    // The worker refuses such a unit. The serial number the record holds
    // stays: the refused one names no directory and no list row.
    CopyString(pJob->szRefusedSerial, id.szSerial, sizeof pJob->szRefusedSerial);
    ReplaceControls(pJob->szRefusedSerial);
    pJob->bSerialRefused = 1;
  }
  return 1;
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
  ListFile list;
  if (OpenListFile(pJob, szPath, "Error creating file %s, got %d %s", &list)) {
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

  ListFile list;
  int bOpen = OpenListFile(pJob, szPath, "Error creating manifest file %s, got %d %s", &list);
  SetJobStatus(pJob, "Reading from %s", pDas->ipaddress);

  // The device list is the body of the kind probe, still waiting on the
  // query connection. It replaces the stored copy only when it arrived
  // whole and names at least one device; devices are only taken from such a
  // list. Each line is read whole and judged by its first field; a device
  // listed twice is downloaded once.
  const long long llAnnounced = pJob->llContentLength;
  const int bHtml = pJob->bHtmlAnswer;
  unsigned long long ullBytes = 0;
  int nEnd = 0;  // 1: the unit closed the connection, -1: it failed
  int nDevices[255];
  int nCount = 0;
  unsigned char bListed[256] = {0};
  int bGoesOn = 0;
  char szLine[1024];
  while (pJob->cState.load() == JOB_RUNNING) {
    int nLineEnd = 0;
    if (!RecvLineEnd(&pJob->sockQuery, szLine, sizeof szLine, &nLineEnd)) {
      nEnd = nLineEnd;
      break;
    }
    std::size_t nLen = std::strlen(szLine);
    ullBytes += nLen + (nLineEnd == 0 ? 1 : 0);  // the LF, when one ended the line
    if (bOpen) {
      WriteListFile(&list, szLine, nLen);
      if (nLineEnd != 2) WriteListFile(&list, "\n", 1);
    }
    // Only a line's first piece holds its first field; and that field must
    // end within it.
    if (!bGoesOn && (nLineEnd != 2 || std::strchr(szLine, ','))) {
      int nDevice = DeviceIdOf(szLine);
      if (nDevice && !bListed[nDevice]) {
        bListed[nDevice] = 1;
        nDevices[nCount++] = nDevice;
      }
    }
    bGoesOn = nLineEnd == 2;
    if (nLineEnd == 1 || nLineEnd == -1) {
      nEnd = nLineEnd;
      break;
    }
  }
  int bWhole = JobRunning(pJob) && nEnd == 1 &&
               (llAnnounced < 0 || ullBytes == (unsigned long long)llAnnounced);
  if (JobRunning(pJob) && !bWhole) {
    BodyInfo info{};
    info.ullBytes = ullBytes;
    CopyString(info.szProblem, HttpBodyProblem(&pJob->sockQuery), sizeof info.szProblem);
    char szWhy[128];
    DescribeBodyEnd(nEnd == 1 ? (ullBytes < (unsigned long long)llAnnounced ? BODY_SHORT : BODY_LONG)
                              : BODY_FAILED,
                    info, llAnnounced, szWhy, sizeof szWhy);
    LogError("download", __LINE__, "Device list from DAS %s at %s incomplete: %s",
             pDas->serialnumber, pDas->ipaddress, szWhy);
    FailJob(pJob, "device list incomplete: %s", szWhy);
  }
  if (bWhole && nCount == 0) {
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
    for (int i = 0; i < nCount; i++) {
      pJob->ulBytes += 1;
      RefreshJob(pJob);
      int nOk = DownloadLogFile(pJob, MultiDevice, nDevices[i]);
      if (nOk) nOk = DownloadConfigFile(pJob, MultiDevice, nDevices[i]);
      if (!nOk) break;
      if (pJob->cState.load() != JOB_RUNNING) break;
    }
  }
  // The unit's own configuration comes last in every case, unless the
  // operator has cancelled: then nothing more is asked of the unit.
  if (JobRunning(pJob)) DownloadConfigFile(pJob, MultiDevice, 0);
  MergeLeftoverLogs(pJob);

  if (JobRunning(pJob) && pJob->nOutcome != UNIT_FAILED)
    LogInfo("download", __LINE__, "Download Ordavan complete, serial %s", pDas->serialnumber);
  return 1;
}
