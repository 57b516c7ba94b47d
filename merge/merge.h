// Log records and the merge of a downloaded log into a device's local log.
#pragma once
#include <cstdint>
#include "platform/types.h"

struct LogRecord {
  std::uint32_t ulTime;
  char *pData;
  LogRecord *pNext;
};

int InsertRecord(LogRecord **ppHead, LogRecord **ppCursor, LogRecord *pNew,
                 long *plRecords, long *plDuplicates);
int ReadLogFile(const char *pszPath, LogRecord **ppHead, char **ppHeader,
                char *pszStatus, unsigned nStatusCap, HWND hProgress,
                long *plRecords, long *plDuplicates);
int FreeRecords(LogRecord **ppHead, char **ppHeader);
int WriteLogFile(const char *pszPath, LogRecord **ppHead, const char *pszHeader,
                 char *pszStatus, unsigned nStatusCap, HWND hProgress);
// Merges the downloaded file into "<dir>\\mb-NNN.log" (taking up a
// "mb-NNN.new" left by an earlier merge first), replaces the local log in
// one atomic step and deletes the downloaded file. 1 = done; 0 = failed
// (reported; the downloaded file is kept, the local log is whole).
// hProgress may be null: then no refresh is sent.
int MergeLogFile(const char *pszDir, int nDevice, const char *pszDownloaded,
                 char *pszStatus, unsigned nStatusCap, HWND hProgress);
