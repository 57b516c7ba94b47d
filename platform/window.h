// The window layer: windows with procedures, dialogs built from the templates
// in resources/, list boxes, message boxes, synchronous and posted messages.
//
// Threads: windows belong to the one user-interface thread (the thread that
// called PlatUiInit). SendMessage from any other thread queues the message
// for that thread and blocks until the procedure has returned; every loop of
// the UI thread (main window, modal dialog, message box) serves that queue.
// A message sent to a window that no longer exists returns 0 at once.
// Handle values are never reused within a run.
//
// Control texts and check states may be read and set from any thread.
#pragma once
#include "platform/types.h"

// Messages.
enum : UINT {
  WM_DESTROY = 0x0002,
  WM_SETREDRAW = 0x000B,
  WM_SETTEXT = 0x000C,
  WM_GETTEXT = 0x000D,
  WM_CLOSE = 0x0010,
  WM_QUERYENDSESSION = 0x0011,
  WM_QUIT = 0x0012,
  WM_INITDIALOG = 0x0110,
  WM_COMMAND = 0x0111,
  LB_ADDSTRING = 0x0180,
  LB_INSERTSTRING = 0x0181,
  LB_DELETESTRING = 0x0182,
  LB_SETCURSEL = 0x0186,
  LB_GETCURSEL = 0x0188,
  LB_GETTEXT = 0x0189,
  LB_GETTEXTLEN = 0x018A,
  LB_GETCOUNT = 0x018B,
  LB_SETTABSTOPS = 0x0192,
  LB_GETITEMDATA = 0x0199,
  LB_SETITEMDATA = 0x019A,
  LB_SETCARETINDEX = 0x019E,
  BM_GETCHECK = 0x00F0,
  BM_SETCHECK = 0x00F1,
};

#define LB_ERR (-1)
#define BST_UNCHECKED 0
#define BST_CHECKED 1
#define IDOK 1
#define IDCANCEL 2

// Message box styles.
#define MB_OK 0x0000
#define MB_ICONHAND 0x0010
#define MB_TASKMODAL 0x2000

#define BN_CLICKED 0
#define MAKEWPARAM(lo, hi) ((WPARAM)(((std::uintptr_t)(hi) & 0xffff) << 16 | ((std::uintptr_t)(lo) & 0xffff)))
#define LOWORD(w) ((unsigned short)((std::uintptr_t)(w) & 0xffff))
#define HIWORD(w) ((unsigned short)(((std::uintptr_t)(w) >> 16) & 0xffff))

// Class registration for the main window (a dialog template naming a class
// gets that class's procedure).
struct WNDCLASSEX {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  const char *lpszIconName;  // icon resource name, or null
  const char *lpszCursor;    // null = arrow
  int hbrBackground;         // system colour index + 1
  const char *lpszMenuName;
  const char *lpszClassName;
};
#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002
#define DLGWINDOWEXTRA 30
#define COLOR_MENU 4

// Starts the window layer on the calling thread, which becomes the UI
// thread. bDesktop: 1 = use the desktop backend if a display can be opened.
// Returns 1 when the desktop backend is in use, 0 for the headless backend.
int PlatUiInit(int bDesktop);
// 1 when a display is available for the desktop backend.
int PlatHasDisplay();
HINSTANCE PlatGetInstance();

unsigned short RegisterClassEx(const WNDCLASSEX *pClass);
INT_PTR DialogBoxParam(HINSTANCE hInst, const char *pszTemplate, HWND hOwner,
                       DLGPROC pProc, LPARAM lParam);
BOOL EndDialog(HWND hDlg, INT_PTR nResult);
BOOL DestroyWindow(HWND hWnd);
void PostQuitMessage(int nCode);
LRESULT DefWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
LRESULT SendMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
BOOL PostMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
BOOL IsWindow(HWND hWnd);
// A disabled window takes no operator input (a modal dialog disables its
// owner); messages still reach it. EnableWindow returns the previous
// disabled state (non-zero: it was disabled).
BOOL EnableWindow(HWND hWnd, BOOL bEnable);
BOOL IsWindowEnabled(HWND hWnd);

HWND GetDlgItem(HWND hDlg, int nId);
LRESULT SendDlgItemMessage(HWND hDlg, int nId, UINT uMsg, WPARAM wParam, LPARAM lParam);
BOOL SetDlgItemText(HWND hDlg, int nId, const char *pszText);
UINT GetDlgItemText(HWND hDlg, int nId, char *pszBuf, int nCap);
BOOL SetWindowText(HWND hWnd, const char *pszText);
int GetWindowText(HWND hWnd, char *pszBuf, int nCap);
BOOL CheckDlgButton(HWND hDlg, int nId, UINT uCheck);
UINT IsDlgButtonChecked(HWND hDlg, int nId);

int MessageBox(HWND hOwner, const char *pszText, const char *pszCaption, UINT uType);
HWND GetTopWindow(HWND hParent);

// For tests and drivers: the newest window made from a template that still
// exists (0 if none), and a wait for one to appear (0 after the timeout).
HWND FindWindowByTemplate(const char *pszTemplate);
HWND WaitForWindow(const char *pszTemplate, int nTimeoutMs);
// For tests: waits until the UI thread has handled everything queued for it
// (sent and posted) and sleeps in one of its loops. Because a sent message
// overtakes posted ones, a send cannot tell that a posted command is done;
// this can. 1 when idle, 0 after the timeout.
int WaitForIdle(int nTimeoutMs);
