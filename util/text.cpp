// Bounded text, field, line and time-stamp helpers.
#include "util/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/file.h"

unsigned CopyString(char *pszDest, const char *pszSrc, unsigned nCap) {
  unsigned nLen = static_cast<unsigned>(std::strlen(pszSrc));
  if (nCap == 0) return nLen;
  unsigned n = nLen < nCap - 1 ? nLen : nCap - 1;
  std::memcpy(pszDest, pszSrc, n);
  pszDest[n] = 0;
  return nLen;
}

unsigned AppendString(char *pszDest, const char *pszSrc, unsigned nCap) {
  unsigned nSrc = static_cast<unsigned>(std::strlen(pszSrc));
  const void *nul = std::memchr(pszDest, 0, nCap);
  unsigned nHave = nul ? static_cast<unsigned>(static_cast<const char *>(nul) - pszDest) : nCap;
  if (nHave == nCap) return nHave + nSrc;
  unsigned nRoom = nCap - nHave - 1;
  unsigned n = nSrc < nRoom ? nSrc : nRoom;
  std::memcpy(pszDest + nHave, pszSrc, n);
  pszDest[nHave + n] = 0;
  return nHave + nSrc;
}

char *NextField(char **ppCursor, const char *pszDelims) {
  char *pStart = *ppCursor;
  if (!pStart) return nullptr;
  char *p = pStart + std::strcspn(pStart, pszDelims);
  if (*p == 0) {
    *ppCursor = nullptr;
  } else {
    *p = 0;
    *ppCursor = p + 1;
  }
  return pStart;
}

int ReadLine(int hFile, char *pszBuf, int nCap) {
  if (nCap <= 0) return 0;
  return PlatReadLine(hFile, pszBuf, nCap);
}

long long DaysFromCivil(long long y, long long m, long long d) {
  y -= m <= 2;
  long long era = (y >= 0 ? y : y - 399) / 400;
  long long yoe = y - era * 400;
  long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// Seconds since 1970 in UTC, computed without touching the process's time
// zone: other threads convert to local time for their log entries at the
// same moment. Fields out of range carry over as a calendar conversion
// normalises them (month 13 is January of the next year, second 60 the next
// minute, ...). Dates before 1970, and dates past what 32 bits hold, give
// the conversion's failure value -1 (4294967295).
std::uint32_t ParseTimeStamp(const char *pszText) {
  int year, mon, day, hour, min, sec;
  if (std::sscanf(pszText, "%d-%d-%d %d:%d:%d", &year, &mon, &day, &hour, &min, &sec) < 6)
    return 0;
  long long y = year;
  long long m = static_cast<long long>(mon) - 1;  // 0-based, may be out of range
  y += m / 12;
  m %= 12;
  if (m < 0) {
    m += 12;
    y -= 1;
  }
  long long t = DaysFromCivil(y, m + 1, 1) + (static_cast<long long>(day) - 1);
  t = t * 86400 + static_cast<long long>(hour) * 3600 + static_cast<long long>(min) * 60 + sec;
  if (t < 0 || t > 0xFFFFFFFFLL) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(t);
}

void TrimBlanks(char *pszText) {
  char *p = pszText;
  while (*p == ' ' || *p == '\t') p++;
  if (p != pszText) std::memmove(pszText, p, std::strlen(p) + 1);
  std::size_t n = std::strlen(pszText);
  while (n > 0 && (pszText[n - 1] == ' ' || pszText[n - 1] == '\t')) pszText[--n] = 0;
}

void StripQuotes(char *pszText) {
  for (char *p = pszText; *p; p++)
    if (*p == '"') *p = ' ';
  for (char *p = pszText; *p; p++)
    if (*p == '\'') *p = ' ';
  TrimBlanks(pszText);
}

int FormatString(char *pszDest, unsigned nCap, const char *pszFormat, ...) {
  if (nCap == 0) return 0;
  va_list ap;
  va_start(ap, pszFormat);
  int n = std::vsnprintf(pszDest, nCap, pszFormat, ap);
  va_end(ap);
  if (n < 0) pszDest[0] = 0;
  return n;
}
