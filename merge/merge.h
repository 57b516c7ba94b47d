// The merge of a downloaded log into a device's local log.
#pragma once
#include <cstdint>
#include "platform/types.h"

// How a merge has its progress shown: pfnRefresh(pCtx) after each change of
// the status text (the caller redraws it). A null MergeProgress shows nothing.
struct MergeProgress {
  void (*pfnRefresh)(void *pCtx);
  void *pCtx;
};

// Merges the downloaded file into "<dir>\\mb-NNN.log" (taking up a
// "mb-NNN.new" left by an earlier merge first, and every download of the
// device that earlier runs left in "<dir>\\temp" as "mb-NNN.K.tmp", oldest
// first), replaces the local log in one atomic step and then deletes the
// downloaded file and those leftovers. 1 = done; 0 = failed (reported; the
// downloaded file and the leftovers are kept, the local log is whole).
// pszDownloaded may be null: then only the leftovers are merged (1 at once
// when there are none). pProgress may be null: then no refresh is made.
int MergeLogFile(const char *pszDir, int nDevice, const char *pszDownloaded,
                 char *pszStatus, unsigned nStatusCap, const MergeProgress *pProgress);
// The devices (1..255, ascending, at most nCap) that have a download
// "mb-NNN.K.tmp" waiting in "<dir>\\temp". Returns how many were stored;
// 0 when there are none or there is no such directory.
int ListLeftoverDevices(const char *pszDir, int *pnDevices, int nCap);
