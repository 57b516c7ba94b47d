// The progress dialog: the only way into a download. It creates the job,
// starts the worker, redraws on the worker's refresh and cancels the job
// when the operator closes it.
#include <cstdio>

#include "download/download.h"
#include "log/appstate.h"
#include "log/errorlog.h"
#include "platform/system.h"
#include "platform/window.h"
#include "util/text.h"

std::atomic<HWND> DownloadOwner{nullptr};
DasRecord *DownloadRecord = nullptr;
DownloadJob *CurrentJob = nullptr;

int InitDownloadDASProcess(DasRecord *pDas, HWND hOwner) {
  if (!pDas) {
    LogError("download", __LINE__, "InitDownloadDASProcess received NULL pointer, skipping download");
    return 0;
  }
  DownloadOwner.store(hOwner);
  DownloadRecord = pDas;
  DialogBoxParam(InstanceHandle, "DLG_DOWNLOAD", hOwner, DownloadDialogProc, (LPARAM)pDas);
  DownloadRecord = nullptr;
  return 0;
}

namespace {

void InitDialog(HWND hDlg) {
  DownloadJob *pJob = AllocDownloadJob(DownloadRecord, hDlg);
  CurrentJob = pJob;
  if (!pJob) return;  // no worker: the dialog waits to be closed
  // The run was stopped just now: the job starts cancelled, its worker does
  // nothing, and the dialog closes as on a cancel.
  if (pJob->cState.load() == JOB_CANCELLED) PostMessage(hDlg, WM_CLOSE, 0, 0);
  pJob->hThread = PlatBeginThread(DownloadThread, pJob);
  if (!pJob->hThread) {
    // Nobody would ever free the job or close the dialog.
    LogError("download", __LINE__, "Unable to start the download thread for %s",
             pJob->pDas ? pJob->pDas->serialnumber : "");
    CurrentJob = nullptr;
    FreeDownloadJob(pJob);
    EndDialog(hDlg, 0);
  }
}

void Refresh(HWND hDlg) {
  DownloadJob *pJob = CurrentJob;
  if (!pJob) return;
  char szText[64];
  if (pJob->pDas) {
    FormatString(szText, sizeof szText, "%s, %s", pJob->pDas->serialnumber, pJob->pDas->name);
    SetDlgItemText(hDlg, IDC_DLSERIAL, szText);
  }
  SetDlgItemText(hDlg, IDC_DLFILE, pJob->szFilename);
  if (pJob->ulBytes > 0) {
    FormatString(szText, sizeof szText, "Downloaded %lu bytes", (unsigned long)pJob->ulBytes);
    SetDlgItemText(hDlg, IDC_DLBYTES, szText);
  }
}

void Close(HWND hDlg) {
  DownloadJob *pJob = CurrentJob;
  if (pJob) CancelJob(pJob);
  EndDialog(hDlg, 0);
}

}  // namespace

INT_PTR DownloadDialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (uMsg) {
    case WM_INITDIALOG:
      InitDialog(hDlg);
      return TRUE;
    case WM_COMMAND:
      // Compared whole: a notification code in the high word is another
      // command.
      if (wParam == CMD_PROGRESS_REFRESH) {
        Refresh(hDlg);
        return TRUE;
      }
      if (wParam == IDC_DLCANCEL) {
        SendMessage(hDlg, WM_CLOSE, 0, 0);
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      Close(hDlg);
      return TRUE;
    case WM_QUERYENDSESSION:
      SendMessage(hDlg, WM_CLOSE, 0, 0);
      return TRUE;
    default:
      return FALSE;
  }
}
