// Basic handle and message types shared by the window, socket and dial-up
// layers. Handles are opaque numbers handed out by the layer; a handle value
// is never reused within a run, so a stale handle is always harmless.
#pragma once
#include <cstdint>

typedef struct HWND__ *HWND;            // window handle, 0 = none
typedef struct HINSTANCE__ *HINSTANCE;  // module instance (templates, icon)
typedef unsigned int UINT;
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

// Socket handle: a number from the socket layer, never reused within a run.
typedef std::intptr_t SOCKET;
#define INVALID_SOCKET ((SOCKET)-1)
#define SOCKET_ERROR (-1)
