// The Win32 API the program is written against: on Windows, the system's
// own headers. The program uses the ANSI forms of the calls (UNICODE is not
// defined) and the Winsock 2 socket types.
//
// Four groups of calls are routed to this layer instead of going straight to
// the system, each for a reason the system cannot see:
//   * DialogBoxParam and LoadIcon: the dialog templates and the icon live in
//     the program's tables (resources/), not in a resource section, so the
//     layer builds the in-memory template or icon and hands it to the
//     system's dialog manager (platform/win32/window.cpp);
//   * RasDial and its companions: the layer's switch (platform/dialup.cpp)
//     checks the arguments and passes each call to the service in use, the
//     system's (platform/win32/dialup.cpp) unless a test has put its
//     scripted one in its place.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <windows.h>
#include <ras.h>
#include <raserror.h>

INT_PTR Win32DialogBoxParam(HINSTANCE hInst, const char *pszTemplate, HWND hOwner, DLGPROC pProc,
                            LPARAM lParam);
HICON Win32LoadIcon(HINSTANCE hInstance, const char *pszName);
// A message box raised by a worker thread over a window of the UI thread
// leaves that window enabled (the system's box would disable it, and the
// progress dialog's Cancel with it, until the box is answered), and is
// answered when its owner dialog ends.
int Win32MessageBox(HWND hOwner, const char *pszText, const char *pszCaption, UINT uType);
#undef MessageBox
#define MessageBox Win32MessageBox
#undef DialogBoxParam
#define DialogBoxParam Win32DialogBoxParam
#undef LoadIcon
#define LoadIcon Win32LoadIcon

// The notifier as the program writes it (type 0: message, state, error);
// the state arrives as its number.
unsigned long PlatRasDial(const void *pExtensions, const char *pszPhonebook,
                          const RASDIALPARAMSA *pParams, DWORD dwNotifierType,
                          void (*pfnNotifier)(unsigned int, int, unsigned long), HRASCONN *phConn);
unsigned long PlatRasGetConnectStatus(HRASCONN hConn, RASCONNSTATUSA *pStatus);
unsigned long PlatRasGetErrorString(unsigned long nCode, char *pszBuf, DWORD nCap);
unsigned long PlatRasHangUp(HRASCONN hConn);
#undef RasDial
#define RasDial PlatRasDial
#undef RasGetConnectStatus
#define RasGetConnectStatus PlatRasGetConnectStatus
#undef RasGetErrorString
#define RasGetErrorString PlatRasGetErrorString
#undef RasHangUp
#define RasHangUp PlatRasHangUp
