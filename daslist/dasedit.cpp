// The settings dialog of one unit: IP address, password, phone number and
// whether the unit deletes its log after a download. The serial number and
// the name are not edited here; they come from the list file or the unit.
#include <cstring>

#include "daslist/daslist.h"
#include "log/appstate.h"
#include "log/errorlog.h"
#include "platform/window.h"
#include "resources/ids.h"

DasRecord *EditedRecord = nullptr;

int EditDasSettings(HWND hOwner, DasRecord *pDas) {
  INT_PTR nResult = DialogBoxParam(InstanceHandle, "DLG_DASEDIT", hOwner, DasEditDialogProc,
                                   reinterpret_cast<LPARAM>(pDas));
  EditedRecord = nullptr;
  return static_cast<int>(nResult);
}

INT_PTR DasEditDialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_INITDIALOG:
      EditedRecord = reinterpret_cast<DasRecord *>(lParam);
      if (EditedRecord) {
        SetDlgItemText(hDlg, IDC_EDITIP, EditedRecord->ipaddress);
        SetDlgItemText(hDlg, IDC_EDITPHONE, EditedRecord->phone);
        SetDlgItemText(hDlg, IDC_EDITPASSWORD, EditedRecord->password);
        CheckDlgButton(hDlg, IDC_EDITDELETELOG, EditedRecord->deletelog ? BST_CHECKED : BST_UNCHECKED);
      }
      return TRUE;
    case WM_COMMAND:
      // Compared whole: only a click of the buttons themselves counts. The
      // commands of Enter and Escape (1 and 2) are not taken, so neither key
      // ends the dialog by accident.
      if (wParam == IDC_EDITOK) {
        if (!EditedRecord) {
          LogError("dasedit", __LINE__, "Error getting data handle pointer from dialog");
        } else {
          GetDlgItemText(hDlg, IDC_EDITIP, EditedRecord->ipaddress, sizeof EditedRecord->ipaddress);
          GetDlgItemText(hDlg, IDC_EDITPHONE, EditedRecord->phone, sizeof EditedRecord->phone);
          GetDlgItemText(hDlg, IDC_EDITPASSWORD, EditedRecord->password, sizeof EditedRecord->password);
          EditedRecord->deletelog = IsDlgButtonChecked(hDlg, IDC_EDITDELETELOG) == BST_CHECKED ? 1 : 0;
        }
        EndDialog(hDlg, 1);
        return TRUE;
      }
      if (wParam == IDC_EDITCANCEL) {
        EndDialog(hDlg, 0);
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      EndDialog(hDlg, 0);
      return TRUE;
    default:
      return FALSE;
  }
}
