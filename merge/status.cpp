// The status text of a merge and its progress refreshes (logset_int.h).
#include <cstdarg>
#include <cstdio>

#include "merge/logset.h"
#include "merge/logset_int.h"

std::atomic<int> MergeRefreshIntervalMs{50};
std::atomic<void (*)(const char *, const MergeProgress *)> MergeRefreshHook{nullptr};

namespace {

// Shows the status text as it is now: MergeRefreshHook, then the caller's
// refresh.
void SendRefresh(MergeStatus &status) {
  status.tLast = std::chrono::steady_clock::now();
  if (auto pfn = MergeRefreshHook.load())
    pfn(status.pszStatus && status.nCap ? status.pszStatus : "", status.pProgress);
  // No one to show it to: a merge run without a dialog shows nothing.
  if (status.pProgress && status.pProgress->pfnRefresh)
    status.pProgress->pfnRefresh(status.pProgress->pCtx);
}

}  // namespace

void ShowStatus(MergeStatus &status, const char *pszFormat, ...) {
  if (status.pszStatus && status.nCap) {
    va_list ap;
    va_start(ap, pszFormat);
    if (std::vsnprintf(status.pszStatus, status.nCap, pszFormat, ap) < 0) status.pszStatus[0] = 0;
    va_end(ap);
  }
  SendRefresh(status);
}

void ShowCounts(MergeStatus &status, long lRecords, long lDuplicates) {
  ShowStatus(status, "Merging record %ld, discard %ld duplicates", lRecords, lDuplicates);
}

bool RefreshDue(const MergeStatus &status) {
  int nMs = MergeRefreshIntervalMs.load();
  if (nMs <= 0) return true;
  return std::chrono::steady_clock::now() - status.tLast >= std::chrono::milliseconds(nMs);
}
