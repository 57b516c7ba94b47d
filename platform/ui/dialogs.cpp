// Modal dialogs built from templates, window classes, and the program's
// resources as handles.
#include <cstring>

#include "platform/ui/ui_int.h"
#include "resources/resources.h"

namespace uicore {

std::uintptr_t ChildById(std::uintptr_t hDlg, int nId) {
  std::lock_guard<std::mutex> lk(C().mx);
  std::shared_ptr<Wnd> d = Find(hDlg);
  if (!d) return 0;
  for (std::uintptr_t hc : d->children) {
    std::shared_ptr<Wnd> w = Find(hc);
    if (w && w->nId == nId) return hc;
  }
  return 0;
}

namespace {

int KindOf(const DlgItemTemplate &it) {
  if (std::strcmp(it.pszClass, "STATIC") == 0) return UI_STATIC;
  if (std::strcmp(it.pszClass, "EDIT") == 0) return UI_EDIT;
  if (std::strcmp(it.pszClass, "LISTBOX") == 0) return UI_LISTBOX;
  if ((it.dwStyle & BS_TYPEMASK) == BS_AUTOCHECKBOX) return UI_CHECKBOX;
  return UI_BUTTON;
}

std::shared_ptr<Wnd> NewWnd(Core &c) {
  auto w = std::make_shared<Wnd>();
  w->h = c.nNextHandle;
  c.nNextHandle += 4;
  w->nSerial = c.nNextSerial++;
  c.wnds[w->h] = w;
  return w;
}

// Builds a dialog and its controls from a template. Lock held.
std::shared_ptr<Wnd> CreateDialogWindow(const DlgTemplate *t, std::uintptr_t hOwner, DLGPROC pProc) {
  Core &c = C();
  std::shared_ptr<Wnd> d = NewWnd(c);
  d->nKind = UI_DIALOG;
  d->hOwner = hOwner;
  d->pTemplate = t;
  d->text = t->pszCaption ? t->pszCaption : "";
  auto cls = t->pszClass ? c.classes.find(t->pszClass) : c.classes.end();
  if (cls != c.classes.end()) d->pfnWnd = cls->second;
  else d->pfnDlg = pProc;
  for (int i = 0; i < t->nItems; i++) {
    const DlgItemTemplate &it = t->pItems[i];
    std::shared_ptr<Wnd> w = NewWnd(c);
    w->nKind = KindOf(it);
    w->nId = it.nId;
    w->hParent = d->h;
    w->pTemplate = t;
    w->pItem = &it;
    w->text = it.pszText ? it.pszText : "";
    w->bSorted = (it.dwStyle & LBS_SORT) != 0;
    d->children.push_back(w->h);
  }
  return d;
}

// Creates the dialog on the UI thread and disables its owner; null if the
// dialog cannot be run. *pbOwnerDisabled tells whether the owner must come
// back when it ends.
std::shared_ptr<Wnd> OpenModal(const DlgTemplate *t, HWND hOwner, DLGPROC pProc,
                               bool *pbOwnerDisabled) {
  Core &c = C();
  std::lock_guard<std::mutex> lk(c.mx);
  if (c.nLoopDepth == 0) c.uiThread = std::this_thread::get_id();
  else if (!OnUiThread()) return nullptr;  // windows belong to the one UI thread
  std::shared_ptr<Wnd> owner = Find(H(hOwner));
  std::shared_ptr<Wnd> d = CreateDialogWindow(t, owner ? owner->h : 0, pProc);
  if (!d->pfnWnd && !d->pfnDlg) {
    // No procedure at all: nothing could ever end the dialog.
    for (std::uintptr_t hc : d->children) c.wnds.erase(hc);
    c.wnds.erase(d->h);
    return nullptr;
  }
  if (owner && owner->bEnabled) {
    owner->bEnabled = false;
    *pbOwnerDisabled = true;
  }
  c.nLoopDepth++;
  return d;
}

// WM_INITDIALOG, then the dialog is shown unless it ended inside it.
void InitAndShow(const UiBackend *pBackend, Wnd &d, LPARAM lParam) {
  Core &c = C();
  Dispatch(d.h, WM_INITDIALOG, d.children.empty() ? 0 : static_cast<WPARAM>(d.children[0]), lParam);
  {
    std::lock_guard<std::mutex> lk(c.mx);
    if (d.bDestroyed || d.bEnded) return;
    d.bShown = true;
  }
  pBackend->pfnShowDialog(W(d.h));
  c.cvWindows.notify_all();
}

// The dialog's result; the owner comes back before the dialog goes, so that
// focus can return.
INT_PTR CloseModal(Wnd &d, bool bOwnerDisabled) {
  Core &c = C();
  INT_PTR nResult = 0;
  {
    std::lock_guard<std::mutex> lk(c.mx);
    nResult = d.bEnded ? d.nResult : 0;
    if (bOwnerDisabled) {
      std::shared_ptr<Wnd> owner = Find(d.hOwner);
      if (owner) owner->bEnabled = true;
    }
  }
  if (bOwnerDisabled) NotifyChanged(d.hOwner, UI_CHANGED_ENABLED);
  if (!d.bDestroyed) DestroyWindow(W(d.h));
  std::lock_guard<std::mutex> lk(c.mx);
  c.nLoopDepth--;
  if (c.nLoopDepth == 0) EndOuterLoop();
  return nResult;
}

char InstanceTag;

}  // namespace
}  // namespace uicore

using namespace uicore;

HINSTANCE PlatGetInstance() { return reinterpret_cast<HINSTANCE>(&InstanceTag); }

HICON LoadIcon(HINSTANCE, const char *pszName) {
  // The icon's handle is its resource record: there is one per name, and it
  // lives as long as the program.
  return reinterpret_cast<HICON>(const_cast<IconResource *>(FindIconResource(pszName)));
}

HCURSOR LoadCursor(HINSTANCE hInstance, const char *pszName) {
  // Only the system's arrow exists; the window system draws it by itself.
  static char ArrowTag;
  if (hInstance || pszName != IDC_ARROW) return nullptr;
  return reinterpret_cast<HCURSOR>(&ArrowTag);
}

unsigned short RegisterClassEx(const WNDCLASSEX *pClass) {
  if (!pClass || !pClass->lpszClassName || !pClass->lpfnWndProc) return 0;
  std::lock_guard<std::mutex> lk(C().mx);
  Core &c = C();
  // A class name can be registered once per run, as on the original platform.
  if (c.classes.count(pClass->lpszClassName)) return 0;
  c.classes[pClass->lpszClassName] = pClass->lpfnWndProc;
  return c.nNextAtom++;
}

INT_PTR DialogBoxParam(HINSTANCE, const char *pszTemplate, HWND hOwner, DLGPROC pProc,
                       LPARAM lParam) {
  const DlgTemplate *t = FindDialogTemplate(pszTemplate);
  if (!t) return -1;
  Core &c = C();
  const UiBackend *pBackend = Backend();
  bool bOwnerDisabled = false;
  std::shared_ptr<Wnd> d = OpenModal(t, hOwner, pProc, &bOwnerDisabled);
  if (!d) return -1;
  if (bOwnerDisabled) NotifyChanged(d->hOwner, UI_CHANGED_ENABLED);
  InitAndShow(pBackend, *d, lParam);
  // The modal loop, until the dialog ends, goes, or the quit message comes.
  for (;;) {
    {
      std::lock_guard<std::mutex> lk(c.mx);
      if (d->bDestroyed || d->bEnded || c.bQuit) break;
    }
    ServeOne(pBackend);
  }
  return CloseModal(*d, bOwnerDisabled);
}

BOOL EndDialog(HWND hDlg, INT_PTR nResult) {
  {
    std::lock_guard<std::mutex> lk(C().mx);
    std::shared_ptr<Wnd> d = Find(H(hDlg));
    if (!d || d->nKind != UI_DIALOG) return FALSE;
    if (!d->bEnded) {
      d->bEnded = true;
      d->nResult = nResult;
    }
  }
  Wake();
  return TRUE;
}

BOOL DestroyWindow(HWND hWnd) {
  std::shared_ptr<Wnd> d;
  {
    std::lock_guard<std::mutex> lk(C().mx);
    d = Find(H(hWnd));
    if (!d || d->bDestroyed || d->nKind != UI_DIALOG) return FALSE;
    if (!OnUiThread()) return FALSE;
    d->bDestroyed = true;  // no second destruction from inside WM_DESTROY
  }
  Backend()->pfnDestroyDialog(hWnd);
  // The window is still valid while it handles WM_DESTROY.
  Dispatch(d->h, WM_DESTROY, 0, 0);
  {
    std::lock_guard<std::mutex> lk(C().mx);
    std::vector<std::uintptr_t> gone = d->children;
    gone.push_back(d->h);
    for (std::uintptr_t g : gone) C().wnds.erase(g);
    FlushQueueFor(gone);
  }
  Wake();
  return TRUE;
}

int MessageBox(HWND hOwner, const char *pszText, const char *pszCaption, UINT uType) {
  return Backend()->pfnMessageBox(hOwner, pszText ? pszText : "", pszCaption ? pszCaption : "Error",
                                  uType);
}

HWND GetTopWindow(HWND hParent) {
  std::lock_guard<std::mutex> lk(C().mx);
  if (hParent) {
    std::shared_ptr<Wnd> p = Find(H(hParent));
    return p && !p->children.empty() ? W(p->children.front()) : nullptr;
  }
  std::shared_ptr<Wnd> best;
  for (auto &kv : C().wnds)
    if (kv.second->nKind == UI_DIALOG && !kv.second->bDestroyed &&
        (!best || kv.second->nSerial > best->nSerial))
      best = kv.second;
  return best ? W(best->h) : nullptr;
}
