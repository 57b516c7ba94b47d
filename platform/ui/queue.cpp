// The UI thread's message queue: sends and posts, the loop step every modal
// loop runs, and the quit message.
#include <algorithm>

#include "platform/ui/ui_int.h"

namespace uicore {

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

std::shared_ptr<Wnd> Find(std::uintptr_t h) {
  auto it = C().wnds.find(h);
  if (it == C().wnds.end()) return nullptr;
  return it->second;
}

void Wake() { Backend()->pfnWake(); }

void NotifyChanged(std::uintptr_t h, int nWhat) {
  if (h) Backend()->pfnChanged(W(h), nWhat);
}

namespace {

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

}  // namespace

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
// posted messages.
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

// The outermost modal loop has ended: the quit that ended it is used up, and
// anything still queued was for windows that are gone.
void EndOuterLoop() {
  Core &c = C();
  c.bQuit = false;
  for (QItem &q : c.queue)
    if (q.pWait) q.pWait->bDone = true;
  c.queue.clear();
  c.cvSent.notify_all();
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

}  // namespace uicore

using namespace uicore;

int PlatUiInit(int bDesktop) {
  Core &c = C();
  const UiBackend *pChosen = bDesktop ? UiDesktopBackend() : nullptr;
  std::lock_guard<std::mutex> lk(c.mx);
  c.uiThread = std::this_thread::get_id();
  c.pBackend = pChosen ? pChosen : HeadlessBackend();
  return pChosen ? 1 : 0;
}

void PostQuitMessage(int) {
  {
    std::lock_guard<std::mutex> lk(C().mx);
    C().bQuit = true;
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

void UiRunLoopUntil(int (*pfnDone)(void *pCtx), void *pCtx) {
  // The same service as a modal dialog's loop, ended by the backend's own
  // window rather than by a dialog.
  const UiBackend *pBackend = Backend();
  while (!pfnDone(pCtx)) ServeOne(pBackend);
}
