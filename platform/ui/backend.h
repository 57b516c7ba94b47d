// The window layer's backend interface.
//
// The portable core (platform/ui/, ui_int.h) owns everything the program sees:
// windows and their handles, the message queue of the UI thread, dialogs
// built from templates, control texts, check states and list boxes. A
// backend only presents that state to a person and feeds the person's
// actions back in. There are two:
//
//   headless (platform/ui/headless.cpp) - nothing is drawn; message
//       boxes go to standard error; a progress dialog may show as one live
//       line on a terminal;
//   desktop  (platform/fltk/, optional) - real windows. A build that has
//       it links in its registration (choose_fltk.cpp), which adds it to
//       the list of desktop backends; a build without one keeps the list
//       empty.
//
// Rules for a backend:
//   * The core never holds its own lock while it calls a backend function
//     (Wake() alone excepted), so a backend may call the query functions
//     below from any other hook. Wake() must therefore take no lock that the
//     backend holds while it calls into the core.
//   * A backend must not call a hook-triggering core function (SetWindowText,
//     SendMessage...) while it holds a lock of its own that its hooks take.
//   * Wait() blocks the UI thread until Wake() has been called at least once
//     since the previous Wait() returned (a wake is never lost), handling the
//     toolkit's own events meanwhile; it may also return early at any time.
//     Wake() may be called from any thread.
#pragma once
#include <atomic>
#include <string>
#include <vector>
#include "platform/types.h"

struct DlgTemplate;
struct DlgItemTemplate;

// What changed in a window, for UiBackend::pfnChanged.
enum {
  UI_CHANGED_TEXT = 1,
  UI_CHANGED_CHECK = 2,
  UI_CHANGED_LIST = 3,     // items, item texts or selection of a list box
  UI_CHANGED_ENABLED = 4,
};

struct UiBackend {
  const char *pszName;
  // A dialog has been created and its WM_INITDIALOG handled: show it (with
  // its controls). UI thread.
  void (*pfnShowDialog)(HWND hDlg);
  // A dialog is about to be destroyed (its handle is still valid). UI thread.
  void (*pfnDestroyDialog)(HWND hDlg);
  // Some state of a window changed. Any thread.
  void (*pfnChanged)(HWND hWnd, int nWhat);
  void (*pfnWait)();
  void (*pfnWake)();
  // Shows a message box and returns the button pressed. Any thread.
  int (*pfnMessageBox)(HWND hOwner, const char *pszText, const char *pszCaption, UINT uType);
};

// The headless backend (always present).
const UiBackend *HeadlessBackend();
// A desktop backend this build links in; pfnOpen gives null when it cannot
// open the display.
struct UiDesktopEntry {
  const char *pszName;
  const UiBackend *(*pfnOpen)();
};
// Adds a desktop backend to the list the window layer chooses from, best
// first. A backend's registration object calls it before main runs, so that
// the window layer names no backend: the build links them in or not.
void UiAddDesktopBackend(const UiDesktopEntry *pEntry);
// The first of them that opens when there is a display; null otherwise
// (platform/ui/choose.cpp).
const UiBackend *UiDesktopBackend();
// Where the headless backend writes its live progress line; null (as the
// program leaves it) writes to standard error when that is a terminal and
// drops the line otherwise. Tests set their own (HeadlessSetLiveLineSink).
extern std::atomic<void (*)(const char *)> g_pfnHeadlessSink;

// ---- Queries for backends (thread-safe; copies, never references) ----

enum UiKind { UI_DIALOG, UI_STATIC, UI_BUTTON, UI_CHECKBOX, UI_EDIT, UI_LISTBOX };

struct UiWindowInfo {
  int nKind;                       // UiKind
  int nId;                         // control id (0 for a dialog)
  HWND hParent;                    // dialog of a control; 0 for a dialog
  HWND hOwner;                     // owner of a dialog
  const DlgTemplate *pTemplate;    // template of a dialog, or of the control's dialog
  const DlgItemTemplate *pItem;    // template item of a control; null for a dialog
  int bEnabled;
  int nCheck;                      // BST_* of a check box or radio button
  unsigned long long nSerial;      // creation order: a newer window has a larger one
};

int UiGetWindowInfo(HWND hWnd, UiWindowInfo *pInfo);  // 0 if no such window
std::string UiGetText(HWND hWnd);
std::vector<HWND> UiGetChildren(HWND hDlg);           // in template order
// The list box's item texts, selection (-1 = none) and tab stops.
int UiGetListState(HWND hList, std::vector<std::string> *pItems, int *pnSel,
                   std::vector<int> *pTabStops);

// ---- What the person did (desktop backend; thread-safe) ----

// A push button or check box clicked: an automatic check box toggles, then
// the dialog gets WM_COMMAND (id, BN_CLICKED) posted. Ignored while the
// dialog is disabled.
void UiOperatorClick(HWND hCtl);
// A menu command chosen, or a key that gives a command (Enter = IDOK,
// Escape = IDCANCEL): WM_COMMAND (nCommand) posted to the dialog.
void UiOperatorCommand(HWND hDlg, int nCommand);
// The close box: WM_CLOSE posted to the dialog.
void UiOperatorClose(HWND hDlg);
// The person typed into an edit field / selected a list item.
void UiOperatorSetText(HWND hEdit, const char *pszText);
void UiOperatorSelect(HWND hList, int nIndex);

// ---- A backend's own modal loop ----

// Serves the UI thread's queue, as a modal dialog's loop does, until
// pfnDone(pCtx) returns non-zero; waits in the backend's Wait() meanwhile.
// For a window the backend runs modally by itself (a message box shown on
// the UI thread), so that sends from other threads are still answered while
// it is open. UI thread only.
void UiRunLoopUntil(int (*pfnDone)(void *pCtx), void *pCtx);
