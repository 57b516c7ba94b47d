// For tests only (built into tandrel_testhooks, which the program never
// links): a scripted dial-up service that plays a given sequence of
// connection states with given delays and errors, in place of the system's
// own, and counts what the program asked of it.
#pragma once
#include "platform/dialup.h"

// One step of a scripted dial: after nDelayMs the connection enters nState
// with dwError and the notifier is told. A step with a non-zero error ends
// the script (the service stops dialling after an error), as does
// RASCS_Connected.
struct RasScriptStep {
  int nState;
  unsigned long dwError;
  unsigned int nDelayMs;
};

// Every following dial plays these steps. dwStartError non-zero makes RasDial
// itself fail with that code after handing out a handle (as the service may).
void RasUseScript(const RasScriptStep *pSteps, int nSteps, unsigned long dwStartError = 0);
// Back to the system's service (every call passes on to it), still counted.
void RasUseDefault();
// RasHangUp calls, and those of them that found a live connection, since the
// last RasUseScript/RasUseDefault.
int RasHangUpCalls();
int RasHangUpsDone();
// Dials started since the last RasUseScript/RasUseDefault, and the
// parameters of the latest one.
int RasDialCalls();
void RasLastDialParams(RASDIALPARAMS *pParams);
// The most scripted connections that were alive (dialled, not yet hung up)
// at one time since the last RasUseScript/RasUseDefault.
int RasMostLive();
// Waits until no notification thread is running any more (every script has
// ended or been hung up). 1 = idle, 0 = timeout.
int RasWaitIdle(int nTimeoutMs);
