// The window layer on Windows is the system's own: its dialog manager, list
// box, message boxes, modal loops and cross-thread SendMessage. What this
// file adds is the bridge from the program's resource tables (resources/)
// to the dialog manager, the template names its dialogs carry, and the
// layer's start-up.
//
// DialogBoxParam: the named template is written out as an in-memory
// DLGTEMPLATE (the dialog, then each control, DWORD-aligned, texts in
// UTF-16) and run with DialogBoxIndirectParam. A menu or an icon cannot be
// named in an in-memory template without a resource section, so they are
// made from the tables too and put on the dialog as it receives
// WM_INITDIALOG (a WH_CALLWNDPROC hook of the UI thread, in place only while
// the dialog is being made); the window then grows by the menu bar so that
// the client area keeps the template's size, as with a menu resource.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/win32/window_int.h"
#include "platform/window.h"
#include "resources/resources.h"

namespace {

// ---- In-memory dialog templates ----

struct TemplateWriter {
  std::vector<WORD> words;

  void Word(WORD w) { words.push_back(w); }
  void Dword(DWORD d) {
    Word(LOWORD(d));
    Word(HIWORD(d));
  }
  void AlignDword() {
    if (words.size() % 2) Word(0);
  }
  // A text as UTF-16 (the tables hold ASCII and UTF-8).
  void Text(const char *psz) {
    if (psz && *psz) {
      int n = ::MultiByteToWideChar(CP_UTF8, 0, psz, -1, nullptr, 0);
      std::vector<wchar_t> w(static_cast<std::size_t>(n > 0 ? n : 1));
      if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, psz, -1, w.data(), n);
      for (int i = 0; i + 1 < n; i++) Word(static_cast<WORD>(w[static_cast<std::size_t>(i)]));
    }
    Word(0);
  }
};

// bClass: the template's window class is registered, so the dialog is made
// of that class and the class's procedure gets its messages. Otherwise it
// is a plain dialog run by the procedure given, as the layer has it on
// every system.
std::vector<WORD> BuildTemplate(const DlgTemplate &t, bool bClass) {
  TemplateWriter w;
  DWORD dwStyle = static_cast<DWORD>(t.dwStyle);
  if (t.pszFont) dwStyle |= DS_SETFONT;
  else dwStyle &= ~static_cast<DWORD>(DS_SETFONT);
  w.Dword(dwStyle);
  w.Dword(0);  // extended style
  w.Word(static_cast<WORD>(t.nItems));
  w.Word(static_cast<WORD>(t.x));
  w.Word(static_cast<WORD>(t.y));
  w.Word(static_cast<WORD>(t.cx));
  w.Word(static_cast<WORD>(t.cy));
  w.Word(0);  // menu: put on at WM_INITDIALOG
  if (t.pszClass && bClass) w.Text(t.pszClass);
  else w.Word(0);
  w.Text(t.pszCaption);
  if (t.pszFont) {
    w.Word(static_cast<WORD>(t.nPointSize));
    w.Text(t.pszFont);
  }
  for (int i = 0; i < t.nItems; i++) {
    const DlgItemTemplate &it = t.pItems[i];
    w.AlignDword();
    w.Dword(static_cast<DWORD>(it.dwStyle));
    w.Dword(0);
    w.Word(static_cast<WORD>(it.x));
    w.Word(static_cast<WORD>(it.y));
    w.Word(static_cast<WORD>(it.cx));
    w.Word(static_cast<WORD>(it.cy));
    w.Word(static_cast<WORD>(it.nId));
    w.Text(it.pszClass);
    w.Text(it.pszText);
    w.Word(0);  // no creation data
  }
  w.AlignDword();
  return w.words;
}

HMENU BuildMenu(const MenuTemplate &m) {
  HMENU hBar = ::CreateMenu();
  HMENU hPopup = nullptr;
  const char *pszPopup = nullptr;
  for (int i = 0; i < m.nItems; i++) {
    const MenuItemTemplate &it = m.pItems[i];
    if (!pszPopup || std::strcmp(pszPopup, it.pszPopup) != 0) {
      hPopup = ::CreatePopupMenu();
      ::AppendMenuA(hBar, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(hPopup), it.pszPopup);
      pszPopup = it.pszPopup;
    }
    ::AppendMenuA(hPopup, MF_STRING, static_cast<UINT_PTR>(it.nCommand), it.pszText);
  }
  return hBar;
}

// ---- The layer's own state ----

struct Layer {
  std::mutex mx;
  std::map<HWND, HWND> workerBoxes;  // open box of a worker thread -> its owner
};

// Never destroyed: workers may look windows up after main has returned.
Layer &L() {
  static Layer *p = new Layer;
  return *p;
}

// The dialog being made on this thread: what its WM_INITDIALOG puts on it.
struct Pending {
  const DlgTemplate *pTemplate = nullptr;
  HINSTANCE hInst = nullptr;
  HHOOK hHook = nullptr;
  HWND hDlg = nullptr;  // the dialog once made
};
thread_local Pending tlsPending;

void Finish(HWND hDlg) {
  Pending &p = tlsPending;
  const DlgTemplate *t = p.pTemplate;
  if (!t) return;
  p.pTemplate = nullptr;
  p.hDlg = hDlg;
  if (t->pszMenu) {
    if (const MenuTemplate *m = FindMenuTemplate(t->pszMenu)) {
      RECT rc;
      ::GetClientRect(hDlg, &rc);
      ::SetMenu(hDlg, BuildMenu(*m));
      LONG_PTR style = ::GetWindowLongPtrA(hDlg, GWL_STYLE);
      LONG_PTR exStyle = ::GetWindowLongPtrA(hDlg, GWL_EXSTYLE);
      ::AdjustWindowRectEx(&rc, static_cast<DWORD>(style), TRUE, static_cast<DWORD>(exStyle));
      ::SetWindowPos(hDlg, nullptr, 0, 0, rc.right - rc.left, rc.bottom - rc.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
  // The program's icon on every one of its windows (title bar, task bar).
  if (HICON hIcon = Win32LoadIcon(p.hInst, "ICON_MAIN")) {
    ::SendMessageA(hDlg, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hIcon));
    ::SendMessageA(hDlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(hIcon));
  }
  // The dialog says which template it was made from, and how late, as
  // two window properties: the system keeps them with the window and drops
  // them with it, where a table of our own would have to forget handles the
  // system hands out again. Integer atoms, made once, so that no string
  // atom is counted up for each window.
  static const ATOM aTemplate = ::GlobalAddAtomA(kPropTemplate);
  static const ATOM aSerial = ::GlobalAddAtomA(kPropSerial);
  static std::atomic<std::uintptr_t> nNextSerial{1};
  ::SetPropA(hDlg, MAKEINTATOM(aTemplate), const_cast<char *>(t->pszName));
  ::SetPropA(hDlg, MAKEINTATOM(aSerial), reinterpret_cast<HANDLE>(nNextSerial++));
}

LRESULT CALLBACK CallWndHook(int nCode, WPARAM wParam, LPARAM lParam) {
  HHOOK hHook = tlsPending.hHook;
  if (nCode == HC_ACTION) {
    const CWPSTRUCT *p = reinterpret_cast<const CWPSTRUCT *>(lParam);
    // The dialog itself, not a child dialog of a control; an owned dialog's
    // GetParent is its owner, so ask the style.
    if (p->message == WM_INITDIALOG && tlsPending.pTemplate &&
        !(::GetWindowLongPtrA(p->hwnd, GWL_STYLE) & WS_CHILD)) {
      // Hooks of nested dialogs may stack; this one has done its work.
      ::UnhookWindowsHookEx(hHook);
      tlsPending.hHook = nullptr;
      Finish(p->hwnd);
    }
  }
  return ::CallNextHookEx(hHook, nCode, wParam, lParam);
}

// The worker's box being made on this thread, and its owner.
struct BoxPending {
  HWND hOwner = nullptr;
  HHOOK hHook = nullptr;
};
thread_local BoxPending tlsBox;

LRESULT CALLBACK BoxCbtHook(int nCode, WPARAM wParam, LPARAM lParam) {
  HHOOK hHook = tlsBox.hHook;
  if (nCode == HCBT_ACTIVATE && tlsBox.hOwner) {
    // The box exists now and has disabled its owner: the owner takes input
    // again, so that the operator may cancel instead of answering.
    HWND hBox = reinterpret_cast<HWND>(wParam);
    ::EnableWindow(tlsBox.hOwner, TRUE);
    {
      Layer &l = L();
      std::lock_guard<std::mutex> lk(l.mx);
      l.workerBoxes[hBox] = tlsBox.hOwner;
    }
    tlsBox.hOwner = nullptr;
  }
  return ::CallNextHookEx(hHook, nCode, wParam, lParam);
}

// Answers the workers' boxes over a dialog that has ended: the cancel was
// the operator's answer, and the worker, asleep in its box, can wind down.
void AnswerWorkerBoxesOf(HWND hDlg) {
  if (!hDlg) return;
  Layer &l = L();
  std::lock_guard<std::mutex> lk(l.mx);
  for (auto &kv : l.workerBoxes)
    if (kv.second == hDlg) ::PostMessageA(kv.first, WM_COMMAND, IDOK, 0);
}

}  // namespace

int Win32MessageBox(HWND hOwner, const char *pszText, const char *pszCaption, UINT uType) {
  if (!hOwner || ::GetWindowThreadProcessId(hOwner, nullptr) == ::GetCurrentThreadId())
    return ::MessageBoxA(hOwner, pszText, pszCaption, uType);
  BoxPending saved = tlsBox;
  tlsBox.hOwner = hOwner;
  tlsBox.hHook = ::SetWindowsHookExA(WH_CBT, BoxCbtHook, nullptr, ::GetCurrentThreadId());
  int r = ::MessageBoxA(hOwner, pszText, pszCaption, uType);
  if (tlsBox.hHook) ::UnhookWindowsHookEx(tlsBox.hHook);
  tlsBox = saved;
  Layer &l = L();
  std::lock_guard<std::mutex> lk(l.mx);
  for (auto it = l.workerBoxes.begin(); it != l.workerBoxes.end();)
    it = ::IsWindow(it->first) ? std::next(it) : l.workerBoxes.erase(it);
  return r;
}

INT_PTR Win32DialogBoxParam(HINSTANCE hInst, const char *pszTemplate, HWND hOwner, DLGPROC pProc,
                            LPARAM lParam) {
  const DlgTemplate *t = FindDialogTemplate(pszTemplate);
  if (!t) return ::DialogBoxParamA(hInst, pszTemplate, hOwner, pProc, lParam);
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  bool bClass = t->pszClass && ::GetClassInfoExA(hInst, t->pszClass, &wc);
  std::vector<WORD> words = BuildTemplate(*t, bClass);
  Pending saved = tlsPending;
  tlsPending.pTemplate = t;
  tlsPending.hInst = hInst;
  tlsPending.hHook = ::SetWindowsHookExA(WH_CALLWNDPROC, CallWndHook, nullptr, ::GetCurrentThreadId());
  tlsPending.hDlg = nullptr;
  INT_PTR r = ::DialogBoxIndirectParamA(hInst, reinterpret_cast<LPCDLGTEMPLATEA>(words.data()), hOwner,
                                        pProc, lParam);
  if (tlsPending.hHook) ::UnhookWindowsHookEx(tlsPending.hHook);  // never initialised
  const HWND hDlg = tlsPending.hDlg;
  tlsPending = saved;
  AnswerWorkerBoxesOf(hDlg);
  return r;
}

HICON Win32LoadIcon(HINSTANCE hInstance, const char *pszName) {
  const IconResource *pIcon = IS_INTRESOURCE(pszName) ? nullptr : FindIconResource(pszName);
  if (!pIcon) return ::LoadIconA(hInstance, pszName);
  // Made once and kept: LoadIcon's icons are shared and never destroyed.
  static std::mutex mx;
  static std::map<const IconResource *, HICON> made;
  std::lock_guard<std::mutex> lk(mx);
  auto it = made.find(pIcon);
  if (it != made.end()) return it->second;
  // An icon image may be a whole PNG file.
  HICON h = ::CreateIconFromResourceEx(const_cast<PBYTE>(pIcon->pPng), static_cast<DWORD>(pIcon->nPngSize),
                                       TRUE, 0x00030000, 0, 0, LR_DEFAULTCOLOR);
  made[pIcon] = h;
  return h;
}

int PlatUiInit(int) {
  return 1;  // Windows always has its desktop
}

HINSTANCE PlatGetInstance() { return ::GetModuleHandleA(nullptr); }
