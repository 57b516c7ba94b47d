// The part of the Win32 API that the program uses, declared for systems
// that do not have it. The program is written against these names; on
// Windows platform/win32/platform.h gives the real <windows.h>, <winsock2.h>
// and <ras.h> in their place, so every declaration here keeps the real
// name, value and layout. The window and dial-up functions are implemented
// by this layer (platform/ui/, platform/dialup.cpp).
//
// Handles are opaque numbers handed out by the layer; a handle value is
// never reused within a run, so a stale handle is always harmless.
#pragma once
#include <cstdint>

// ---- Basic types ----

typedef struct HWND__ *HWND;            // window handle, 0 = none
typedef struct HINSTANCE__ *HINSTANCE;  // module instance (templates, icon)
typedef struct HICON__ *HICON;
typedef struct HICON__ *HCURSOR;
typedef struct HBRUSH__ *HBRUSH;
typedef unsigned int UINT;
typedef std::uint32_t DWORD;
typedef std::uintptr_t WPARAM;
typedef std::intptr_t LPARAM;
typedef std::intptr_t LRESULT;
typedef std::intptr_t INT_PTR;
typedef int BOOL;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

typedef LRESULT (*WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR (*DLGPROC)(HWND, UINT, WPARAM, LPARAM);

#define MAKEINTRESOURCE(i) ((char *)(std::uintptr_t)(unsigned short)(i))
#define MAKEWPARAM(lo, hi) ((WPARAM)(((std::uintptr_t)(hi) & 0xffff) << 16 | ((std::uintptr_t)(lo) & 0xffff)))
#define LOWORD(w) ((unsigned short)((std::uintptr_t)(w) & 0xffff))
#define HIWORD(w) ((unsigned short)(((std::uintptr_t)(w) >> 16) & 0xffff))

// Error codes shared by several services.
#define ERROR_INVALID_HANDLE 6L
#define ERROR_INVALID_PARAMETER 87L

// ---- Sockets ----

// Socket handle: a number from the socket layer, never reused within a run.
typedef std::intptr_t SOCKET;
#define INVALID_SOCKET ((SOCKET)-1)
#define SOCKET_ERROR (-1)

// ---- Windows and dialogs ----

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

// Window and control styles, as a resource script writes them.
#define WS_OVERLAPPED 0x00000000UL
#define WS_POPUP 0x80000000UL
#define WS_CHILD 0x40000000UL
#define WS_VISIBLE 0x10000000UL
#define WS_CAPTION 0x00C00000UL
#define WS_BORDER 0x00800000UL
#define WS_VSCROLL 0x00200000UL
#define WS_SYSMENU 0x00080000UL
#define WS_THICKFRAME 0x00040000UL
#define WS_TABSTOP 0x00010000UL
#define DS_MODALFRAME 0x80UL
#define DS_SETFONT 0x40UL
#define SS_LEFT 0x00000000UL
#define BS_PUSHBUTTON 0x00000000UL
#define BS_DEFPUSHBUTTON 0x00000001UL
#define BS_AUTOCHECKBOX 0x00000003UL
#define BS_TYPEMASK 0x0000000FUL
#define ES_LEFT 0x0000UL
#define ES_PASSWORD 0x0020UL
#define ES_AUTOHSCROLL 0x0080UL
#define LBS_NOTIFY 0x0001UL
#define LBS_SORT 0x0002UL
#define LBS_USETABSTOPS 0x0080UL
#define LBS_HASSTRINGS 0x0040UL

// Class registration for the main window (a dialog template naming a class
// gets that class's procedure).
struct WNDCLASSEX {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;     // a brush, or a system colour index + 1
  const char *lpszMenuName;
  const char *lpszClassName;
  HICON hIconSm;
};
#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002
#define DLGWINDOWEXTRA 30
#define COLOR_MENU 4
#define IDC_ARROW MAKEINTRESOURCE(32512)

// The icon resource of that name (0 if the module has none); the standard
// cursor (hInstance 0 and IDC_ARROW).
HICON LoadIcon(HINSTANCE hInstance, const char *pszName);
HCURSOR LoadCursor(HINSTANCE hInstance, const char *pszName);
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
// disabled state (non-zero: it was disabled). The program itself never
// calls EnableWindow, IsWindowEnabled, SendDlgItemMessage, GetWindowText or
// UnregisterClass: they are in the test hooks (platform/ui/testhooks.cpp),
// so that a test drives the layer through the calls it would have on
// Windows. UnregisterClass forgets a class so that it can be registered
// anew.
BOOL EnableWindow(HWND hWnd, BOOL bEnable);
BOOL IsWindowEnabled(HWND hWnd);
BOOL UnregisterClass(const char *pszClassName, HINSTANCE hInstance);

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

// ---- Remote access (dial-up) ----

typedef struct HRASCONN__ *HRASCONN;  // connection handle, 0 = none

// Connection states as the service reports them.
enum tagRASCONNSTATE : int {
  RASCS_OpenPort = 0,
  RASCS_PortOpened = 1,
  RASCS_ConnectDevice = 2,
  RASCS_DeviceConnected = 3,
  RASCS_AllDevicesConnected = 4,
  RASCS_Authenticate = 5,
  RASCS_AuthNotify = 6,
  RASCS_AuthRetry = 7,
  RASCS_AuthCallback = 8,
  RASCS_AuthChangePassword = 9,
  RASCS_AuthProject = 10,
  RASCS_AuthLinkSpeed = 11,
  RASCS_AuthAck = 12,
  RASCS_ReAuthenticate = 13,
  RASCS_Authenticated = 14,
  RASCS_PrepareForCallback = 15,
  RASCS_WaitForModemReset = 16,
  RASCS_WaitForCallback = 17,
  RASCS_Projected = 18,
  RASCS_StartAuthentication = 19,
  RASCS_CallbackComplete = 20,
  RASCS_LogonNetwork = 21,
  RASCS_SubEntryConnected = 22,
  RASCS_SubEntryDisconnected = 23,
  RASCS_Interactive = 0x1000,
  RASCS_RetryAuthentication = 0x1001,
  RASCS_CallbackSetByCaller = 0x1002,
  RASCS_PasswordExpired = 0x1003,
  RASCS_Connected = 0x2000,
  RASCS_Disconnected = 0x2001,
};
typedef enum tagRASCONNSTATE RASCONNSTATE;

// Result codes of the service (0 = success), with the service's numbers.
#define RASBASE 600
#define ERROR_REMOTE_DISCONNECTION (RASBASE + 29)
#define ERROR_INVALID_SIZE (RASBASE + 32)
#define ERROR_PORT_NOT_AVAILABLE (RASBASE + 33)   // no usable modem or other device
#define ERROR_LINE_BUSY (RASBASE + 76)
#define ERROR_NO_ANSWER (RASBASE + 78)
#define ERROR_NO_DIALTONE (RASBASE + 80)
#define ERROR_AUTHENTICATION_FAILURE (RASBASE + 91)

// Dial parameters: the 1052-byte form (no sub-entry, no callback id).
struct RASDIALPARAMS {
  DWORD dwSize;                 // 1052
  char szEntryName[257];        // empty: no phone-book entry, dial the number below
  char szPhoneNumber[129];
  char szCallbackNumber[129];
  char szUserName[257];
  char szPassword[257];
  char szDomain[16];
};
static_assert(sizeof(RASDIALPARAMS) == 1052, "dial parameters keep their size");

struct RASCONNSTATUS {
  DWORD dwSize;                 // 160
  RASCONNSTATE rasconnstate;
  DWORD dwError;
  char szDeviceType[17];
  char szDeviceName[129];
};
static_assert(sizeof(RASCONNSTATUS) == 160, "status record keeps its size");

// Notifier type 0: (message, connection state, error code). The state is
// passed as its number.
typedef void (*RASDIALFUNC)(unsigned int uMsg, int nState, unsigned long dwError);
#define WM_RASDIALEVENT 0xCCCD

// Starts a dial. pExtensions and pszPhonebook must be null (not supported),
// dwNotifierType must be 0. On 0 the dial runs on and *phConn holds its
// handle; on a non-zero code *phConn may still have been set, and the caller
// must hang it up.
unsigned long RasDial(const void *pExtensions, const char *pszPhonebook,
                      const RASDIALPARAMS *pParams, DWORD dwNotifierType,
                      RASDIALFUNC pfnNotifier, HRASCONN *phConn);
// Fills rasconnstate and dwError (pStatus->dwSize must be 160). Non-zero for
// a handle that is unknown or has been hung up.
unsigned long RasGetConnectStatus(HRASCONN hConn, RASCONNSTATUS *pStatus);
// Text of a result code, cut to nCap. Always 0.
unsigned long RasGetErrorString(unsigned long nCode, char *pszBuf, DWORD nCap);
// Hangs up a connection (no wait for the line to be released). Non-zero for
// a handle that is unknown or already hung up.
unsigned long RasHangUp(HRASCONN hConn);
