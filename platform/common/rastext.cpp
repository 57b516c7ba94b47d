// The dial-up service's texts of its result codes, as the service words them.
#include "platform/common/rastext.h"

#include <cstdio>
#include <cstring>

namespace {

void CopyCut(char *pszDest, const char *pszSrc, std::size_t nCap) {
  std::size_t n = std::strlen(pszSrc);
  if (n >= nCap) n = nCap - 1;
  std::memcpy(pszDest, pszSrc, n);
  pszDest[n] = 0;
}

}  // namespace

unsigned long RasErrorText(unsigned long nCode, char *pszBuf, DWORD nCap) {
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
