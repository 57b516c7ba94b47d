// The list of DAS units: the list file "daslist.txt" and the main window that
// shows it. The main window's list box is the only container of the units:
// each item carries its unit's text and, as item data, its DasRecord.
#include "daslist/daslist.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "download/download.h"
#include "log/appstate.h"
#include "log/errorlog.h"
#include "log/summary.h"
#include "platform/errors.h"
#include "platform/file.h"
#include "platform/window.h"
#include "util/atomicfile.h"
#include "util/text.h"

namespace {

const char ListFile[] = "daslist.txt";
// The first line of the file, written by every save. A row whose first
// column reads "serialnumber" is a unit like any other: only this exact text
// is skipped as the header.
const char ListHeader[] = "serialnumber,name,phone,ipaddress,deletelog,password";
const char AllocFailed[] = "Error allocating memory, GlobalAlloc returned NULL pointer.";

// A new unit gets an address in the private range that the units ship with;
// the operator changes it in the settings dialog.
const char NewUnitAddress[] = "192.168.1.100";

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

// Makes a record safe for the list file, which knows no escaping: commas
// would split a column, a double quote would end the phone column early.
// The record keeps the underscores.
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

// The list box's text of a unit: serial number, address, name and phone
// ("LAN" without one), separated by tabs.
void FormatDasListItem(const DasRecord *pDas, char *pszBuf, unsigned nCap) {
  if (!pszBuf || nCap == 0) return;
  if (!pDas) {
    pszBuf[0] = 0;
    return;
  }
  FormatString(pszBuf, nCap, "%s\t%s\t%s\t%s\t%s", pDas->serialnumber, pDas->ipaddress, pDas->name,
               pDas->phone[0] ? pDas->phone : "LAN", "");
}

DasRecord *ItemRecord(HWND hList, int nIndex) {
  LRESULT r = SendMessage(hList, LB_GETITEMDATA, static_cast<WPARAM>(nIndex), 0);
  if (r == LB_ERR) return nullptr;
  return reinterpret_cast<DasRecord *>(r);
}

// The record of an item, or null after reporting that it has none.
DasRecord *ItemRecordOrReport(HWND hList, int nIndex) {
  DasRecord *pDas = ItemRecord(hList, nIndex);
  if (!pDas) LogError("daslist", __LINE__, "Error getting data handle pointer from list item %d", nIndex);
  return pDas;
}

int SelectedItem(HWND hList) {
  LRESULT r = SendMessage(hList, LB_GETCURSEL, 0, 0);
  return r == LB_ERR ? -1 : static_cast<int>(r);
}

void SendCommand(HWND hWnd, int nCommand) {
  SendMessage(hWnd, WM_COMMAND, static_cast<WPARAM>(nCommand), 0);
}

void SaveAndRefresh(HWND hWnd) {
  HWND hList = GetDlgItem(hWnd, IDC_DASLIST);
  SaveDasList(hList);
  int nSel = SelectedItem(hList);
  if (nSel < 0) return;
  DasRecord *pDas = ItemRecordOrReport(hList, nSel);
  if (!pDas) return;
  // The item goes back where it was, unsorted: the operator's selection must
  // not jump away because a download renamed the unit.
  char szItem[512];
  FormatDasListItem(pDas, szItem, sizeof szItem);
  SendMessage(hList, LB_DELETESTRING, static_cast<WPARAM>(nSel), 0);
  SendMessage(hList, LB_INSERTSTRING, static_cast<WPARAM>(nSel), reinterpret_cast<LPARAM>(szItem));
  SendMessage(hList, LB_SETITEMDATA, static_cast<WPARAM>(nSel), reinterpret_cast<LPARAM>(pDas));
  SendMessage(hList, LB_SETCURSEL, static_cast<WPARAM>(nSel), 0);
}

void AddUnit(HWND hWnd) {
  HWND hList = GetDlgItem(hWnd, IDC_DASLIST);
  DasRecord *pNew = AllocDasRecord();
  if (!pNew) {
    LogError("daslist", __LINE__, "%s", AllocFailed);
    return;
  }
  pNew->deletelog = 0;
  CopyString(pNew->name, "[new]", sizeof pNew->name);
  CopyString(pNew->password, "qexal", sizeof pNew->password);
  CopyString(pNew->ipaddress, NewUnitAddress, sizeof pNew->ipaddress);
  char szItem[512];
  FormatDasListItem(pNew, szItem, sizeof szItem);
  LRESULT r = SendMessage(hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(szItem));
  int nIndex = r == LB_ERR ? LB_ERR : static_cast<int>(r);
  SendMessage(hList, LB_SETITEMDATA, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(pNew));
  SendMessage(hList, LB_SETCURSEL, static_cast<WPARAM>(nIndex), 0);
  DasRecord *pDas = ItemRecordOrReport(hList, nIndex);
  if (!pDas) return;
  if (!EditDasSettings(hWnd, pDas)) {
    SendMessage(hList, LB_DELETESTRING, static_cast<WPARAM>(nIndex), 0);
    SendMessage(hList, LB_SETCURSEL, 0, 0);
  }
  SendCommand(hWnd, CMD_SAVE_REFRESH);
}

void RemoveUnit(HWND hWnd) {
  HWND hList = GetDlgItem(hWnd, IDC_DASLIST);
  int nSel = SelectedItem(hList);
  // The record itself stays allocated: a download worker may still read it.
  if (nSel >= 0) SendMessage(hList, LB_DELETESTRING, static_cast<WPARAM>(nSel), 0);
  SendMessage(hList, LB_SETCURSEL, 0, 0);
  SendCommand(hWnd, CMD_SAVE_REFRESH);
}

void EditUnit(HWND hWnd) {
  HWND hList = GetDlgItem(hWnd, IDC_DASLIST);
  int nSel = SelectedItem(hList);
  if (nSel < 0) return;
  DasRecord *pDas = ItemRecordOrReport(hList, nSel);
  if (!pDas) return;
  if (EditDasSettings(hWnd, pDas)) SendCommand(hWnd, CMD_SAVE_REFRESH);
}

void DownloadUnit(HWND hWnd) {
  HWND hList = GetDlgItem(hWnd, IDC_DASLIST);
  int nSel = SelectedItem(hList);
  if (nSel < 0) return;
  DasRecord *pDas = ItemRecordOrReport(hList, nSel);
  if (!pDas) return;
  InitDownloadDASProcess(pDas, hWnd);
  SendCommand(hWnd, CMD_SAVE_REFRESH);
}

void DownloadAllUnits(HWND hWnd) {
  HWND hList = GetDlgItem(hWnd, IDC_DASLIST);
  LRESULT nCount = SendMessage(hList, LB_GETCOUNT, 0, 0);
  for (int i = 0; i < nCount; i++) {
    DasRecord *pDas = ItemRecordOrReport(hList, i);
    if (!pDas) continue;
    // A failed or cancelled download does not stop the others.
    InitDownloadDASProcess(pDas, hWnd);
  }
  SendCommand(hWnd, CMD_SAVE_REFRESH);
}

void InitMainWindow(HWND hWnd) {
  HWND hList = GetDlgItem(hWnd, IDC_DASLIST);
  int anTabs[4] = {8, 8, 8, 8};
  SendMessage(hList, LB_SETTABSTOPS, 4, reinterpret_cast<LPARAM>(anTabs));
  LoadDasList(hList);
  SendMessage(hList, WM_SETREDRAW, TRUE, 0);
  SendMessage(hList, LB_SETCARETINDEX, 0, 0);
  SendMessage(hList, LB_SETCURSEL, 0, 0);
  char szTitle[512];
  FormatString(szTitle, sizeof szTitle, "%s %s", APP_TITLE, APP_VERSION);
  SetWindowText(hWnd, szTitle);
  // Posted: the automatic run starts once the window's loop runs.
  if (AutoRun) PostMessage(hWnd, WM_COMMAND, CMD_AUTO_RUN, 0);
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
  FormatString(szLine, sizeof szLine, "%s: a save failed: %s", ListFile, szText);
  SummaryNoteProblem(szLine);
}

// A failed step on a file, pszWhat as LogFileError takes it.
void SaveFailedOn(int nLine, const char *pszWhat, const char *pszPath, int nErr) {
  char szText[512];
  SaveFailed(nLine, "%s", FormatFileError(szText, sizeof szText, pszWhat, pszPath, nErr));
}

}  // namespace

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

void LoadDasList(HWND hList) {
  int hFile = PlatOpen(ListFile, P_O_RDONLY | P_O_TEXT);
  if (hFile < 0) return;
  char szLine[512];
  bool bFirst = true;
  while (ReadLine(hFile, szLine, sizeof szLine)) {
    // A list saved by an editor that marks UTF-8 (Notepad does by default)
    // begins with the byte-order mark: it belongs to no column, and left in
    // place it would turn the header into a unit.
    if (bFirst && std::strncmp(szLine, "\xEF\xBB\xBF", 3) == 0)
      std::memmove(szLine, szLine + 3, std::strlen(szLine + 3) + 1);
    bFirst = false;
    if (std::strcmp(szLine, ListHeader) == 0 || szLine[0] == 0) continue;
    DasRecord *pDas = AllocDasRecord();
    if (!pDas) {
      LogError("daslist", __LINE__, "%s", AllocFailed);
      continue;
    }
    ParseDasListLine(szLine, pDas);
    FormatDasListItem(pDas, szLine, sizeof szLine);
    LRESULT nIndex = SendMessage(hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(szLine));
    if (nIndex != LB_ERR)
      SendMessage(hList, LB_SETITEMDATA, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(pDas));
  }
  PlatClose(hFile);
}

// The new list is written completely beside the old one, flushed to the
// disk and then renamed over it in one step, so that a crash or a full disk
// at any moment leaves either the old list or the new one, never none. A
// save that could not write everything keeps the old list.
void SaveDasList(HWND hList) {
  AtomicFile file;
  if (!AtomicFileOpen(&file, ListFile, P_O_TEXT)) {
    int nErr = PlatErrno();
    SaveFailedOn(__LINE__, "creating", file.szPart, nErr);
    return;
  }
  bool bComplete = true;
  char szLine[512];
  FormatString(szLine, sizeof szLine, "%s\n", ListHeader);
  if (!AtomicFileWrite(&file, szLine, std::strlen(szLine))) {
    int nErr = PlatErrno();
    SaveFailedOn(__LINE__, "writing to", file.szPart, nErr);
    bComplete = false;
  }
  // A list box that is gone answers every message with 0, which would read
  // as an empty list and wipe the file: count it as no answer at all.
  LRESULT nCount = IsWindow(hList) ? SendMessage(hList, LB_GETCOUNT, 0, 0) : LB_ERR;
  if (nCount == LB_ERR) {
    SaveFailed(__LINE__, "Error getting DAS list count");
    AtomicFileDiscard(&file);
    return;
  }
  for (int i = 0; i < nCount; i++) {
    DasRecord *pDas = ItemRecord(hList, i);
    if (!pDas) continue;
    MakeRecordWritable(pDas);
    FormatString(szLine, sizeof szLine, "%s,%s,\"%s\",%s,%s,%s\n", pDas->serialnumber, pDas->name,
                 pDas->phone, pDas->ipaddress, pDas->deletelog ? "YES" : "NO", pDas->password);
    if (!AtomicFileWrite(&file, szLine, std::strlen(szLine))) {
      int nErr = PlatErrno();
      SaveFailedOn(__LINE__, "writing to", file.szPart, nErr);
      bComplete = false;
    }
  }
  if (!bComplete) {
    AtomicFileDiscard(&file);
    return;
  }
  // The folder is flushed as well as can be: the list is in place either way.
  int nCommit = AtomicFileCommit(&file, 1);
  if (nCommit == ATOMIC_NOT_WRITTEN)
    SaveFailedOn(__LINE__, "writing to", file.szPart, file.nErr);
  else if (nCommit == ATOMIC_NOT_RENAMED)
    SaveFailed(__LINE__, "Error renaming %s to %s, got %d %s", file.szPart, ListFile, file.nErr,
               PlatStrError(file.nErr));
}

LRESULT MainWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_INITDIALOG:
      InitMainWindow(hWnd);
      return TRUE;
    case WM_CLOSE:
      DestroyWindow(hWnd);
      return 1;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDM_EXIT:
          SendMessage(hWnd, WM_CLOSE, 0, 0);
          return 0;
        case IDM_ADD:
          AddUnit(hWnd);
          return 0;
        case IDM_REMOVE:
          RemoveUnit(hWnd);
          return 0;
        case CMD_SAVE_REFRESH:
          SaveAndRefresh(hWnd);
          return 0;
        case CMD_AUTO_RUN:
          SendCommand(hWnd, IDC_DOWNLOADALL);
          PostMessage(hWnd, WM_CLOSE, 0, 0);
          return 0;
        case IDC_EDITDAS:
          EditUnit(hWnd);
          return 0;
        case IDC_DOWNLOAD:
          DownloadUnit(hWnd);
          return 0;
        case IDC_DOWNLOADALL:
          DownloadAllUnits(hWnd);
          return 0;
        default:
          break;
      }
      break;
    default:
      break;
  }
  return DefWindowProc(hWnd, uMsg, wParam, lParam);
}
