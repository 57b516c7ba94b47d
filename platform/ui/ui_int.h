// The window layer's core as its own files see it: the window records, the
// UI thread's queue and the one lock that guards both. Nothing outside
// platform/ui/ includes this; backends see the core through backend.h.
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
#pragma once
#include <algorithm>
#include <condition_variable>
#include <cstdint>
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

namespace uicore {

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

// The UI thread is the one that called PlatUiInit, or else the one that
// opened the outermost dialog; windows belong to it alone.
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
  const UiBackend *pBackend = nullptr;
};

Core &C();
const UiBackend *Backend();  // the headless one until PlatUiInit chose

inline std::uintptr_t H(HWND h) { return reinterpret_cast<std::uintptr_t>(h); }
inline HWND W(std::uintptr_t h) { return reinterpret_cast<HWND>(h); }

// Lock held.
std::shared_ptr<Wnd> Find(std::uintptr_t h);
inline bool OnUiThread() { return std::this_thread::get_id() == C().uiThread; }

void Wake();
void NotifyChanged(std::uintptr_t h, int nWhat);

// queue.cpp: running messages on the UI thread.
LRESULT Dispatch(std::uintptr_t h, UINT uMsg, WPARAM wParam, LPARAM lParam);
bool PostInternal(std::uintptr_t h, UINT uMsg, WPARAM wParam, LPARAM lParam);
void ServeOne(const UiBackend *pBackend);
void FlushQueueFor(const std::vector<std::uintptr_t> &gone);  // lock held
void EndOuterLoop();                                          // lock held

// controls.cpp: the built-in controls' behaviour.
LRESULT BuiltinLocked(std::uintptr_t h, UINT uMsg, WPARAM wParam, LPARAM lParam);

// s into pszBuf, cut to nCap - 1 bytes and ended by a NUL; the bytes copied.
inline int CopyOut(const std::string &s, char *pszBuf, int nCap) {
  if (!pszBuf || nCap <= 0) return 0;
  int n = static_cast<int>(std::min<std::size_t>(s.size(), static_cast<std::size_t>(nCap - 1)));
  std::memcpy(pszBuf, s.data(), static_cast<std::size_t>(n));
  pszBuf[n] = 0;
  return n;
}

// The text of window h (GetWindowText): "" and 0 for a window that is gone.
inline int TextOf(std::uintptr_t h, char *pszBuf, int nCap) {
  std::lock_guard<std::mutex> lk(C().mx);
  std::shared_ptr<Wnd> w = Find(h);
  return CopyOut(w ? w->text : std::string(), pszBuf, nCap);
}

// dialogs.cpp
std::uintptr_t ChildById(std::uintptr_t hDlg, int nId);

}  // namespace uicore
