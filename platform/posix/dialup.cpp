// The system's dial-up service on this machine: there is none. Every dial
// fails at once with the code the service gives when no modem (or other
// connecting device) can be used, and no handle is ever handed out.
#include "platform/common/rastext.h"
#include "platform/dialup_int.h"

namespace {

unsigned long NoneDial(const RASDIALPARAMS *, RasNotifyFn, HRASCONN *) {
  return ERROR_PORT_NOT_AVAILABLE;
}

unsigned long NoneGetConnectStatus(HRASCONN, RASCONNSTATUS *) { return ERROR_INVALID_HANDLE; }

unsigned long NoneHangUp(HRASCONN) { return ERROR_INVALID_HANDLE; }

}  // namespace

extern const DialupService kSystemDialup = {
    .pfnDial = NoneDial,
    .pfnGetConnectStatus = NoneGetConnectStatus,
    .pfnGetErrorString = RasErrorText,
    .pfnHangUp = NoneHangUp,
};
