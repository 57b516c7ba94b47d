// The portable core of the window layer: the handle table, the UI thread's
// message queue, modal dialogs built from templates, and the built-in
// controls (static text, push button, check box, edit field, list box).
//
// One mutex (Core.mx) guards every window's state and the queue. Procedures
// of the program are always called without it, on the UI thread, so that a
// procedure may do anything, including opening a nested modal dialog. The
// backend is likewise always called without the lock (see backend.h).
//
// Cross-thread sends: the sender queues the message with a SendWait record
// and sleeps on Core.cvSent until the UI thread has run the procedure inside
// whatever loop it is in, or until the window goes away (result 0). Built-in
// controls have no procedure of the program behind them, so a message for a
// control is answered at once under the lock, from any thread.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/backend.h"
#include "platform/window.h"
#include "resources/resources.h"

namespace {

struct ListItem {
  std::string text;
  LPARAM data;
};

struct Wnd {
  std::uintptr_t h = 0;
  int nKind = UI_DIALOG;
  int nId = 0;
  std::uintptr_t hParent = 0;   // dialog of a control
  std::uintptr_t hOwner = 0;    // owner of a dialog
  const DlgTemplate *pTemplate = nullptr;
  const DlgItemTemplate *pItem = nullptr;
  WNDPROC pfnWnd = nullptr;     // class procedure (window semantics)
  DLGPROC pfnDlg = nullptr;     // dialog procedure (TRUE/FALSE semantics)
  std::string text;
  int nCheck = BST_UNCHECKED;
  bool bEnabled = true;
  bool bRedraw = true;
  // List box.
  bool bSorted = false;
  std::vector<ListItem> items;
  int nSel = -1;
  int nCaret = 0;
  std::vector<int> tabStops;
  // Dialog.
  std::vector<std::uintptr_t> children;
  bool bShown = false;          // WM_INITDIALOG has returned
  bool bEnded = false;
  bool bDestroyed = false;
  INT_PTR nResult = 0;
  std::uint64_t nSerial = 0;    // creation order, for "newest" lookups
};

struct SendWait {
  LRESULT lResult = 0;
  bool bDone = false;
};

struct QItem {
  std::uintptr_t h;
  UINT uMsg;
  WPARAM wParam;
  LPARAM lParam;
  SendWait *pWait;  // null for a posted message
};

struct Core {
  std::mutex mx;
  std::condition_variable cvSent;     // a cross-thread send was answered
  std::condition_variable cvWindows;  // a dialog was shown, or the UI thread went idle
  std::map<std::uintptr_t, std::shared_ptr<Wnd>> wnds;
  std::deque<QItem> queue;
  std::map<std::string, WNDPROC> classes;
  std::uintptr_t nNextHandle = 0x10010;
  std::uint64_t nNextSerial = 1;
  unsigned short nNextAtom = 0xC000;
  std::thread::id uiThread;
  int nLoopDepth = 0;
  bool bIdle = false;  // the UI thread sleeps in a loop with nothing queued
  bool bQuit = false;
  int nQuitCode = 0;
  const UiBackend *pBackend = nullptr;
};

// Never destroyed: worker threads may still send to a window after main has
// returned, and must find the core alive (they get 0 back).
Core &C() {
  static Core *p = new Core;
  return *p;
}

const UiBackend *Backend() {
  Core &c = C();
  std::lock_guard<std::mutex> lk(c.mx);
  if (!c.pBackend) c.pBackend = HeadlessBackend();
  return c.pBackend;
}

std::uintptr_t H(HWND h) { return reinterpret_cast<std::uintptr_t>(h); }
HWND W(std::uintptr_t h) { return reinterpret_cast<HWND>(h); }

// Lock held.
std::shared_ptr<Wnd> Find(std::uintptr_t h) {
  auto it = C().wnds.find(h);
  if (it == C().wnds.end()) return nullptr;
  return it->second;
}

bool OnUiThread() { return std::this_thread::get_id() == C().uiThread; }

void Wake() { Backend()->pfnWake(); }

void NotifyChanged(std::uintptr_t h, int nWhat) {
  if (h) Backend()->pfnChanged(W(h), nWhat);
}

// Case-insensitive byte order, the order a sorted list box keeps.
int CompareNoCase(const std::string &a, const std::string &b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; i++) {
    int ca = std::tolower(static_cast<unsigned char>(a[i]));
    int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca - cb;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

int CopyOut(const std::string &s, char *pszBuf, int nCap) {
  if (!pszBuf || nCap <= 0) return 0;
  int n = static_cast<int>(std::min<std::size_t>(s.size(), static_cast<std::size_t>(nCap - 1)));
  std::memcpy(pszBuf, s.data(), static_cast<std::size_t>(n));
  pszBuf[n] = 0;
  return n;
}

// The behaviour of the built-in controls and the text of any window. Lock
// held; *pnChanged receives what changed (0 = nothing).
LRESULT BuiltinMessage(Wnd &w, UINT uMsg, WPARAM wParam, LPARAM lParam, int *pnChanged) {
  *pnChanged = 0;
  const int nCount = static_cast<int>(w.items.size());
  const int nIndex = static_cast<int>(static_cast<std::intptr_t>(wParam));
  switch (uMsg) {
    case WM_SETTEXT:
      w.text = lParam ? reinterpret_cast<const char *>(lParam) : "";
      *pnChanged = UI_CHANGED_TEXT;
      return TRUE;
    case WM_GETTEXT:
      return CopyOut(w.text, reinterpret_cast<char *>(lParam), static_cast<int>(wParam));
    case WM_SETREDRAW:
      w.bRedraw = wParam != 0;
      if (w.bRedraw && w.nKind == UI_LISTBOX) *pnChanged = UI_CHANGED_LIST;
      return 0;
    case BM_GETCHECK:
      return w.nCheck;
    case BM_SETCHECK:
      if (w.nKind != UI_CHECKBOX) return 0;
      w.nCheck = wParam == BST_CHECKED ? BST_CHECKED : BST_UNCHECKED;
      *pnChanged = UI_CHANGED_CHECK;
      return 0;
    default:
      break;
  }
  if (w.nKind != UI_LISTBOX) return 0;
  switch (uMsg) {
    case LB_ADDSTRING:
    case LB_INSERTSTRING: {
      std::string s = lParam ? reinterpret_cast<const char *>(lParam) : "";
      int nAt;
      if (uMsg == LB_INSERTSTRING) {
        nAt = nIndex == -1 ? nCount : nIndex;
        if (nAt < 0 || nAt > nCount) return LB_ERR;
      } else if (w.bSorted) {
        // After every item that sorts equal or lower, so that items of equal
        // text keep the order in which they came.
        auto it = std::upper_bound(w.items.begin(), w.items.end(), s,
                                   [](const std::string &a, const ListItem &b) {
                                     return CompareNoCase(a, b.text) < 0;
                                   });
        nAt = static_cast<int>(it - w.items.begin());
      } else {
        nAt = nCount;
      }
      w.items.insert(w.items.begin() + nAt, ListItem{s, 0});
      if (w.nSel >= nAt) w.nSel++;
      *pnChanged = UI_CHANGED_LIST;
      return nAt;
    }
    case LB_DELETESTRING:
      if (nIndex < 0 || nIndex >= nCount) return LB_ERR;
      w.items.erase(w.items.begin() + nIndex);
      if (w.nSel == nIndex) w.nSel = -1;
      else if (w.nSel > nIndex) w.nSel--;
      if (w.nCaret >= static_cast<int>(w.items.size())) w.nCaret = 0;
      *pnChanged = UI_CHANGED_LIST;
      return static_cast<LRESULT>(w.items.size());
    case LB_SETITEMDATA:
      if (nIndex < 0 || nIndex >= nCount) return LB_ERR;
      w.items[static_cast<std::size_t>(nIndex)].data = lParam;
      return TRUE;
    case LB_GETITEMDATA:
      if (nIndex < 0 || nIndex >= nCount) return LB_ERR;
      return w.items[static_cast<std::size_t>(nIndex)].data;
    case LB_GETCOUNT:
      return nCount;
    case LB_GETCURSEL:
      return w.nSel >= 0 ? w.nSel : LB_ERR;
    case LB_SETCURSEL:
      *pnChanged = UI_CHANGED_LIST;
      if (nIndex < 0 || nIndex >= nCount) {
        w.nSel = -1;
        return LB_ERR;
      }
      w.nSel = nIndex;
      w.nCaret = nIndex;
      return nIndex;
    case LB_SETCARETINDEX:
      if (nIndex < 0 || nIndex >= nCount) return LB_ERR;
      w.nCaret = nIndex;
      return 0;
    case LB_SETTABSTOPS: {
      w.tabStops.clear();
      const int *p = reinterpret_cast<const int *>(lParam);
      for (WPARAM i = 0; p && i < wParam; i++) w.tabStops.push_back(p[i]);
      *pnChanged = UI_CHANGED_LIST;
      return TRUE;
    }
    case LB_GETTEXT: {
      // The caller's buffer must hold LB_GETTEXTLEN + 1 bytes.
      if (nIndex < 0 || nIndex >= nCount || !lParam) return LB_ERR;
      const std::string &s = w.items[static_cast<std::size_t>(nIndex)].text;
      std::memcpy(reinterpret_cast<char *>(lParam), s.c_str(), s.size() + 1);
      return static_cast<LRESULT>(s.size());
    }
    case LB_GETTEXTLEN:
      if (nIndex < 0 || nIndex >= nCount) return LB_ERR;
      return static_cast<LRESULT>(w.items[static_cast<std::size_t>(nIndex)].text.size());
    default:
      return 0;
  }
}

LRESULT BuiltinLocked(std::uintptr_t h, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  int nChanged = 0;
  LRESULT r = 0;
  {
    std::lock_guard<std::mutex> lk(C().mx);
    std::shared_ptr<Wnd> w = Find(h);
    if (!w) return 0;
    r = BuiltinMessage(*w, uMsg, wParam, lParam, &nChanged);
  }
  if (nChanged) NotifyChanged(h, nChanged);
  return r;
}

// The default handling of a dialog procedure's unhandled messages.
LRESULT DefDialogMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_SETTEXT:
    case WM_GETTEXT:
      return BuiltinLocked(H(hWnd), uMsg, wParam, lParam);
    case WM_QUERYENDSESSION:
      return TRUE;
    default:
      return 0;
  }
}

// Runs a message on the UI thread.
LRESULT Dispatch(std::uintptr_t h, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  WNDPROC pfnWnd = nullptr;
  DLGPROC pfnDlg = nullptr;
  {
    std::lock_guard<std::mutex> lk(C().mx);
    std::shared_ptr<Wnd> w = Find(h);
    if (!w) return 0;
    pfnWnd = w->pfnWnd;
    pfnDlg = w->pfnDlg;
  }
  if (pfnWnd) return pfnWnd(W(h), uMsg, wParam, lParam);
  if (pfnDlg) {
    INT_PTR r = pfnDlg(W(h), uMsg, wParam, lParam);
    if (r) return r;
    return DefDialogMessage(W(h), uMsg, wParam, lParam);
  }
  return BuiltinLocked(h, uMsg, wParam, lParam);
}

// Answers every queued send for the given windows with 0 and drops their
// posted messages. Lock held.
void FlushQueueFor(const std::vector<std::uintptr_t> &gone) {
  Core &c = C();
  bool bAnswered = false;
  for (auto it = c.queue.begin(); it != c.queue.end();) {
    if (std::find(gone.begin(), gone.end(), it->h) != gone.end()) {
      if (it->pWait) {
        it->pWait->lResult = 0;
        it->pWait->bDone = true;
        bAnswered = true;
      }
      it = c.queue.erase(it);
    } else {
      ++it;
    }
  }
  if (bAnswered) c.cvSent.notify_all();
}

int KindOf(const DlgItemTemplate &it) {
  if (std::strcmp(it.pszClass, "STATIC") == 0) return UI_STATIC;
  if (std::strcmp(it.pszClass, "EDIT") == 0) return UI_EDIT;
  if (std::strcmp(it.pszClass, "LISTBOX") == 0) return UI_LISTBOX;
  if ((it.dwStyle & BS_TYPEMASK) == BS_AUTOCHECKBOX) return UI_CHECKBOX;
  return UI_BUTTON;
}

// Builds a dialog and its controls from a template. Lock held.
std::shared_ptr<Wnd> CreateDialogWindow(const DlgTemplate *t, std::uintptr_t hOwner, DLGPROC pProc) {
  Core &c = C();
  auto d = std::make_shared<Wnd>();
  d->h = c.nNextHandle;
  c.nNextHandle += 4;
  d->nSerial = c.nNextSerial++;
  d->nKind = UI_DIALOG;
  d->hOwner = hOwner;
  d->pTemplate = t;
  d->text = t->pszCaption ? t->pszCaption : "";
  auto cls = t->pszClass ? c.classes.find(t->pszClass) : c.classes.end();
  if (cls != c.classes.end()) d->pfnWnd = cls->second;
  else d->pfnDlg = pProc;
  c.wnds[d->h] = d;
  for (int i = 0; i < t->nItems; i++) {
    const DlgItemTemplate &it = t->pItems[i];
    auto w = std::make_shared<Wnd>();
    w->h = c.nNextHandle;
    c.nNextHandle += 4;
    w->nSerial = c.nNextSerial++;
    w->nKind = KindOf(it);
    w->nId = it.nId;
    w->hParent = d->h;
    w->pTemplate = t;
    w->pItem = &it;
    w->text = it.pszText ? it.pszText : "";
    w->bSorted = (it.dwStyle & LBS_SORT) != 0;
    c.wnds[w->h] = w;
    d->children.push_back(w->h);
  }
  return d;
}

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

bool PostInternal(std::uintptr_t h, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard<std::mutex> lk(C().mx);
    if (!Find(h)) return false;
    C().queue.push_back(QItem{h, uMsg, wParam, lParam, nullptr});
  }
  Wake();
  return true;
}

// One step of every loop of the UI thread: run the next queued message
// (sends from other threads first, then posted messages in order), or, with
// nothing queued, sleep in the backend until something arrives.
void ServeOne(const UiBackend *pBackend) {
  Core &c = C();
  QItem item{};
  {
    std::unique_lock<std::mutex> lk(c.mx);
    if (c.queue.empty()) {
      c.bIdle = true;
      c.cvWindows.notify_all();
      lk.unlock();
      pBackend->pfnWait();
      lk.lock();
      c.bIdle = false;
      return;
    }
    auto it = std::find_if(c.queue.begin(), c.queue.end(), [](const QItem &q) { return q.pWait; });
    if (it == c.queue.end()) it = c.queue.begin();
    item = *it;
    c.queue.erase(it);
  }
  LRESULT r = Dispatch(item.h, item.uMsg, item.wParam, item.lParam);
  if (item.pWait) {
    std::lock_guard<std::mutex> lk(c.mx);
    item.pWait->lResult = r;
    item.pWait->bDone = true;
    c.cvSent.notify_all();
  }
}

char InstanceTag;

}  // namespace

int PlatUiInit(int bDesktop) {
  Core &c = C();
  const UiBackend *pChosen = bDesktop ? UiDesktopBackend() : nullptr;
  std::lock_guard<std::mutex> lk(c.mx);
  c.uiThread = std::this_thread::get_id();
  c.pBackend = pChosen ? pChosen : HeadlessBackend();
  return pChosen ? 1 : 0;
}

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
  std::shared_ptr<Wnd> d;
  bool bOwnerDisabled = false;
  {
    std::lock_guard<std::mutex> lk(c.mx);
    if (c.nLoopDepth == 0) c.uiThread = std::this_thread::get_id();
    else if (!OnUiThread()) return -1;  // windows belong to the one UI thread
    std::shared_ptr<Wnd> owner = Find(H(hOwner));
    d = CreateDialogWindow(t, owner ? owner->h : 0, pProc);
    if (!d->pfnWnd && !d->pfnDlg) {
      // No procedure at all: nothing could ever end the dialog.
      for (std::uintptr_t hc : d->children) c.wnds.erase(hc);
      c.wnds.erase(d->h);
      return -1;
    }
    if (owner && owner->bEnabled) {
      owner->bEnabled = false;
      bOwnerDisabled = true;
    }
    c.nLoopDepth++;
  }
  const std::uintptr_t h = d->h;
  if (bOwnerDisabled) NotifyChanged(d->hOwner, UI_CHANGED_ENABLED);

  Dispatch(h, WM_INITDIALOG, d->children.empty() ? 0 : static_cast<WPARAM>(d->children[0]), lParam);
  bool bShow = false;
  {
    std::lock_guard<std::mutex> lk(c.mx);
    if (!d->bDestroyed && !d->bEnded) {
      d->bShown = true;
      bShow = true;
    }
  }
  if (bShow) {
    pBackend->pfnShowDialog(W(h));
    c.cvWindows.notify_all();
  }

  // The modal loop, until the dialog ends, goes, or the quit message comes.
  for (;;) {
    {
      std::lock_guard<std::mutex> lk(c.mx);
      if (d->bDestroyed || d->bEnded || c.bQuit) break;
    }
    ServeOne(pBackend);
  }

  INT_PTR nResult = 0;
  {
    std::lock_guard<std::mutex> lk(c.mx);
    nResult = d->bEnded ? d->nResult : 0;
    // The owner comes back before the dialog goes, so that focus can return.
    if (bOwnerDisabled) {
      std::shared_ptr<Wnd> owner = Find(d->hOwner);
      if (owner) owner->bEnabled = true;
    }
  }
  if (bOwnerDisabled) NotifyChanged(d->hOwner, UI_CHANGED_ENABLED);
  if (!d->bDestroyed) DestroyWindow(W(h));
  {
    std::lock_guard<std::mutex> lk(c.mx);
    c.nLoopDepth--;
    if (c.nLoopDepth == 0) {
      // The quit that ended the outermost run is used up; anything still
      // queued was for windows that are gone.
      c.bQuit = false;
      for (QItem &q : c.queue)
        if (q.pWait) q.pWait->bDone = true;
      c.queue.clear();
      c.cvSent.notify_all();
    }
  }
  return nResult;
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

void PostQuitMessage(int nCode) {
  {
    std::lock_guard<std::mutex> lk(C().mx);
    C().bQuit = true;
    C().nQuitCode = nCode;
  }
  Wake();
}

LRESULT DefWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_CLOSE:
      DestroyWindow(hWnd);
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_SETTEXT:
    case WM_GETTEXT:
      return BuiltinLocked(H(hWnd), uMsg, wParam, lParam);
    default:
      return 0;
  }
}

LRESULT SendMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  Core &c = C();
  const UiBackend *pBackend = Backend();
  const std::uintptr_t h = H(hWnd);
  bool bProc = false;
  {
    std::unique_lock<std::mutex> lk(c.mx);
    std::shared_ptr<Wnd> w = Find(h);
    if (!w) return 0;
    bProc = w->pfnWnd || w->pfnDlg;
    if (bProc && !OnUiThread()) {
      SendWait wait;
      c.queue.push_back(QItem{h, uMsg, wParam, lParam, &wait});
      // The backend's wake takes only its own lock, never the core's, so it
      // may be called with the core's lock held.
      pBackend->pfnWake();
      c.cvSent.wait(lk, [&] { return wait.bDone; });
      return wait.lResult;
    }
  }
  if (bProc) return Dispatch(h, uMsg, wParam, lParam);
  return BuiltinLocked(h, uMsg, wParam, lParam);
}

BOOL PostMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  return PostInternal(H(hWnd), uMsg, wParam, lParam) ? TRUE : FALSE;
}

BOOL IsWindow(HWND hWnd) {
  std::lock_guard<std::mutex> lk(C().mx);
  return Find(H(hWnd)) ? TRUE : FALSE;
}

BOOL EnableWindow(HWND hWnd, BOOL bEnable) {
  BOOL bWasDisabled;
  {
    std::lock_guard<std::mutex> lk(C().mx);
    std::shared_ptr<Wnd> w = Find(H(hWnd));
    if (!w) return FALSE;
    bWasDisabled = w->bEnabled ? FALSE : TRUE;
    w->bEnabled = bEnable != 0;
  }
  NotifyChanged(H(hWnd), UI_CHANGED_ENABLED);
  return bWasDisabled;
}

BOOL IsWindowEnabled(HWND hWnd) {
  std::lock_guard<std::mutex> lk(C().mx);
  std::shared_ptr<Wnd> w = Find(H(hWnd));
  return w && w->bEnabled ? TRUE : FALSE;
}

HWND GetDlgItem(HWND hDlg, int nId) { return W(ChildById(H(hDlg), nId)); }

LRESULT SendDlgItemMessage(HWND hDlg, int nId, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  return SendMessage(GetDlgItem(hDlg, nId), uMsg, wParam, lParam);
}

BOOL SetWindowText(HWND hWnd, const char *pszText) {
  {
    std::lock_guard<std::mutex> lk(C().mx);
    std::shared_ptr<Wnd> w = Find(H(hWnd));
    if (!w) return FALSE;
    w->text = pszText ? pszText : "";
  }
  NotifyChanged(H(hWnd), UI_CHANGED_TEXT);
  return TRUE;
}

int GetWindowText(HWND hWnd, char *pszBuf, int nCap) {
  std::lock_guard<std::mutex> lk(C().mx);
  std::shared_ptr<Wnd> w = Find(H(hWnd));
  if (!w) {
    CopyOut("", pszBuf, nCap);
    return 0;
  }
  return CopyOut(w->text, pszBuf, nCap);
}

BOOL SetDlgItemText(HWND hDlg, int nId, const char *pszText) {
  std::uintptr_t h = ChildById(H(hDlg), nId);
  return h ? SetWindowText(W(h), pszText) : FALSE;
}

UINT GetDlgItemText(HWND hDlg, int nId, char *pszBuf, int nCap) {
  return static_cast<UINT>(GetWindowText(W(ChildById(H(hDlg), nId)), pszBuf, nCap));
}

BOOL CheckDlgButton(HWND hDlg, int nId, UINT uCheck) {
  std::uintptr_t h = ChildById(H(hDlg), nId);
  if (!h) return FALSE;
  BuiltinLocked(h, BM_SETCHECK, uCheck, 0);
  return TRUE;
}

UINT IsDlgButtonChecked(HWND hDlg, int nId) {
  std::uintptr_t h = ChildById(H(hDlg), nId);
  return h ? static_cast<UINT>(BuiltinLocked(h, BM_GETCHECK, 0, 0)) : 0;
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

HWND FindWindowByTemplate(const char *pszTemplate) {
  if (!pszTemplate) return nullptr;
  std::lock_guard<std::mutex> lk(C().mx);
  std::shared_ptr<Wnd> best;
  for (auto &kv : C().wnds) {
    const Wnd &w = *kv.second;
    if (w.nKind == UI_DIALOG && w.bShown && !w.bDestroyed && !w.bEnded &&
        std::strcmp(w.pTemplate->pszName, pszTemplate) == 0 && (!best || w.nSerial > best->nSerial))
      best = kv.second;
  }
  return best ? W(best->h) : nullptr;
}

HWND WaitForWindow(const char *pszTemplate, int nTimeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  for (;;) {
    HWND h = FindWindowByTemplate(pszTemplate);
    if (h) return h;
    std::unique_lock<std::mutex> lk(C().mx);
    // Short slices: a window shown between the look-up and this wait must
    // not cost the whole timeout.
    auto next = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20));
    C().cvWindows.wait_until(lk, next);
    if (std::chrono::steady_clock::now() >= deadline) {
      lk.unlock();
      return FindWindowByTemplate(pszTemplate);
    }
  }
}

int WaitForIdle(int nTimeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  std::unique_lock<std::mutex> lk(C().mx);
  return C().cvWindows.wait_until(lk, deadline, [] { return C().bIdle && C().queue.empty(); }) ? 1 : 0;
}

// ---- Backend queries and operator input ----

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

void UiRunLoopUntil(int (*pfnDone)(void *pCtx), void *pCtx) {
  // The same service as a modal dialog's loop, ended by the backend's own
  // window rather than by a dialog.
  const UiBackend *pBackend = Backend();
  while (!pfnDone(pCtx)) ServeOne(pBackend);
}
