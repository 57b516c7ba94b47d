// The dial-up service: asynchronous dialling with a notification function,
// connection status queries, error texts and hang-up (RasDial and its
// companions, declared in platform/types.h).
//
// This machine has no dial-up device the service could drive, so the default
// backend refuses every dial at once with ERROR_PORT_NOT_AVAILABLE. A scripted
// backend, selected by the tests, plays a given sequence of connection states
// with given delays and errors.
//
// Handles are numbers handed out by the service and never reused within a
// run: a handle that has been hung up stays unknown for ever, so a status
// query or a hang-up with it fails harmlessly.
//
// Threads: RasDial returns at once; the notification function is called on a
// thread of the service's own, once per change of state, one call after the
// other (the service waits for each call to return before it goes on).
#pragma once
#include "platform/types.h"

// ---- Test support: the scripted backend ----

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
// Back to the default backend (no device: every dial fails at once).
void RasUseDefault();
// RasHangUp calls, and those of them that found a live connection, since the
// last RasUseScript/RasUseDefault.
int RasHangUpCalls();
int RasHangUpsDone();
// Dials started since the last RasUseScript/RasUseDefault, and the
// parameters of the latest one.
int RasDialCalls();
void RasLastDialParams(RASDIALPARAMS *pParams);
// Waits until no notification thread is running any more (every script has
// ended or been hung up). 1 = idle, 0 = timeout.
int RasWaitIdle(int nTimeoutMs);
