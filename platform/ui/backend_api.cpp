// What backends ask of the core (copies of window state) and what they feed
// in (the person's clicks, commands and typing).
#include "platform/ui/ui_int.h"

using namespace uicore;

int UiGetWindowInfo(HWND hWnd, UiWindowInfo *pInfo) {
  std::lock_guard<std::mutex> lk(C().mx);
  std::shared_ptr<Wnd> w = Find(H(hWnd));
  if (!w || !pInfo) return 0;
  pInfo->nKind = w->nKind;
  pInfo->nId = w->nId;
  pInfo->hParent = W(w->hParent);
  pInfo->hOwner = W(w->hOwner);
  pInfo->pTemplate = w->pTemplate;
  pInfo->pItem = w->pItem;
  pInfo->bEnabled = w->bEnabled ? 1 : 0;
  pInfo->nCheck = w->nCheck;
  pInfo->nSerial = w->nSerial;
  return 1;
}

std::string UiGetText(HWND hWnd) {
  std::lock_guard<std::mutex> lk(C().mx);
  std::shared_ptr<Wnd> w = Find(H(hWnd));
  return w ? w->text : std::string();
}

std::vector<HWND> UiGetChildren(HWND hDlg) {
  std::vector<HWND> out;
  std::lock_guard<std::mutex> lk(C().mx);
  std::shared_ptr<Wnd> d = Find(H(hDlg));
  if (d)
    for (std::uintptr_t h : d->children) out.push_back(W(h));
  return out;
}

int UiGetListState(HWND hList, std::vector<std::string> *pItems, int *pnSel,
                   std::vector<int> *pTabStops) {
  std::lock_guard<std::mutex> lk(C().mx);
  std::shared_ptr<Wnd> w = Find(H(hList));
  if (!w || w->nKind != UI_LISTBOX) return 0;
  if (pItems) {
    pItems->clear();
    for (const ListItem &it : w->items) pItems->push_back(it.text);
  }
  if (pnSel) *pnSel = w->nSel;
  if (pTabStops) *pTabStops = w->tabStops;
  return 1;
}

namespace {
// The dialog of a control, if it takes input now.
std::uintptr_t EnabledDialogOf(std::uintptr_t hCtl, Wnd *pOut) {
  std::lock_guard<std::mutex> lk(C().mx);
  std::shared_ptr<Wnd> w = Find(hCtl);
  if (!w) return 0;
  std::shared_ptr<Wnd> d = w->nKind == UI_DIALOG ? w : Find(w->hParent);
  if (!d || !d->bEnabled || d->bEnded) return 0;
  if (pOut) {
    pOut->nKind = w->nKind;
    pOut->nId = w->nId;
  }
  return d->h;
}
}  // namespace

void UiOperatorClick(HWND hCtl) {
  Wnd info;
  std::uintptr_t hDlg = EnabledDialogOf(H(hCtl), &info);
  if (!hDlg || info.nKind == UI_DIALOG) return;
  if (info.nKind == UI_CHECKBOX) {
    int nNow = static_cast<int>(BuiltinLocked(H(hCtl), BM_GETCHECK, 0, 0));
    BuiltinLocked(H(hCtl), BM_SETCHECK, nNow == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED, 0);
  }
  PostInternal(hDlg, WM_COMMAND, MAKEWPARAM(info.nId, BN_CLICKED), static_cast<LPARAM>(H(hCtl)));
}

void UiOperatorCommand(HWND hDlg, int nCommand) {
  std::uintptr_t h = EnabledDialogOf(H(hDlg), nullptr);
  if (h) PostInternal(h, WM_COMMAND, static_cast<WPARAM>(nCommand), 0);
}

void UiOperatorClose(HWND hDlg) {
  std::uintptr_t h = EnabledDialogOf(H(hDlg), nullptr);
  if (h) PostInternal(h, WM_CLOSE, 0, 0);
}

void UiOperatorSetText(HWND hEdit, const char *pszText) {
  if (EnabledDialogOf(H(hEdit), nullptr)) SetWindowText(hEdit, pszText);
}

void UiOperatorSelect(HWND hList, int nIndex) {
  if (EnabledDialogOf(H(hList), nullptr))
    BuiltinLocked(H(hList), LB_SETCURSEL, static_cast<WPARAM>(nIndex), 0);
}

