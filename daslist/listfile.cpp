// The list file "daslist.txt": read into the main window's list box when the
// window opens, written back from it by every save.
//
// The operator may edit the file with any editor while a run goes on (a
// night's run takes hours), so a save never writes the run's picture of the
// list over the file blindly. The run keeps what the file held when it last
// read or wrote it (ListSync: its text, size, times and identity, and each
// row with its record). A save then
//   - finds the file as the run left it: writes the list only when that
//     changes the file's text, and formats only the rows whose record
//     changed since (a night of many units saves once per unit);
//   - finds it changed by someone else: takes up its rows as they are now
//     and applies over them only what the run changed (listmerge.cpp).
// Every write is complete beside the file, flushed, then renamed over it.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>

#include "daslist/daslist_int.h"
#include "log/appstate.h"
#include "log/errorlog.h"
#include "log/summary.h"
#include "platform/errors.h"
#include "platform/system.h"
#include "platform/window.h"
#include "util/atomicfile.h"
#include "util/text.h"

const char DasListFile[] = "daslist.txt";

namespace {

// The first line of the file, written by every save. A row whose first
// column reads "serialnumber" is a unit like any other: only this exact text
// is skipped as the header.
const char ListHeader[] = "serialnumber,name,phone,ipaddress,deletelog,password";
const char AllocFailed[] = "Error allocating memory, GlobalAlloc returned NULL pointer.";
// Lines are read as ReadLine reads them into a buffer of this size: a longer
// line is read as several.
const std::size_t kLineCap = 512;
// Every change of the file sets its modification time to the moment of the
// change, but as coarsely as its file system keeps it (two seconds on some):
// a change right after the run looked may leave it as it was, if the file
// had been modified just before. When the run looked within this much of
// that time (its clock counts whole seconds), the text is compared.
const long long kSameStampNs = 3000000000LL;

void ReplaceChar(char *psz, char cFrom, char cTo) {
  for (; *psz; psz++)
    if (*psz == cFrom) *psz = cTo;
}

// Line breaks and 0x1A would split a row or end the file early when it is
// read back (text mode stops at 0x1A): every unit after it would be lost.
void ReplaceLineBreaks(char *psz) {
  for (; *psz; psz++)
    if (*psz == '\r' || *psz == '\n' || *psz == '\x1a') *psz = '_';
}

// A failed save is an error entry like any other, and a line of the
// run's summary too: the units' total alone would read as a good night
// while the list on the disk is not the one in the window.
void SaveFailed(int nLine, const char *pszFormat, ...) PRINTF_LIKE(2, 3);
void SaveFailed(int nLine, const char *pszFormat, ...) {
  char szText[512];
  va_list ap;
  va_start(ap, pszFormat);
  std::vsnprintf(szText, sizeof szText, pszFormat, ap);
  va_end(ap);
  LogError("daslist", nLine, "%s", szText);
  char szLine[600];
  FormatString(szLine, sizeof szLine, "%s: a save failed: %s", DasListFile, szText);
  SummaryNoteProblem(szLine);
}

// A failed step on a file, pszWhat as LogFileError takes it.
void SaveFailedOn(int nLine, const char *pszWhat, const char *pszPath, int nErr) {
  char szText[512];
  SaveFailed(nLine, "%s", FormatFileError(szText, sizeof szText, pszWhat, pszPath, nErr));
}

long long NowNs() { return static_cast<long long>(PlatTime()) * 1000000000LL; }

// Reads the whole file as its rows are read: in text mode, line by line
// through ReadLine, each piece it gives ended by CR LF in *pText (so that a
// file this program wrote reads back to exactly what it wrote). 1 read; 0
// there is none; -1 it could not be read (*pnErr). Its state is taken
// before its text, so that a change between the two shows at the next look.
int ReadListFile(std::string *pText, PlatFileInfo *pInfo, long long *pllSeenNs, int *pnErr) {
  pText->clear();
  *pllSeenNs = NowNs();
  if (PlatStat(DasListFile, pInfo) != 0) {
    *pnErr = PlatErrno();
    return *pnErr == PLAT_ENOENT ? 0 : -1;
  }
  if (!pInfo->bFile) {
    *pnErr = PLAT_EISDIR;
    return -1;
  }
  int h = PlatOpen(DasListFile, P_O_RDONLY | P_O_TEXT);
  if (h < 0) {
    *pnErr = PlatErrno();
    return *pnErr == PLAT_ENOENT ? 0 : -1;
  }
  char szLine[kLineCap];
  while (ReadLine(h, szLine, sizeof szLine)) {
    pText->append(szLine);
    pText->append("\r\n");
  }
  PlatClose(h);
  return 1;
}

int SameFile(const PlatFileInfo &a, const PlatFileInfo &b) {
  return a.llSize == b.llSize && a.llMtimeNs == b.llMtimeNs && a.llCtimeNs == b.llCtimeNs &&
         a.ullId == b.ullId && a.ullDev == b.ullDev;
}

// How the file stands against what the run last read or wrote.
enum { FILE_AS_LEFT, FILE_CHANGED, FILE_GONE, FILE_UNREADABLE };

// For FILE_CHANGED, *pText, *pInfo and *pllSeenNs say what the file is now.
int LookAtFile(ListSync &s, std::string *pText, PlatFileInfo *pInfo, long long *pllSeenNs) {
  PlatFileInfo now{};
  long long llSeen = NowNs();
  int bKnown = s.bExists && !s.bUnreadable;
  if (PlatStat(DasListFile, &now) == 0 && bKnown && SameFile(now, s.info) &&
      s.llSeenNs - s.info.llMtimeNs >= kSameStampNs)
    return FILE_AS_LEFT;
  int nErr = 0;
  int nRead = ReadListFile(pText, pInfo, pllSeenNs, &nErr);
  if (nRead == 0) return s.bExists ? FILE_GONE : FILE_AS_LEFT;
  if (nRead < 0) {
    if (!s.bRefusalReported)
      SaveFailed(__LINE__, "Error reading file %s, got %d %s: the list is not written over it",
                 DasListFile, nErr, PlatStrError(nErr));
    s.bRefusalReported = 1;
    return FILE_UNREADABLE;
  }
  if (bKnown && *pText == s.text) {
    // Touched, or written with what it held: nothing to take up.
    NoteDasListFile(s, s.text, *pInfo, llSeen);
    return FILE_AS_LEFT;
  }
  return FILE_CHANGED;
}

// What BringRowsUp changed in s.rows, to be put back when the file cannot
// be written: the whole rows when items came, went or moved, else the rows
// changed one by one.
struct RowsUndo {
  int bWhole = 0;
  std::vector<SyncedRow> whole;
  std::vector<std::pair<std::size_t, SyncedRow>> some;
};

// Brings s.rows up to the list's records, formatting only the rows whose
// record changed since the file last held them. 1 when a row or the order
// of the rows differs from what the file holds.
int BringRowsUp(ListSync &s, const std::vector<DasRecord *> &now, RowsUndo *pUndo) {
  int bMoved = now.size() != s.rows.size();
  for (std::size_t i = 0; !bMoved && i < now.size(); i++) bMoved = now[i] != s.rows[i].pDas;
  if (!bMoved) {
    int bChanged = 0;
    for (std::size_t i = 0; i < s.rows.size(); i++) {
      SyncedRow &r = s.rows[i];
      if (std::memcmp(&r.das, r.pDas, sizeof r.das) == 0) continue;
      MakeRecordWritable(r.pDas);
      std::string row = FormatDasRow(r.pDas);
      if (row != r.row) {
        pUndo->some.emplace_back(i, r);
        r.row.swap(row);
        bChanged = 1;
      }
      r.das = *r.pDas;
    }
    return bChanged;
  }
  // Items came, went or moved (Add, Remove): rows are taken over by record.
  pUndo->bWhole = 1;
  pUndo->whole.swap(s.rows);
  std::unordered_map<const DasRecord *, const SyncedRow *> was;
  for (const SyncedRow &r : pUndo->whole) was.emplace(r.pDas, &r);
  s.rows.reserve(now.size());
  for (DasRecord *p : now) {
    auto it = was.find(p);
    if (it != was.end() && std::memcmp(&it->second->das, p, sizeof *p) == 0) {
      s.rows.push_back(*it->second);
      continue;
    }
    MakeRecordWritable(p);
    s.rows.push_back(SyncedRow{p, *p, FormatDasRow(p)});
  }
  return 1;
}

void PutRowsBack(ListSync &s, RowsUndo *pUndo) {
  if (pUndo->bWhole) {
    s.rows.swap(pUndo->whole);
    return;
  }
  for (auto &u : pUndo->some) s.rows[u.first] = std::move(u.second);
}

std::string RenderRows(const std::vector<SyncedRow> &rows) {
  std::string out = std::string(ListHeader) + "\r\n";
  std::size_t n = out.size();
  for (const SyncedRow &r : rows) n += r.row.size();
  out.reserve(n);
  for (const SyncedRow &r : rows) out += r.row;
  return out;
}

// A save that finds the file as the run left it, gone, or never there.
void SaveAsLeft(ListSync &s, const std::vector<DasRecord *> &now, int nFile) {
  RowsUndo undo;
  int bChanged = BringRowsUp(s, now, &undo);
  // A file that is not there is written with what the list holds, even an
  // empty list.
  int bThere = s.bExists && nFile == FILE_AS_LEFT;
  if (bThere && !bChanged) return;
  std::string out = RenderRows(s.rows);
  if (bThere && out == s.text) return;
  if (nFile == FILE_GONE)
    LogInfo("daslist", __LINE__, "%s was removed during the run: written again from the list",
            DasListFile);
  if (!WriteDasListFile(out)) {
    // The file still holds what it held: the next save tries again.
    PutRowsBack(s, &undo);
    return;
  }
  PlatFileInfo info{};
  long long llSeen = NowNs();
  if (PlatStat(DasListFile, &info) != 0) info = PlatFileInfo{};
  NoteDasListFile(s, out, info, llSeen);
}

// The list as it is, without anything the run knows of the file: SaveDasList
// on a list box that LoadDasList did not fill.
void SaveWhole(const std::vector<DasRecord *> &now) {
  std::string out = std::string(ListHeader) + "\r\n";
  for (DasRecord *p : now) {
    MakeRecordWritable(p);
    out += FormatDasRow(p);
  }
  WriteDasListFile(out);
}

}  // namespace

ListSync &DasListSync() {
  // Never destroyed: the process ends without running destructors (a
  // download worker may still be in its final wait).
  static ListSync *p = new ListSync;
  return *p;
}

// Makes a record safe for the list file, which knows no escaping: commas
// would split a column, a double quote would end the phone column early.
void MakeRecordWritable(DasRecord *pDas) {
  ReplaceChar(pDas->serialnumber, ',', '_');
  ReplaceChar(pDas->name, ',', '_');
  ReplaceChar(pDas->ipaddress, ',', '_');
  ReplaceChar(pDas->password, ',', '_');
  ReplaceChar(pDas->phone, '"', '_');
  for (char *psz : {pDas->serialnumber, pDas->name, pDas->phone, pDas->ipaddress,
                    pDas->password})
    ReplaceLineBreaks(psz);
}

void FormatDasListItem(const DasRecord *pDas, char *pszBuf, unsigned nCap) {
  if (!pszBuf || nCap == 0) return;
  if (!pDas) {
    pszBuf[0] = 0;
    return;
  }
  FormatString(pszBuf, nCap, "%s\t%s\t%s\t%s\t%s", pDas->serialnumber, pDas->ipaddress, pDas->name,
               pDas->phone[0] ? pDas->phone : "LAN", "");
}

std::string FormatDasRow(const DasRecord *pDas) {
  char szLine[kLineCap];
  FormatString(szLine, sizeof szLine, "%s,%s,\"%s\",%s,%s,%s\r\n", pDas->serialnumber, pDas->name,
               pDas->phone, pDas->ipaddress, pDas->deletelog ? "YES" : "NO", pDas->password);
  return szLine;
}

DasRecord *DasListItemRecord(HWND hList, int nIndex) {
  LRESULT r = SendMessage(hList, LB_GETITEMDATA, static_cast<WPARAM>(nIndex), 0);
  if (r == LB_ERR) return nullptr;
  return reinterpret_cast<DasRecord *>(r);
}

std::vector<DasRecord *> DasListRecords(HWND hList) {
  std::vector<DasRecord *> records;
  LRESULT nCount = SendMessage(hList, LB_GETCOUNT, 0, 0);
  records.reserve(nCount > 0 ? static_cast<std::size_t>(nCount) : 0);
  for (int i = 0; i < nCount; i++)
    if (DasRecord *p = DasListItemRecord(hList, i)) records.push_back(p);
  return records;
}

std::vector<DasRecord> ParseDasListText(const std::string &text) {
  std::vector<DasRecord> rows;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    char szLine[kLineCap];
    CopyString(szLine, text.substr(at, end - at).c_str(), sizeof szLine);
    // A list saved by an editor that marks UTF-8 (Notepad does by default)
    // begins with the byte-order mark: it belongs to no column, and left in
    // place it would turn the header into a unit.
    if (at == 0 && std::strncmp(szLine, "\xEF\xBB\xBF", 3) == 0)
      std::memmove(szLine, szLine + 3, std::strlen(szLine + 3) + 1);
    at = end + 2;
    DasRecord das{};
    if (ParseDasListLine(szLine, &das)) rows.push_back(das);
  }
  return rows;
}

void NoteDasListFile(ListSync &s, const std::string &text, const PlatFileInfo &info,
                     long long llSeenNs) {
  s.bExists = 1;
  s.bUnreadable = 0;
  s.bRefusalReported = 0;
  if (&s.text != &text) s.text = text;
  s.info = info;
  s.llSeenNs = llSeenNs;
}

int WriteDasListFile(const std::string &text) {
  AtomicFile file;
  if (!AtomicFileOpen(&file, DasListFile, P_O_BINARY)) {
    int nErr = PlatErrno();
    SaveFailedOn(__LINE__, "creating", file.szPart, nErr);
    return 0;
  }
  if (!AtomicFileWrite(&file, text.data(), text.size())) {
    SaveFailedOn(__LINE__, "writing to", file.szPart, file.nErr);
    AtomicFileDiscard(&file);
    return 0;
  }
  // The folder is flushed as well as can be: the list is in place either way.
  int nCommit = AtomicFileCommit(&file, 1);
  if (nCommit == ATOMIC_NOT_WRITTEN) {
    SaveFailedOn(__LINE__, "writing to", file.szPart, file.nErr);
    return 0;
  }
  if (nCommit == ATOMIC_NOT_RENAMED) {
    SaveFailed(__LINE__, "Error renaming %s to %s, got %d %s", file.szPart, DasListFile,
               file.nErr, PlatStrError(file.nErr));
    return 0;
  }
  return 1;
}

// A row may be short: columns that it does not have stay empty. A phone
// column that opens a double quote and never closes it takes the rest of the
// line as the phone number, and the columns after it stay empty.
int ParseDasListLine(char *pszLine, DasRecord *pDas) {
  if (std::strcmp(pszLine, ListHeader) == 0) return 0;
  // An empty line holds no unit at all (a list edited by hand often ends
  // with one); any other short line yields a unit with what it has.
  if (pszLine[0] == 0) return 0;
  char *pCursor = pszLine;
  char *pField;
  if ((pField = NextField(&pCursor, ","))) CopyString(pDas->serialnumber, pField, sizeof pDas->serialnumber);
  if ((pField = NextField(&pCursor, ","))) CopyString(pDas->name, pField, sizeof pDas->name);
  if (pCursor && *pCursor == '"') {
    pCursor++;
    if ((pField = NextField(&pCursor, "\""))) CopyString(pDas->phone, pField, sizeof pDas->phone);
    if (pCursor && *pCursor == ',') pCursor++;
  } else if ((pField = NextField(&pCursor, ","))) {
    CopyString(pDas->phone, pField, sizeof pDas->phone);
  }
  if ((pField = NextField(&pCursor, ","))) CopyString(pDas->ipaddress, pField, sizeof pDas->ipaddress);
  if ((pField = NextField(&pCursor, ","))) pDas->deletelog = std::strcmp(pField, "YES") == 0 ? 1 : 0;
  if ((pField = NextField(&pCursor, ","))) CopyString(pDas->password, pField, sizeof pDas->password);
  // The unit is shown, sorted and kept as the next save will write it: a
  // quote in an unquoted phone column becomes an underscore now, not only in
  // the file, so the list reads back in the order in which it was saved.
  MakeRecordWritable(pDas);
  return 1;
}

DasRecord *AllocDasRecord() {
  // Records are never freed: a record removed from the list may still be
  // read by a download worker until its final wait is over. Keeping them
  // here leaves them reachable for leak checkers.
  static std::mutex *pMx = new std::mutex;
  static std::vector<DasRecord *> *pAll = new std::vector<DasRecord *>;
  DasRecord *p = new (std::nothrow) DasRecord();
  if (!p) return nullptr;
  std::lock_guard<std::mutex> lk(*pMx);
  try {
    pAll->push_back(p);
  } catch (...) {
    delete p;
    return nullptr;
  }
  return p;
}

// An unattended run without a list has nothing to do: most likely it was
// started in another folder than the list's. That is a failed night, not an
// empty one: an error entry (so the status is 1) and a line of the summary.
void ReportMissingList() {
  std::string dir = PlatCurrentDir();
  if (dir.empty()) dir = "the working folder";
  LogError("daslist", __LINE__, "No %s in %s: no unit to download", DasListFile, dir.c_str());
  char szLine[600];
  FormatString(szLine, sizeof szLine, "%s not found in %s (started in the wrong folder?): no unit downloaded",
               DasListFile, dir.c_str());
  SummaryNoteProblem(szLine);
}

void LoadDasList(HWND hList) {
  ListSync &s = DasListSync();
  s = ListSync{};
  s.hList = hList;
  std::string text;
  PlatFileInfo info{};
  long long llSeen = 0;
  int nErr = 0;
  int nRead = ReadListFile(&text, &info, &llSeen, &nErr);
  if (nRead == 0) {
    if (AutoRun) ReportMissingList();
    return;
  }
  if (nRead < 0) {
    // Saves will not write over a list they cannot read.
    LogFileError("daslist", __LINE__, "reading file", DasListFile, nErr);
    s.bExists = s.bUnreadable = 1;
    return;
  }
  NoteDasListFile(s, text, info, llSeen);
  for (const DasRecord &das : ParseDasListText(text)) {
    DasRecord *pDas = AllocDasRecord();
    if (!pDas) {
      LogError("daslist", __LINE__, "%s", AllocFailed);
      continue;
    }
    *pDas = das;
    char szItem[kLineCap];
    FormatDasListItem(pDas, szItem, sizeof szItem);
    LRESULT nIndex = SendMessage(hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(szItem));
    if (nIndex != LB_ERR)
      SendMessage(hList, LB_SETITEMDATA, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(pDas));
  }
  for (DasRecord *p : DasListRecords(hList)) s.rows.push_back(SyncedRow{p, *p, FormatDasRow(p)});
}

void SaveDasList(HWND hList) {
  // A list box that is gone answers every message with 0, which would read
  // as an empty list and wipe the file: count it as no answer at all.
  LRESULT nCount = IsWindow(hList) ? SendMessage(hList, LB_GETCOUNT, 0, 0) : LB_ERR;
  if (nCount == LB_ERR) {
    SaveFailed(__LINE__, "Error getting DAS list count");
    return;
  }
  try {
    std::vector<DasRecord *> now = DasListRecords(hList);
    ListSync &s = DasListSync();
    if (s.hList != hList) {
      SaveWhole(now);
      return;
    }
    std::string text;
    PlatFileInfo info{};
    long long llSeen = 0;
    int nFile = LookAtFile(s, &text, &info, &llSeen);
    if (nFile == FILE_UNREADABLE) return;
    if (nFile == FILE_CHANGED) {
      MergeDasListFile(hList, s, now, text, info, llSeen);
      return;
    }
    SaveAsLeft(s, now, nFile);
  } catch (const std::bad_alloc &) {
    SaveFailed(__LINE__, "%s", AllocFailed);
  }
}
