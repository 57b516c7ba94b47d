// Dial-out: a unit with a phone number is reached over a dial-up connection
// that the dial-up service sets up; the worker hangs it up at the end.
#pragma once
#include "platform/dialup.h"

struct DownloadJob;

// Dials the unit's phone number and waits until the connection stands.
// 1 = connected, *phConn set; 0 = failed, line hung up, *phConn null.
// Gives up when the service reports an error, when the job is cancelled and
// after DialoutGiveUpMs without a connection.
int Dialout(DownloadJob *pJob, HRASCONN *phConn);
// The service's notifier: logs each change of state (and any error).
void DialCallback(unsigned int uMsg, int nState, unsigned long dwError);
// Text of a connection state, cut to nCap (download/dialtext.cpp).
void RasStateText(char *pszBuf, unsigned nCap, int nState);

// The timing: a status query every 1000 ms, a wait of at most 120 s.
enum : unsigned { DIALOUT_POLL_MS = 1000, DIALOUT_GIVEUP_MS = 120000 };
