// Bounded text, field, line and time-stamp helpers shared by every reader and
// writer. All text is 8-bit and NUL-terminated; capacities include the NUL.
#pragma once
#include <cstdint>

#include "platform/errors.h"

unsigned CopyString(char *pszDest, const char *pszSrc, unsigned nCap);
unsigned AppendString(char *pszDest, const char *pszSrc, unsigned nCap);
char *NextField(char **ppCursor, const char *pszDelims);
int ReadLine(int hFile, char *pszBuf, int nCap);
// "YYYY-MM-DD hh:mm:ss" as seconds since 1970 UTC: 1 = a time stamp
// (*pulTime; 4294967295 for a date before 1970 or past what 32 bits hold);
// 0 = no time stamp; -1 = the shape of one with a field out of range (month
// 1-12, day within its month, hour 0-23, minute and second 0-59). *pulTime
// is 0 unless the result is 1.
int ReadTimeStamp(const char *pszText, std::uint32_t *pulTime);
// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12); the
// calendar arithmetic behind ReadTimeStamp, shared with faster parsers.
long long DaysFromCivil(long long y, long long m, long long d);
// Days in a month (1..12) of a proleptic Gregorian year.
int DaysInMonth(long long y, int m);
// Turns every quote (' and ") into a blank, then trims blanks and tabs at
// both ends.
void StripQuotes(char *pszText);

// snprintf that never fails the build on truncation warnings; cuts silently.
int FormatString(char *pszDest, unsigned nCap, const char *pszFormat, ...)
    PRINTF_LIKE(3, 4);
