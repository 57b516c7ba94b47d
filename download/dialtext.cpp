// The texts of the dial-up connection states, as the status line and the
// log show them: the service's own descriptions of each state.
#include "download/dialout.h"
#include "util/text.h"

void RasStateText(char *pszBuf, unsigned nCap, int nState) {
  static const char *const aLow[] = {
      "The communication port is about to be opened.",
      "The communication port has been opened successfully",
      "Calling, waiting for connection",
      "Call connected",
      "All devices in the device chain have successfully connected",
      "The authentication process is starting",
      "An authentication event has occurred.",
      "The client has requested another validation attempt with a new user "
      "name/password/domain",
      "The remote access server has requested a callback number. ",
      "The client has requested to change the password on the account",
      "The projection phase is starting",
      "The link-speed calculation phase is starting",
      "An authentication request is being acknowledged",
      "Reauthentication (after callback) is starting",
      "The client has successfully completed authentication",
      "The line is about to disconnect in preparation for callback",
      "The client is delaying in order to give the modem time to reset itself in "
      "preparation for callback.",
      "The client is waiting for an incoming call from the remote access server",
      "The projection result information is available",
      "Authentication is being initiated or retried",
      "Client has been called back and is about to resume authentication",
      "The client is logging on to the network",
      "Multilink phone book entry: a subentry has been connected during the dialing process",
      "Multilink phone book entry: a subentry has been disconnected during the dialing "
      "process",
  };
  static const char *const aPaused[] = {
      "RAS Paused, waiting for terminal",
      "This state corresponds to the retry authentication state supported by RASPHONE.EXE",
      "This state corresponds to the callback state supported by RASPHONE.EXE.",
      "This state corresponds to the change password state supported by RASPHONE.EXE",
  };
  const int nLow = (int)(sizeof aLow / sizeof aLow[0]);
  const int nPaused = (int)(sizeof aPaused / sizeof aPaused[0]);

  const char *pszText = nullptr;
  if (nState >= 0 && nState < nLow)
    pszText = aLow[nState];
  else if (nState >= RASCS_Interactive && nState < RASCS_Interactive + nPaused)
    pszText = aPaused[nState - RASCS_Interactive];
  else if (nState == RASCS_Connected)
    pszText = "Connection Successful";
  else if (nState == RASCS_Disconnected)
    pszText = "Disconnected";

  if (pszText)
    CopyString(pszBuf, pszText, nCap);
  else
    FormatString(pszBuf, nCap, "Unknown RAS Dialout state, got %d", nState);
}
