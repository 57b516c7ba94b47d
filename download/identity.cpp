// What the worker does with a reachable unit: read its identity (serial
// number and name) from its configuration file, and the transfer sequences
// of the two kinds of unit.
#include <cstdlib>
#include <cstring>

#include "download/download.h"
#include "platform/file.h"
#include "platform/window.h"
#include "shell/errorlog.h"
#include "util/text.h"

namespace {

int IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

// A value read from a unit that may become a directory name: no path
// separator of either kind, not "." or "..", no control character. Anything
// else could put files outside the working directory (or nowhere sensible).
int IsSafeDirName(const char *psz) {
  if (std::strcmp(psz, ".") == 0 || std::strcmp(psz, "..") == 0) return 0;
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

}  // namespace

int IsValidSerialNumber(const char *pszSerial) {
  return std::strlen(pszSerial) == 12 && IsSafeDirName(pszSerial);
}

int ReadDasIdentity(DownloadJob *pJob) {
  DasRecord *pDas = pJob->pDas;
  int nHttpResult = 0;
  int nGot = HttpGet("/setup/logexport.cgi?CFG=loggerconfig.ini", pJob, &pJob->sockQuery,
                     &nHttpResult);
  if (nGot && nHttpResult == 404) {
    // A single-meter unit serves its configuration at the top level.
    CloseJobSocket(pJob->sockQuery);
    if (!HttpGet("/loggerconfig.ini", pJob, &pJob->sockQuery, &nHttpResult) ||
        nHttpResult != 200) {
      CloseJobSocket(pJob->sockQuery);
      return 0;
    }
  } else if (!nGot || nHttpResult != 200) {
    CloseJobSocket(pJob->sockQuery);
    return 0;
  }

  char szLine[256];
  while (RecvLine(&pJob->sockQuery, szLine, sizeof szLine)) {
    // A cancel ends the line where it closed the connection: a cut value
    // must not replace the unit's serial number or name in the list (and
    // the main window may be saving the list by now).
    if (pJob->cState.load() != JOB_RUNNING) break;
    // A unit that writes CR LF line ends: the CR belongs to the line end,
    // not to the value.
    std::size_t nLen = std::strlen(szLine);
    if (nLen > 0 && szLine[nLen - 1] == '\r') szLine[nLen - 1] = 0;

    if (std::strncmp(szLine, "SERIALNUMBER=", 13) == 0) {
      char szValue[sizeof pDas->serialnumber];
      CopyString(szValue, std::strchr(szLine, '=') + 1, sizeof szValue);
      StripQuotes(szValue);
      int bSafe = IsSafeDirName(szValue);
      ReplaceControls(szValue);
      CopyString(pDas->serialnumber, szValue, sizeof pDas->serialnumber);
      // The worker refuses such a unit the way it refuses a serial number
      // of the wrong length; no directory is made for it.
      pJob->bSerialRefused = !bSafe;
      if (bSafe) PlatMkdir(pDas->serialnumber);  // exists after the first download
    } else if (std::strncmp(szLine, "LOOPNAME=", 9) == 0) {
      CopyString(pDas->name, std::strchr(szLine, '=') + 1, sizeof pDas->name);
      StripQuotes(pDas->name);
      ReplaceControls(pDas->name);
    }
  }
  CloseJobSocket(pJob->sockQuery);
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
  int hList = PlatOpen(szPath, P_O_WRONLY | P_O_CREAT | P_O_TRUNC | P_O_TEXT,
                       P_S_IREAD | P_S_IWRITE);
  if (hList < 0) {
    int nErr = PlatErrno();
    LogError("download", __LINE__, "Error creating file %s, got %d %s", szPath, nErr,
             PlatStrError(nErr));
  } else {
    char szLine[512];
    FormatString(szLine, sizeof szLine,
                 "Modbus ID,DeviceName,DeviceType,DeviceClass,Log File URL\n");
    PlatWrite(hList, szLine, std::strlen(szLine));
    FormatString(szLine, sizeof szLine,
                 "001,\"%s\",\"Quorvin, Ordalet, pulse energy logger, Q4410\",15,"
                 "<a href=/mb-001.log/%s_1.txt>mb-001.log/%s_1.txt</a>\n",
                 pDas->name, pDas->serialnumber, pDas->serialnumber);
    PlatWrite(hList, szLine, std::strlen(szLine));
    PlatClose(hList);
  }

  if (DownloadLogFile(pJob, SingleMeter, 1) && DownloadConfigFile(pJob, SingleMeter, 0))
    DownloadConfigFile(pJob, SingleMeter, 1);

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

  int hList = PlatOpen(szPath, P_O_WRONLY | P_O_CREAT | P_O_TRUNC | P_O_TEXT,
                       P_S_IREAD | P_S_IWRITE);
  if (hList < 0) {
    int nErr = PlatErrno();
    LogError("download", __LINE__, "Error creating manifest file %s, got %d %s", szPath, nErr,
             PlatStrError(nErr));
  }
  SetJobStatus(pJob, "Reading from %s", pDas->ipaddress);

  // The device list is the body of the kind probe, still waiting on the
  // query connection.
  char szLine[1024];
  while (pJob->cState.load() == JOB_RUNNING &&
         RecvLine(&pJob->sockQuery, szLine, sizeof szLine)) {
    if (hList >= 0) {
      PlatWrite(hList, szLine, std::strlen(szLine));
      PlatWrite(hList, "\n", 1);
    }
  }
  if (hList >= 0) PlatClose(hList);
  LogInfo("download", __LINE__, "Finished manifest file download");

  hList = PlatOpen(szPath, P_O_RDONLY | P_O_TEXT);
  int nOpenErr = PlatErrno();  // before the log entry, which may change it
  LogInfo("download", __LINE__, "Read manifest file %s", szPath);
  if (hList < 0) {
    int nErr = nOpenErr;
    LogError("download", __LINE__, "Error reading manifest file %s, got %d %s", szPath, nErr,
             PlatStrError(nErr));
  } else {
    while (ReadLine(hList, szLine, sizeof szLine)) {
      pJob->ulBytes += (std::uint32_t)std::strlen(szLine) + 1;
      RefreshJob(pJob);
      char *pCursor = szLine;
      char *pId = NextField(&pCursor, ",");
      int nDevice = pId ? std::atoi(pId) : 0;
      if (nDevice < 1 || nDevice > 255) continue;  // the header line among others
      int nOk = DownloadLogFile(pJob, MultiDevice, nDevice);
      if (nOk) nOk = DownloadConfigFile(pJob, MultiDevice, nDevice);
      if (!nOk) break;
      if (pJob->cState.load() != JOB_RUNNING) break;
    }
    PlatClose(hList);
  }
  // The unit's own configuration comes last in every case.
  DownloadConfigFile(pJob, MultiDevice, 0);

  LogInfo("download", __LINE__, "Download Ordavan complete, serial %s", pDas->serialnumber);
  return 1;
}
