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

int DaysInMonth(long long y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12) return 0;
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
  return kDays[m - 1];
}

// Seconds since 1970 in UTC, computed without touching the process's time
// zone: other threads convert to local time for their log entries at the
// same moment. A field out of range is not carried over onto another time
// (second 60 is not the next minute, February 30 not March 2): such a stamp
// would take the place of the genuine record of that other time. Dates
// before 1970, and dates past what 32 bits hold, give the conversion's
// failure value -1 (4294967295).
int ReadTimeStamp(const char *pszText, std::uint32_t *pulTime) {
  *pulTime = 0;
  int year, mon, day, hour, min, sec;
  if (std::sscanf(pszText, "%d-%d-%d %d:%d:%d", &year, &mon, &day, &hour, &min, &sec) < 6)
    return 0;
  if (mon < 1 || mon > 12 || day < 1 || day > DaysInMonth(year, mon) || hour < 0 || hour > 23 ||
      min < 0 || min > 59 || sec < 0 || sec > 59)
    return -1;
  long long t = DaysFromCivil(year, mon, day);
  t = t * 86400 + static_cast<long long>(hour) * 3600 + static_cast<long long>(min) * 60 + sec;
  *pulTime = t < 0 || t > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<std::uint32_t>(t);
  return 1;
}

namespace {

void TrimBlanks(char *pszText) {
  char *p = pszText;
  while (*p == ' ' || *p == '\t') p++;
  if (p != pszText) std::memmove(pszText, p, std::strlen(p) + 1);
  std::size_t n = std::strlen(pszText);
  while (n > 0 && (pszText[n - 1] == ' ' || pszText[n - 1] == '\t')) pszText[--n] = 0;
}

}  // namespace

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
