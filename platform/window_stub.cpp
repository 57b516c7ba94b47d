// Temporary stand-in for the window layer so that everything links while the
// real layer is written. Replaced by the headless and desktop backends.
#include <cstdio>
#include <cstring>
#include "platform/window.h"

int PlatUiInit(int) { return 0; }
int PlatHasDisplay() { return 0; }
HINSTANCE PlatGetInstance() { return nullptr; }
unsigned short RegisterClassEx(const WNDCLASSEX *) { return 1; }
INT_PTR DialogBoxParam(HINSTANCE, const char *, HWND, DLGPROC, LPARAM) { return -1; }
BOOL EndDialog(HWND, INT_PTR) { return FALSE; }
BOOL DestroyWindow(HWND) { return FALSE; }
void PostQuitMessage(int) {}
LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }
LRESULT SendMessage(HWND, UINT, WPARAM, LPARAM) { return 0; }
BOOL PostMessage(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
BOOL IsWindow(HWND) { return FALSE; }
HWND GetDlgItem(HWND, int) { return nullptr; }
LRESULT SendDlgItemMessage(HWND, int, UINT, WPARAM, LPARAM) { return 0; }
BOOL SetDlgItemText(HWND, int, const char *) { return FALSE; }
UINT GetDlgItemText(HWND, int, char *pszBuf, int nCap) {
  if (nCap > 0) pszBuf[0] = 0;
  return 0;
}
BOOL SetWindowText(HWND, const char *) { return FALSE; }
int GetWindowText(HWND, char *pszBuf, int nCap) {
  if (nCap > 0) pszBuf[0] = 0;
  return 0;
}
BOOL CheckDlgButton(HWND, int, UINT) { return FALSE; }
UINT IsDlgButtonChecked(HWND, int) { return 0; }
int MessageBox(HWND, const char *pszText, const char *pszCaption, UINT) {
  std::fprintf(stderr, "%s: %s\n", pszCaption, pszText);
  return IDOK;
}
HWND GetTopWindow(HWND) { return nullptr; }
HWND FindWindowByTemplate(const char *) { return nullptr; }
HWND WaitForWindow(const char *, int) { return nullptr; }
