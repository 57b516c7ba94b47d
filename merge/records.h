// The record-list form of a log: one malloc'd record per time stamp in a
// linked list, placed one line at a time. It gives the records, survivors
// and counts the merge must give, but placing an out-of-order line walks
// the list (O(n^2) for a shuffled file), so the program merges through
// LogSet (logset.h) instead. Tests and the merge's fuzz target keep this
// form as the reference the merge's results are compared with; only they
// link it (tandrel_testhooks).
#pragma once
#include <cstdint>

#include "merge/merge.h"

struct LogRecord {
  std::uint32_t ulTime;
  char *pData;
  LogRecord *pNext;
};

// Places pNew (its pNext null) in time order, searching on from *ppCursor:
// on an equal time the longer text survives, the first read among equals
// (pNew is freed or takes the old one's place). 1 = done; 0 = a null
// argument.
int InsertRecord(LogRecord **ppHead, LogRecord **ppCursor, LogRecord *pNew,
                 long *plRecords, long *plDuplicates);
// Reads a log file into the list (and its last header line, with its line
// feed, into *ppHeader when given). 1 = read; 0 = failed (reported).
int ReadLogFile(const char *pszPath, LogRecord **ppHead, char **ppHeader,
                char *pszStatus, unsigned nStatusCap, const MergeProgress *pProgress,
                long *plRecords, long *plDuplicates);
// Frees the list and the header; both are null after.
int FreeRecords(LogRecord **ppHead, char **ppHeader);
// Writes the header and every record (each with a line feed) to a new file,
// freeing the records as they are written. 1 = written; 0 = failed (reported).
int WriteLogFile(const char *pszPath, LogRecord **ppHead, const char *pszHeader,
                 char *pszStatus, unsigned nStatusCap, const MergeProgress *pProgress);
