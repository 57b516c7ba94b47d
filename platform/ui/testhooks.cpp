// The window layer's test hooks: look-ups that let a test follow the UI
// thread from outside (the newest shown dialog of a template, waits for a
// dialog or an idle queue), the headless live line's sink, and the Win32
// calls that only tests make.
#include <chrono>
#include <cstring>

#include "platform/testhooks.h"
#include "platform/ui/ui_int.h"
#include "resources/resources.h"

using namespace uicore;

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

void HeadlessSetLiveLineSink(void (*pfnSink)(const char *pszBytes)) {
  std::lock_guard<std::mutex> lk(C().mx);
  g_pfnHeadlessSink = pfnSink;
}

// ---- The Win32 calls only tests make ----

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

LRESULT SendDlgItemMessage(HWND hDlg, int nId, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  return SendMessage(GetDlgItem(hDlg, nId), uMsg, wParam, lParam);
}

int GetWindowText(HWND hWnd, char *pszBuf, int nCap) { return TextOf(H(hWnd), pszBuf, nCap); }

BOOL UnregisterClass(const char *pszClassName, HINSTANCE) {
  if (!pszClassName) return FALSE;
  std::lock_guard<std::mutex> lk(C().mx);
  return C().classes.erase(pszClassName) ? TRUE : FALSE;
}
