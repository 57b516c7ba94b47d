// Temporary: dial-up is not available yet. Removed when the dial-out lands.
#include "download/dialout.h"
#include "shell/errorlog.h"
int Dialout(DownloadJob *, HRASCONN *phConn) {
  *phConn = nullptr;
  LogError("dialout", __LINE__, "Dial-up is not available");
  return 0;
}
unsigned long RasHangUp(HRASCONN) { return 0; }
