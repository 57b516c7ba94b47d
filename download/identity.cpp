// The first thing the worker asks of a reachable unit: its identity (serial
// number and name) from its configuration file, and the checks that keep a
// value read from a unit from naming a directory it must not.
#include <cstring>

#include "download/download.h"
#include "log/errorlog.h"
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

}  // namespace

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

// What ReadIdentityBody has taken of the body so far.
struct IdentityRead {
  Identity *pId;
  int bInSerial;  // the line being read is the SERIALNUMBER one
};

// One piece of a configuration file's line (ReadBodyLines).
void TakeIdentityLine(void *pCtx, char *pszLine, int nLineEnd, int bContinued) {
  IdentityRead *pRead = static_cast<IdentityRead *>(pCtx);
  Identity *pId = pRead->pId;
  if (bContinued) {
    if (pRead->bInSerial) pId->bSerialTooLong = 1;
    return;
  }
  pRead->bInSerial = 0;
  std::size_t nLen = std::strlen(pszLine);
  // A unit that writes CR LF line ends: the CR belongs to the line end,
  // not to the value.
  if (nLineEnd == 0 && nLen > 0 && pszLine[nLen - 1] == '\r') pszLine[nLen - 1] = 0;
  if (std::strncmp(pszLine, "SERIALNUMBER=", 13) == 0) {
    pRead->bInSerial = 1;
    pId->bSerial = 1;
    pId->bSerialTooLong = nLineEnd == 2;
    CopyString(pId->szSerial, std::strchr(pszLine, '=') + 1, sizeof pId->szSerial);
    if (std::strlen(std::strchr(pszLine, '=') + 1) >= sizeof pId->szSerial) pId->bSerialTooLong = 1;
    StripQuotes(pId->szSerial);
  } else if (std::strncmp(pszLine, "LOOPNAME=", 9) == 0) {
    pId->bName = 1;
    CopyString(pId->szName, std::strchr(pszLine, '=') + 1, sizeof pId->szName);
    StripQuotes(pId->szName);
    ReplaceControls(pId->szName);
  }
}

// Reads the configuration file waiting on the query connection. Each line
// is read whole, however long, and judged by its start: a key found in the
// middle of a long line is not a line of its own. 1 when the body arrived
// whole; 0 when it was cut, failed or the job stopped (nothing of it may be
// used then: a cut value is not the unit's).
int ReadIdentityBody(DownloadJob *pJob, Identity *pId, char *pszWhy, unsigned nWhyCap) {
  std::memset(pId, 0, sizeof *pId);
  IdentityRead read{pId, 0};
  char szLine[256];
  return ReadBodyLines(pJob, &pJob->sockQuery, szLine, sizeof szLine, TakeIdentityLine, &read,
                       pszWhy, nWhyCap);
}

// Another row of the main window's list whose serial number is pszSerial
// (compared without case: on Windows the two would name one directory);
// null when there is none or no list. *pnRow and *pnOtherRow get the rows'
// numbers, counted from 1. List items are read through the list box, which
// serves a worker's messages as well as the user-interface thread's.
const DasRecord *OtherRowWithSerial(const DasRecord *pListed, const char *pszSerial, int *pnRow,
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
    if (p == pListed) {
      *pnRow = static_cast<int>(i) + 1;
    } else if (!pFound && std::strlen(p->serialnumber) == std::strlen(pszSerial) &&
               SameNoCase(p->serialnumber, pszSerial, std::strlen(pszSerial))) {
      pFound = p;
      *pnOtherRow = static_cast<int>(i) + 1;
    }
  }
  return pFound;
}

// Asks for the configuration file where a multi-device unit serves it, and
// at the top level where a single meter does, and reads it into *pId.
// 1 when it arrived whole, 0 when it did not (pszWhy says why, unless the
// job stopped); -1 when no usable answer came (reported).
int FetchIdentity(DownloadJob *pJob, Identity *pId, char *pszWhy, unsigned nWhyCap) {
  int nHttpResult = 0;
  int nRead = -1;  // -1 no body read, 0 a body failed, 1 a body read whole
  int nGot = HttpGet("/setup/logexport.cgi?CFG=loggerconfig.ini", pJob, &pJob->sockQuery,
                     &nHttpResult);
  if (nGot && nHttpResult == 200 && pJob->bHtmlAnswer) {
    // A web server's own page for a path it does not know (some answer 200
    // instead of 404): unless it names the unit after all, the unit is one
    // that serves its configuration at the top level.
    nRead = ReadIdentityBody(pJob, pId, pszWhy, nWhyCap);
    if (nRead != 1 || !pId->bSerial) {
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
    return -1;
  }
  if (nRead < 0) nRead = ReadIdentityBody(pJob, pId, pszWhy, nWhyCap);
  CloseJobSocket(pJob->sockQuery);
  return nRead;
}

// 1 when another row of the list holds the serial number this unit
// reports (reported); such a unit is not downloaded.
int SerialHeldElsewhere(DownloadJob *pJob, const Identity &id) {
  // Two rows that reach units reporting one serial number would share its
  // directory: the second unit's records would be taken for duplicates
  // of the first's and then deleted on it. Neither is the listed unit for
  // sure, so this one is left alone until the list is put right.
  DasRecord *pDas = pJob->pDas;
  int nRow = 0, nOtherRow = 0;
  const DasRecord *pOther = OtherRowWithSerial(pJob->pListed, id.szSerial, &nRow, &nOtherRow);
  if (!pOther) return 0;
  LogError("download", __LINE__,
           "DAS %s at %s (row %d of the list) reports serial number %s, which row %d "
           "(%s at %s) holds already: not downloaded",
           pDas->serialnumber, pDas->ipaddress, nRow, id.szSerial, nOtherRow,
           pOther->serialnumber, pOther->ipaddress);
  FailJob(pJob, "reports serial number %s, which row %d holds already", id.szSerial, nOtherRow);
  return 1;
}

// Puts the unit's name and serial number into the job's record and the
// list's, or marks a serial number that cannot be used as refused.
void TakeIdentity(DownloadJob *pJob, const Identity &id) {
  DasRecord *pDas = pJob->pDas;
  DasRecord *pListed = pJob->pListed;
  if (id.bName) {
    CopyString(pDas->name, id.szName, sizeof pDas->name);
    if (pListed) CopyString(pListed->name, id.szName, sizeof pListed->name);
  }
  if (!id.bSerialTooLong && IsValidSerialNumber(id.szSerial)) {
    // The row's files go to another directory from now on.
    if (pDas->serialnumber[0] && std::strcmp(pDas->serialnumber, id.szSerial) != 0)
      LogInfo("download", __LINE__, "Serial number of DAS at %s changed from %s to %s",
              pDas->ipaddress, pDas->serialnumber, id.szSerial);
    CopyString(pDas->serialnumber, id.szSerial, sizeof pDas->serialnumber);
    if (pListed) CopyString(pListed->serialnumber, id.szSerial, sizeof pListed->serialnumber);
    PlatMkdir(pDas->serialnumber);  // exists after the first download
  } else {
    // The worker refuses such a unit. The serial number the record holds
    // stays: the refused one names no directory and no list row.
    CopyString(pJob->szRefusedSerial, id.szSerial, sizeof pJob->szRefusedSerial);
    ReplaceControls(pJob->szRefusedSerial);
    pJob->bSerialRefused = 1;
  }
}

// An identity on its way to the thread that shows the list.
struct IdentityTake {
  DownloadJob *pJob;
  const Identity *pId;
  int bDone;        // taken or refused
  int nResult;      // 1 taken, 0 refused (another row holds the serial number)
};

void TakeIdentityHere(IdentityTake *pTake) {
  pTake->bDone = 1;
  pTake->nResult = 0;
  const Identity &id = *pTake->pId;
  if (!id.bSerialTooLong && IsValidSerialNumber(id.szSerial) &&
      SerialHeldElsewhere(pTake->pJob, id))
    return;
  TakeIdentity(pTake->pJob, id);
  pTake->nResult = 1;
}

}  // namespace

void TakeReportedIdentity(LPARAM lTake) {
  auto *pTake = reinterpret_cast<IdentityTake *>(lTake);
  if (!pTake) return;
  // Entries written here are the unit's, but not on its worker's thread.
  long nBefore = ErrorLogThreadErrorCount();
  TakeIdentityHere(pTake);
  pTake->pJob->nErrorsElsewhere += static_cast<int>(ErrorLogThreadErrorCount() - nBefore);
}

int ReadDasIdentity(DownloadJob *pJob) {
  DasRecord *pDas = pJob->pDas;
  Identity id;
  char szWhy[128] = "";
  int nRead = FetchIdentity(pJob, &id, szWhy, sizeof szWhy);
  if (nRead < 0) return 0;
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
  // The other rows and the list's record belong to the thread that shows
  // the list (other units' workers write into them through it): the
  // identity is taken there, while this worker waits.
  IdentityTake take{pJob, &id, 0, 0};
  HWND hOwner = DownloadOwner.load();
  if (hOwner)
    SendMessage(hOwner, WM_COMMAND, CMD_TAKE_IDENTITY, reinterpret_cast<LPARAM>(&take));
  // No list shown (or its window has gone): nothing else reads the records.
  if (!take.bDone) TakeIdentityHere(&take);
  return take.nResult;
}
