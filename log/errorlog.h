// The error log "errorlog.txt": every module reports failures (LogError, which
// also shows a message box unless boxes are suppressed) and notable steps
// (LogInfo) here. Entries may come from any thread; each line is one write.
#pragma once
#include <ctime>

#include "platform/errors.h"

void OpenErrorLog(int nSuppressBoxes);
int LogError(const char *pszFile, int nLine, const char *pszFormat, ...)
    PRINTF_LIKE(3, 4);
void LogInfo(const char *pszFile, int nLine, const char *pszFormat, ...)
    PRINTF_LIKE(3, 4);

// Number of error entries made in this run (the exit status tells a
// scheduler whether the night went well).
long ErrorLogErrorCount();

// For tests: a fixed clock, and forgetting the open log so that the next
// OpenErrorLog starts afresh in the current directory.
void SetErrorLogClock(std::time_t (*pfnClock)());
void ResetErrorLog();
