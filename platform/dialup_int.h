// Between the dial-up switch (platform/dialup.cpp) and the system's own
// service (platform/<system>/dialup.cpp): what the program's calls reach
// while no script is set.
#pragma once
#include "platform/types.h"

// The notifier as the program writes it: the state passed as its number.
typedef void (*RasNotifyFn)(unsigned int uMsg, int nState, unsigned long dwError);

unsigned long SysRasDial(const RASDIALPARAMS *pParams, RasNotifyFn pfnNotifier, HRASCONN *phConn);
unsigned long SysRasGetConnectStatus(HRASCONN hConn, RASCONNSTATUS *pStatus);
unsigned long SysRasGetErrorString(unsigned long nCode, char *pszBuf, DWORD nCap);
unsigned long SysRasHangUp(HRASCONN hConn);

// The service's own texts of the codes the program meets, for a service
// that has none to give; other codes get "Remote access error N.". Cut to
// nCap; always 0.
unsigned long RasErrorText(unsigned long nCode, char *pszBuf, DWORD nCap);
