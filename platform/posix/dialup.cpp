// The system's dial-up service on this machine: there is none. Every dial
// fails at once with the code the service gives when no modem (or other
// connecting device) can be used, and no handle is ever handed out.
#include "platform/dialup_int.h"

unsigned long SysRasDial(const RASDIALPARAMS *, RasNotifyFn, HRASCONN *) {
  return ERROR_PORT_NOT_AVAILABLE;
}

unsigned long SysRasGetConnectStatus(HRASCONN, RASCONNSTATUS *) { return ERROR_INVALID_HANDLE; }

unsigned long SysRasHangUp(HRASCONN) { return ERROR_INVALID_HANDLE; }

unsigned long SysRasGetErrorString(unsigned long nCode, char *pszBuf, DWORD nCap) {
  return RasErrorText(nCode, pszBuf, nCap);
}
