// The dial-up calls of the program: the checks every service shares, then
// the service in use (platform/dialup_int.h). On Windows the system's
// header redirects RasDial and its companions to PlatRasDial and kin
// (platform/win32/platform.h), so these definitions are those names there,
// and the system's own calls stay reachable for its service.
#include "platform/dialup.h"
#include "platform/dialup_int.h"

std::atomic<const DialupService *> g_pDialupService{nullptr};

namespace {

const DialupService &Service() {
  const DialupService *p = g_pDialupService.load();
  return p ? *p : kSystemDialup;
}

}  // namespace

unsigned long RasDial(const void *pExtensions, const char *pszPhonebook,
                      const RASDIALPARAMS *pParams, DWORD dwNotifierType,
                      RasNotifyFn pfnNotifier, HRASCONN *phConn) {
  if (pExtensions || pszPhonebook || !pParams || dwNotifierType != 0 || !phConn ||
      pParams->dwSize != sizeof(RASDIALPARAMS))
    return ERROR_INVALID_PARAMETER;
  return Service().pfnDial(pParams, pfnNotifier, phConn);
}

unsigned long RasGetConnectStatus(HRASCONN hConn, RASCONNSTATUS *pStatus) {
  if (!pStatus || pStatus->dwSize != sizeof(RASCONNSTATUS)) return ERROR_INVALID_SIZE;
  return Service().pfnGetConnectStatus(hConn, pStatus);
}

unsigned long RasGetErrorString(unsigned long nCode, char *pszBuf, DWORD nCap) {
  return Service().pfnGetErrorString(nCode, pszBuf, nCap);
}

unsigned long RasHangUp(HRASCONN hConn) { return Service().pfnHangUp(hConn); }
