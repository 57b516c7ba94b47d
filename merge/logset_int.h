// What the merge's reader (logset.cpp), writer (logwrite.cpp) and the
// record-list form share inside merge/: the status text with its throttled
// progress refreshes (status.cpp), and the size of a read block.
#pragma once
#include <chrono>
#include <cstddef>

#include "merge/merge.h"
#include "platform/errors.h"

// The status text a merge keeps up to date and who is shown it.
struct MergeStatus {
  char *pszStatus;
  unsigned nCap;
  const MergeProgress *pProgress;
  std::chrono::steady_clock::time_point tLast;
};

// Sets the status text (when there is one) and shows it (MergeRefreshHook,
// then the caller's refresh).
void ShowStatus(MergeStatus &status, const char *pszFormat, ...) PRINTF_LIKE(2, 3);
// The counts "so far" while a file is read.
void ShowCounts(MergeStatus &status, long lRecords, long lDuplicates);
// Whether MergeRefreshIntervalMs has passed since the last refresh.
bool RefreshDue(const MergeStatus &status);

// A read block for a file of nSize bytes (-1 = unknown): no larger than the
// file needs, so that many small files cost little; a line longer than the
// block makes it grow.
std::size_t ReadBlockFor(long long nSize);
