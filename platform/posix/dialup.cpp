// The system's dial-up service on this machine: there is none. Every dial
// fails at once with the code the service gives when no modem (or other
// connecting device) can be used, and no handle is ever handed out. The
// error texts are the service's own.
#include <cstdio>
#include <cstring>

#include "platform/dialup_int.h"

namespace {

void CopyCut(char *pszDest, const char *pszSrc, std::size_t nCap) {
  if (nCap == 0) return;
  std::size_t n = std::strlen(pszSrc);
  if (n >= nCap) n = nCap - 1;
  std::memcpy(pszDest, pszSrc, n);
  pszDest[n] = 0;
}

}  // namespace

unsigned long SysRasDial(const RASDIALPARAMS *, RasNotifyFn, HRASCONN *) {
  return ERROR_PORT_NOT_AVAILABLE;
}

unsigned long SysRasGetConnectStatus(HRASCONN, RASCONNSTATUS *) { return ERROR_INVALID_HANDLE; }

unsigned long SysRasHangUp(HRASCONN) { return ERROR_INVALID_HANDLE; }

unsigned long SysRasGetErrorString(unsigned long nCode, char *pszBuf, DWORD nCap) {
  static const struct {
    unsigned long nCode;
    const char *pszText;
  } aTexts[] = {
      {ERROR_INVALID_HANDLE, "The handle is invalid."},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
      {ERROR_REMOTE_DISCONNECTION, "The port was disconnected by the remote machine."},
      {ERROR_INVALID_SIZE, "The structure size is incorrect."},
      {ERROR_PORT_NOT_AVAILABLE,
       "The modem (or other connecting device) is already in use or is not configured "
       "properly."},
      {ERROR_LINE_BUSY, "The phone line is busy."},
      {ERROR_NO_ANSWER, "The remote computer did not respond."},
      {ERROR_NO_DIALTONE, "There is no dial tone."},
      {ERROR_AUTHENTICATION_FAILURE,
       "Access was denied because the username and/or password was invalid on the domain."},
  };
  if (!pszBuf || nCap == 0) return 0;
  for (const auto &t : aTexts) {
    if (t.nCode == nCode) {
      CopyCut(pszBuf, t.pszText, nCap);
      return 0;
    }
  }
  char szText[64];
  std::snprintf(szText, sizeof szText, "Remote access error %lu.", nCode);
  CopyCut(pszBuf, szText, nCap);
  return 0;
}
