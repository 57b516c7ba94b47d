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

// An error entry for a failed operation on a file, "Error <what> <path>,
// got <number> <the system's text>": LogFileError("merge", __LINE__,
// "reading file", "x.txt", nErr) writes "Error reading file x.txt, got 5
// Input/output error". From the module named, as LogError.
// FormatFileError gives the same text (for a caller that also reports it
// elsewhere); returns pszBuf.
const char *FormatFileError(char *pszBuf, unsigned nCap, const char *pszWhat, const char *pszPath,
                            int nErr);
int LogFileError(const char *pszModule, int nLine, const char *pszWhat, const char *pszPath,
                 int nErr);

// From now on no entry shows a box, as with "/AUTO": the run is being
// stopped, and nobody is to answer one. Any thread.
void StopErrorBoxes();
// Number of error entries made in this run (the exit status tells a
// scheduler whether the night went well).
long ErrorLogErrorCount();
// Number of error entries the calling thread has made: a download worker
// tells by it whether its unit has an entry already, whatever the workers
// beside it write.
long ErrorLogThreadErrorCount();
