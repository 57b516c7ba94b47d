// Dial-out: a unit with a phone number is reached over a dial-up connection.
#pragma once
#include "platform/dialup.h"

struct DownloadJob;

// 1 = connected, *phConn set; 0 = failed, line hung up, *phConn null.
int Dialout(DownloadJob *pJob, HRASCONN *phConn);
void DialCallback(unsigned int uMsg, int nState, unsigned long dwError);
void RasStateText(char *pszBuf, unsigned nCap, int nState);
