// The error log "errorlog.txt".
//
// Every entry is written with one write call of its whole line to a handle
// opened in append mode, so lines of different threads never interleave
// inside a line; no lock is needed. Logging is off (handle -1) until
// OpenErrorLog, and stays off for the run if the file cannot be opened.
#include "log/errorlog.h"
#include "log/errorlog_int.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/file.h"
#include "platform/system.h"
#include "platform/window.h"
#include "util/text.h"

std::atomic<int> g_hLog{-1};
std::atomic<int> g_bSuppressBoxes{1};
std::atomic<long> g_nErrors{0};
namespace {
thread_local long t_nThreadErrors = 0;
}  // namespace
std::atomic<std::time_t (*)()> g_pfnClock{nullptr};
std::atomic<int> g_bSaid{0};

namespace {

const char kLogName[] = "errorlog.txt";

// Tells standard error, once per run, that the error log is not being kept.
void SayOnce(const char *pszName, const char *pszWhat, int nErr) {
  if (g_bSaid.exchange(1)) return;
  char szText[256];
  FormatString(szText, sizeof szText, "tandreldl: cannot %s %s (%d %s); log entries are lost\n",
               pszWhat, pszName, nErr, PlatStrError(nErr));
  PlatStderr(szText);
}

// 1 when the file is empty or ends with a line feed.
int EndsWithLineFeed(const char *pszName) {
  long long llSize = PlatFileSize(pszName);
  if (llSize <= 0) return 1;
  int h = PlatOpen(pszName, P_O_RDONLY | P_O_BINARY);
  if (h < 0) return 1;
  char c = '\n';
  long n = PlatReadAt(h, &c, 1, llSize - 1);
  PlatClose(h);
  return n != 1 || c == '\n';
}

std::time_t Now() {
  auto pfn = g_pfnClock.load();
  return pfn ? pfn() : PlatTime();
}

void WriteEntry(std::time_t t, const char *pszFile, int nLine, const char *pszFormat,
                va_list ap) {
  int h = g_hLog.load();
  if (h < 0) return;
  char szMsg[512];
  std::vsnprintf(szMsg, sizeof szMsg, pszFormat, ap);
  struct std::tm tm;
  PlatLocalTime(t, &tm);
  char szLine[640];
  int n = FormatString(szLine, sizeof szLine, "'%04d/%02d/%02d %02d:%02d:%02d',%s,%d,%s\r\n",
                       tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                       tm.tm_sec, pszFile, nLine, szMsg);
  if (n < 0) return;
  std::size_t nLen = static_cast<std::size_t>(n) < sizeof szLine ? static_cast<std::size_t>(n)
                                                                  : sizeof szLine - 1;
  if (PlatWrite(h, szLine, nLen) != static_cast<long>(nLen)) {
    // A full disk or a file system gone read-only: the entry cannot go to
    // the log, so say once where somebody may see it. A cut entry left in
    // the file gets its line end when the log is next opened.
    int nErr = PlatErrno();
    SayOnce(kLogName, "write", nErr);
  }
}

}  // namespace

void OpenErrorLog(int nSuppressBoxes) {
  g_bSuppressBoxes = nSuppressBoxes;
  if (g_hLog.load() >= 0) return;
  // Two runs started together may both find no log: the file appears with
  // its header already in it (never empty for the other to append to), and
  // the run that finds it taken opens the other's. The error said is the
  // one of the call that failed for good.
  int h = -1;
  int nErr = 0;
  const char *pszWhat = "open";
  for (int nTry = 0; nTry < 3 && h < 0; nTry++) {
    h = PlatOpen(kLogName, P_O_WRONLY | P_O_APPEND | P_O_BINARY);
    if (h >= 0) break;
    nErr = PlatErrno();
    pszWhat = "open";
    if (nErr != PLAT_ENOENT) break;
    char szHeader[512];
    int n = FormatString(szHeader, sizeof szHeader, "time,file,line,message\r\n");
    if (PlatCreateWith(kLogName, szHeader, static_cast<std::size_t>(n), P_S_IREAD | P_S_IWRITE) == 0)
      continue;
    nErr = PlatErrno();
    pszWhat = "create";
    if (nErr != PLAT_EEXIST) break;
  }
  if (h >= 0) {
    // An entry cut short by a full disk would run into the next one.
    if (!EndsWithLineFeed(kLogName) && PlatWrite(h, "\r\n", 2) != 2)
      SayOnce(kLogName, "write", PlatErrno());
  } else {
    SayOnce(kLogName, pszWhat, nErr);
  }
  g_hLog = h;
}

void StopErrorBoxes() { g_bSuppressBoxes.store(1); }

int LogError(const char *pszFile, int nLine, const char *pszFormat, ...) {
  std::time_t t = Now();  // the time of the call, not of the end of the box
  g_nErrors++;
  t_nThreadErrors++;
  if (!g_bSuppressBoxes.load()) {
    char szCaption[640];
    FormatString(szCaption, sizeof szCaption, "Error: %s line %d", pszFile, nLine);
    char szText[512];
    va_list ap;
    va_start(ap, pszFormat);
    std::vsnprintf(szText, sizeof szText, pszFormat, ap);
    va_end(ap);
    HWND hOwner = GetTopWindow(nullptr);
    MessageBox(hOwner, szText, szCaption, hOwner ? MB_ICONHAND : MB_ICONHAND | MB_TASKMODAL);
  }
  va_list ap;
  va_start(ap, pszFormat);
  WriteEntry(t, pszFile, nLine, pszFormat, ap);
  va_end(ap);
  return 0;
}

void LogInfo(const char *pszFile, int nLine, const char *pszFormat, ...) {
  std::time_t t = Now();
  va_list ap;
  va_start(ap, pszFormat);
  WriteEntry(t, pszFile, nLine, pszFormat, ap);
  va_end(ap);
}

const char *FormatFileError(char *pszBuf, unsigned nCap, const char *pszWhat, const char *pszPath,
                            int nErr) {
  FormatString(pszBuf, nCap, "Error %s %s, got %d %s", pszWhat, pszPath, nErr, PlatStrError(nErr));
  return pszBuf;
}

int LogFileError(const char *pszModule, int nLine, const char *pszWhat, const char *pszPath,
                 int nErr) {
  return LogError(pszModule, nLine, "Error %s %s, got %d %s", pszWhat, pszPath, nErr,
                  PlatStrError(nErr));
}

long ErrorLogErrorCount() { return g_nErrors.load(); }

long ErrorLogThreadErrorCount() { return t_nThreadErrors; }
