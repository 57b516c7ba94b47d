// Inside download/: the pieces of HttpGet (http.cpp) that live in files of
// their own. Not for use elsewhere.
#pragma once
#include <atomic>
#include <cstddef>

#include "download/body.h"
#include "download/download.h"

// Opens the slot's socket and connects it to the unit: its address, or
// each address its name resolves to in turn. 1 when connected, the body
// stream made for it in *ppBs; 0 when not, a failure reported here (and
// its kind in the job's nConnectFailure) unless the job stopped.
int ConnectToUnit(DownloadJob *pJob, std::atomic<SOCKET> *pSlot, BodyStream **ppBs);
// The request's Host line with its CR LF for a unit known by name or by an
// IPv6 address, for a web server in front of it; "" for four numbers,
// whose requests have always gone without one.
void FormatHostLine(const DasRecord *pDas, char *pszOut, std::size_t nCap);
