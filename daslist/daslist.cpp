// The main window that shows the list of DAS units (the list file itself is
// read and written in listfile.cpp). The main window's list box is the only
// container of the units: each item carries its unit's text and, as item
// data, its DasRecord.
#include "daslist/daslist.h"

#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

#include "daslist/daslist_int.h"
#include "download/download.h"
#include "log/appstate.h"
#include "log/errorlog.h"
#include "platform/window.h"
#include "util/text.h"

namespace {

const char AllocFailed[] = "Error allocating memory, GlobalAlloc returned NULL pointer.";

// A new unit gets an address in the private range that the units ship with;
// the operator changes it in the settings dialog.
const char NewUnitAddress[] = "192.168.1.100";

// The record of an item, or null after reporting that it has none.
DasRecord *ItemRecordOrReport(HWND hList, int nIndex) {
  DasRecord *pDas = DasListItemRecord(hList, nIndex);
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

// The main window while it exists, for a stop from another thread.
std::atomic<HWND> MainWindow{nullptr};

// The units from the one at nFrom on, which a stopped run did not reach,
// in the run's summary (each in its place of the list).
void NoteNotStarted(const std::vector<DasRecord *> &units, std::size_t nFrom) {
  for (std::size_t i = nFrom; i < units.size(); i++)
    SummaryNoteUnit(units[i]->serialnumber, units[i]->name, UNIT_NOT_STARTED, "", 0, 0,
                    static_cast<long>(i + 1));
}

// The units are taken as the list holds them when the run starts. A save
// during the run may take up the operator's edits of the file and show the
// list anew: items then move, so the run goes by record, and a unit whose
// row the operator has removed meanwhile is not downloaded.
// The list as the run began, and whether a save has shown it anew since.
struct RunList {
  HWND hList;
  unsigned nShown;
  int bShownAnew;
  std::unordered_set<const DasRecord *> listed;
};

// 1 when the operator has removed the unit's row since the run began.
int RowRemoved(void *pCtx, const DasRecord *pDas) {
  RunList &run = *static_cast<RunList *>(pCtx);
  if (DasListShownAnew() != run.nShown) {
    run.nShown = DasListShownAnew();
    run.bShownAnew = 1;
    std::vector<DasRecord *> now = DasListRecords(run.hList);
    run.listed = std::unordered_set<const DasRecord *>(now.begin(), now.end());
  }
  return run.bShownAnew && !run.listed.count(pDas);
}

// One unit after the other; how many were gone through.
std::size_t DownloadInTurn(HWND hWnd, const std::vector<DasRecord *> &units, RunList &run) {
  for (std::size_t i = 0; i < units.size(); i++) {
    if (DownloadsStopped()) return i;
    if (RowRemoved(&run, units[i])) continue;
    // A failed or cancelled download does not stop the others.
    InitDownloadDASProcess(units[i], hWnd);
  }
  return units.size();
}

void DownloadAllUnits(HWND hWnd) {
  HWND hList = GetDlgItem(hWnd, IDC_DASLIST);
  LRESULT nCount = SendMessage(hList, LB_GETCOUNT, 0, 0);
  try {
    std::vector<DasRecord *> units;
    for (int i = 0; i < nCount; i++)
      if (DasRecord *pDas = ItemRecordOrReport(hList, i)) units.push_back(pDas);
    RunList run{hList, DasListShownAnew(), 0, {}};
    // Side by side only unattended: at the desktop the operator follows
    // (and may cancel) one unit at a time.
    std::size_t nDone =
        AutoRun && RunOptions.nJobs > 1
            ? DownloadUnitsSideBySide(units.data(), units.size(), RunOptions.nJobs, hWnd,
                                      RowRemoved, &run)
            : DownloadInTurn(hWnd, units, run);
    if (nDone < units.size()) NoteNotStarted(units, nDone);
  } catch (const std::bad_alloc &) {
    LogError("daslist", __LINE__, "%s", AllocFailed);
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
  // A stop that came while the window was being made found none to end.
  MainWindow.store(hWnd);
  if (DownloadsStopped()) PostMessage(hWnd, WM_COMMAND, CMD_RUN_STOPPED, 0);
}

}  // namespace

void StopMainWindow() {
  HWND hWnd = MainWindow.load();
  if (hWnd) PostMessage(hWnd, WM_COMMAND, CMD_RUN_STOPPED, 0);
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
      MainWindow.store(nullptr);
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
        case CMD_TAKE_IDENTITY:
          TakeReportedIdentity(lParam);
          return 0;
        case CMD_RUN_STOPPED:
          // The quit message ends every loop of this thread, the innermost
          // first: a progress dialog (its job is cancelled already), the
          // settings dialog, a box, then this window. The code around a
          // loop goes on as after its end: a Download All notes the units
          // it did not reach.
          PostQuitMessage(0);
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
