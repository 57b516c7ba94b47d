// The system's dial-up service on Windows: the Remote Access Service of
// rasapi32, dialling a number without a phone-book entry and reporting each
// change of state to the program's notifier on a thread of its own.
#include <cstring>

#include "platform/common/rastext.h"
#include "platform/dialup_int.h"

namespace {

unsigned long RasApiDial(const RASDIALPARAMS *pParams, RasNotifyFn pfnNotifier, HRASCONN *phConn) {
  // The service takes the parameters as writable; it does not change them.
  RASDIALPARAMSA params;
  std::memcpy(&params, pParams, sizeof params);
  // Notifier type 0 is a RASDIALFUNC; the state enumeration is passed as an
  // int-sized value, as the program's notifier reads it.
  return RasDialA(nullptr, nullptr, &params, 0, reinterpret_cast<LPVOID>(pfnNotifier), phConn);
}

unsigned long RasApiGetConnectStatus(HRASCONN hConn, RASCONNSTATUS *pStatus) {
  return RasGetConnectStatusA(hConn, pStatus);
}

unsigned long RasApiGetErrorString(unsigned long nCode, char *pszBuf, DWORD nCap) {
  if (!pszBuf || nCap == 0) return 0;
  // A service without a text for the code (Wine's has none) leaves it to
  // the program's own copy of the texts.
  if (RasGetErrorStringA(static_cast<UINT>(nCode), pszBuf, nCap) != 0 || !pszBuf[0])
    return RasErrorText(nCode, pszBuf, nCap);
  return 0;
}

unsigned long RasApiHangUp(HRASCONN hConn) { return RasHangUpA(hConn); }

}  // namespace

extern const DialupService kSystemDialup = {
    .pfnDial = RasApiDial,
    .pfnGetConnectStatus = RasApiGetConnectStatus,
    .pfnGetErrorString = RasApiGetErrorString,
    .pfnHangUp = RasApiHangUp,
};
