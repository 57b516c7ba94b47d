// Inside the dial-up service: the table of calls one service implements, the
// system's own service, and the pointer the switch (platform/dialup.cpp)
// reads. The system's folder fills its table (platform/<system>/dialup.cpp:
// none on POSIX, the Remote Access Service on Windows); the tests put a
// scripted service of their own in its place. Not for use outside platform/
// and the test hooks.
#pragma once
#include <atomic>

#include "platform/types.h"

// The notifier as the program writes it: the state passed as its number.
typedef void (*RasNotifyFn)(unsigned int uMsg, int nState, unsigned long dwError);

// What RasDial and its companions reach once the switch has checked the
// caller's arguments (a dial's parameters have their size, a status record
// its size): the same results and codes as the calls themselves.
struct DialupService {
  unsigned long (*pfnDial)(const RASDIALPARAMS *pParams, RasNotifyFn pfnNotifier, HRASCONN *phConn);
  unsigned long (*pfnGetConnectStatus)(HRASCONN hConn, RASCONNSTATUS *pStatus);
  unsigned long (*pfnGetErrorString)(unsigned long nCode, char *pszBuf, DWORD nCap);
  unsigned long (*pfnHangUp)(HRASCONN hConn);
};

// The system's own service; each system's dialup.cpp defines it.
extern const DialupService kSystemDialup;
// The service in use; null means kSystemDialup. The program never sets it.
extern std::atomic<const DialupService *> g_pDialupService;
