// Units side by side: the unattended run's Download All with --jobs above 1.
// Each unit still has its own job and worker and goes through exactly the
// sequence it goes through alone; what changes is only that the next unit
// starts when a worker is done rather than when the one before has ended.
// One dialog stands for the night: it starts the jobs, shows the unit that
// refreshed last, and ends when the last worker has said it is done.
#include <cstdio>

#include "download/download.h"
#include "log/appstate.h"
#include "log/errorlog.h"
#include "log/summary.h"
#include "platform/system.h"
#include "platform/window.h"
#include "util/text.h"

namespace {

// The night's state; used on the user-interface thread only.
struct Fleet {
  DasRecord *const *ppUnits;
  std::size_t nUnits;
  std::size_t nNext;   // the next unit to start (or pass over)
  std::size_t nEnded;  // workers done
  int nJobs;
  int nRunning;        // workers started and not yet done
  int nDialing;        // of them, units reached by the dial-up line
  int bClosed;         // the operator closed the dialog: no further unit
  int (*pfnSkip)(void *pCtx, const DasRecord *pDas);
  void *pCtx;
};

// The dialog of the night under way (there is one at a time).
Fleet *CurrentFleet = nullptr;

// A unit that could not be started counts as failed: the night did not
// download it.
void NoteNotRun(const DasRecord *pDas, long lOrder, const char *pszReason) {
  SummaryNoteUnit(pDas->serialnumber, pDas->name, UNIT_FAILED, pszReason, 0, 0, lOrder);
}

// Starts the unit's job and worker; 1 when the worker runs.
int StartUnit(HWND hDlg, DasRecord *pDas, long lOrder) {
  DownloadJob *pJob = AllocDownloadJob(pDas, hDlg);
  if (!pJob) {
    LogError("download", __LINE__, "Out of memory for the download of %s", pDas->serialnumber);
    NoteNotRun(pDas, lOrder, "out of memory");
    return 0;
  }
  pJob->lListOrder = lOrder;
  pJob->hThread = PlatBeginThread(DownloadThread, pJob);
  if (!pJob->hThread) {
    LogError("download", __LINE__, "Unable to start the download thread for %s",
             pDas->serialnumber);
    FreeDownloadJob(pJob);
    NoteNotRun(pDas, lOrder, "its download thread could not be started");
    return 0;
  }
  return 1;
}

// Starts units in list order while there is room. A unit reached by
// telephone waits for the line, and the units after it wait with it: the
// units start in the order of the list.
void StartMore(HWND hDlg, Fleet &fleet) {
  while (fleet.nRunning < fleet.nJobs && fleet.nNext < fleet.nUnits && !fleet.bClosed &&
         !DownloadsStopped()) {
    DasRecord *pDas = fleet.ppUnits[fleet.nNext];
    if (fleet.pfnSkip && fleet.pfnSkip(fleet.pCtx, pDas)) {
      fleet.nNext++;
      continue;
    }
    int bDials = UnitDialsOut(pDas);
    if (bDials && fleet.nDialing) break;
    fleet.nNext++;
    if (!StartUnit(hDlg, pDas, static_cast<long>(fleet.nNext))) continue;
    fleet.nRunning++;
    if (bDials) fleet.nDialing++;
  }
  if (fleet.nRunning == 0) EndDialog(hDlg, 0);
}

void ShowProgress(HWND hDlg, const Fleet &fleet, const DownloadJob *pJob) {
  char szText[96];
  if (pJob && pJob->pDas) {
    FormatString(szText, sizeof szText, "%s, %s", pJob->pDas->serialnumber, pJob->pDas->name);
    SetDlgItemText(hDlg, IDC_DLSERIAL, szText);
    SetDlgItemText(hDlg, IDC_DLFILE, pJob->szFilename);
  }
  FormatString(szText, sizeof szText, "%lu of %lu units done, %d at work",
               static_cast<unsigned long>(fleet.nEnded), static_cast<unsigned long>(fleet.nUnits),
               fleet.nRunning);
  SetDlgItemText(hDlg, IDC_DLBYTES, szText);
}

// The operator closes the night's dialog: the units at work are cancelled
// as a cancel of each of them would, and no further unit starts.
void CancelOne(void *pCtx, DownloadJob *pJob) {
  if (pJob->hDlg == static_cast<HWND>(pCtx)) CancelJob(pJob);
}

INT_PTR FleetDialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  Fleet *pFleet = CurrentFleet;
  if (!pFleet) return FALSE;
  switch (uMsg) {
    case WM_INITDIALOG:
      StartMore(hDlg, *pFleet);
      ShowProgress(hDlg, *pFleet, nullptr);
      return TRUE;
    case WM_COMMAND:
      if (wParam == CMD_PROGRESS_REFRESH) {
        // Sent by the worker, which waits: its job is there to read.
        ShowProgress(hDlg, *pFleet, reinterpret_cast<const DownloadJob *>(lParam));
        return TRUE;
      }
      if (wParam == CMD_JOB_ENDED) {
        // Sent by the worker as its last word: its job is there to read.
        const DownloadJob *pJob = reinterpret_cast<const DownloadJob *>(lParam);
        pFleet->nRunning--;
        pFleet->nEnded++;
        if (pJob && pJob->pDas && UnitDialsOut(pJob->pDas)) pFleet->nDialing--;
        StartMore(hDlg, *pFleet);
        ShowProgress(hDlg, *pFleet, nullptr);
        return TRUE;
      }
      if (wParam == IDC_DLCANCEL) {
        SendMessage(hDlg, WM_CLOSE, 0, 0);
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      // A job's own close (its end, a stop, its time limit) ends only that
      // job; the night goes on until its worker says it is done.
      if (lParam == kCloseForJob) return TRUE;
      if (!pFleet->bClosed) {
        pFleet->bClosed = 1;
        LogInfo("download", __LINE__, "Download of the remaining units cancelled");
        ForEachLiveJob(CancelOne, hDlg);
      }
      if (pFleet->nRunning == 0) EndDialog(hDlg, 0);
      return TRUE;
    case WM_QUERYENDSESSION:
      SendMessage(hDlg, WM_CLOSE, 0, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

std::size_t DownloadUnitsSideBySide(DasRecord *const *ppUnits, std::size_t nUnits, int nJobs,
                                    HWND hOwner, int (*pfnSkip)(void *pCtx, const DasRecord *pDas),
                                    void *pCtx) {
  if (nUnits == 0) return 0;
  Fleet fleet{ppUnits, nUnits, 0, 0, nJobs > 0 ? nJobs : 1, 0, 0, 0, pfnSkip, pCtx};
  LogInfo("download", __LINE__, "Downloading %lu units, up to %d at once",
          static_cast<unsigned long>(nUnits), fleet.nJobs);
  DownloadOwner.store(hOwner);
  Fleet *pOuter = CurrentFleet;
  CurrentFleet = &fleet;
  if (DialogBoxParam(InstanceHandle, "DLG_DOWNLOAD", hOwner, FleetDialogProc, 0) == -1)
    LogError("download", __LINE__, "Unable to create the download dialog, no unit downloaded");
  CurrentFleet = pOuter;
  // The dialog's loop may end before the workers do (the quit message of a
  // stop): those workers note their units themselves; the end of the run
  // waits for them.
  return fleet.nNext;
}
