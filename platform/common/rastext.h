// The dial-up service's own texts of the result codes the program meets, for
// a service that has none to give (this machine's, or a Windows service
// without the text). Shared by every system's dial-up service; calls nothing
// of theirs.
#pragma once
#include "platform/types.h"

// Other codes get "Remote access error N.". Cut to nCap; always 0.
unsigned long RasErrorText(unsigned long nCode, char *pszBuf, DWORD nCap);
