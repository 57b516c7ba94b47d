// Line classification and the time-stamp fast path of the merge's reader.
// Nearly every line of a log starts with an unquoted "YYYY-MM-DD hh:mm:ss"
// and its comma: that shape is recognised byte by byte, and only anything
// else goes through the general parser (sscanf) in util/text.
#include "merge/logline.h"

#include <cstring>

#include "util/text.h"

namespace {

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline int Two(const char *p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

// The usual shape "YYYY-MM-DD hh:mm:ss" not followed by a further digit,
// with every field in range. Anything else (month 13, second 60, years
// before 1970, one-digit fields, signs, blanks) is left to the general rule.
// The && chain stops at the first byte that does not fit, so nothing past
// a terminator or the field's comma is read.
inline bool FastStamp(const char *s, std::uint32_t *pulTime) {
  if (!(IsDigit(s[0]) && IsDigit(s[1]) && IsDigit(s[2]) && IsDigit(s[3]) && s[4] == '-' &&
        IsDigit(s[5]) && IsDigit(s[6]) && s[7] == '-' && IsDigit(s[8]) && IsDigit(s[9]) &&
        s[10] == ' ' && IsDigit(s[11]) && IsDigit(s[12]) && s[13] == ':' && IsDigit(s[14]) &&
        IsDigit(s[15]) && s[16] == ':' && IsDigit(s[17]) && IsDigit(s[18]) && !IsDigit(s[19])))
    return false;
  // Consecutive lines mostly share their date: its day number is kept.
  thread_local char szLastDate[10] = {};
  thread_local long long llLastDays = -1;
  int nHour = Two(s + 11), nMin = Two(s + 14), nSec = Two(s + 17);
  if (nHour > 23 || nMin > 59 || nSec > 59) return false;
  if (llLastDays < 0 || std::memcmp(s, szLastDate, 10) != 0) {
    int nYear = Two(s) * 100 + Two(s + 2);
    int nMon = Two(s + 5), nDay = Two(s + 8);
    if (nYear < 1970 || nMon < 1 || nMon > 12 || nDay < 1 || nDay > DaysInMonth(nYear, nMon))
      return false;
    std::memcpy(szLastDate, s, 10);
    llLastDays = DaysFromCivil(nYear, nMon, nDay);
  }
  long long t = llLastDays * 86400 + nHour * 3600 + nMin * 60 + nSec;
  *pulTime = t > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<std::uint32_t>(t);
  return true;
}

// ReadTimeStamp's time, through the fast path when the shape is the usual
// one. *pbOutOfRange, if given, is set to 1 for the shape of a stamp with a
// field out of range.
std::uint32_t ParseLogTime(const char *s, int *pbOutOfRange) {
  std::uint32_t ulTime;
  if (FastStamp(s, &ulTime)) return ulTime;
  if (ReadTimeStamp(s, &ulTime) < 0 && pbOutOfRange) *pbOutOfRange = 1;
  return ulTime;
}

}  // namespace

std::size_t LogLineLength(const char *p, std::size_t n) {
  const void *pNul = std::memchr(p, 0, n);
  return pNul ? static_cast<std::size_t>(static_cast<const char *>(pNul) - p) : n;
}

int ClassifyLogLine(const char *p, std::size_t n, std::uint32_t *pulTime, int *pbOutOfRange) {
  if (pbOutOfRange) *pbOutOfRange = 0;
  if (n >= 4 && std::memcmp(p, "time", 4) == 0) return 2;
  // The usual line: an unquoted stamp and its comma at 19. The first field
  // is then exactly the stamp, with no quote at either end to drop.
  if (n >= 20 && p[19] == ',' && FastStamp(p, pulTime)) return 1;
  // The time stamp is the first field, and its comma must come within the
  // first 31 characters (a NUL ends the look, as it ends a C string).
  std::size_t nLook = n < 31 ? n : 31;
  std::size_t nComma = nLook;
  for (std::size_t i = 0; i < nLook; i++) {
    if (p[i] == ',') {
      nComma = i;
      break;
    }
    if (p[i] == 0) break;
  }
  if (nComma == nLook || nComma <= 16) return 0;
  char szField[32];
  std::memcpy(szField, p, nComma);
  szField[nComma] = 0;
  std::size_t nField = nComma;
  // One quote at each end is dropped, each end on its own.
  if (szField[nField - 1] == '"' || szField[nField - 1] == '\'') szField[--nField] = 0;
  const char *pszTime = szField;
  if (*pszTime == '"' || *pszTime == '\'') pszTime++;
  *pulTime = ParseLogTime(pszTime, pbOutOfRange);
  return 1;
}
