// Bounded text, field, line and time-stamp helpers shared by every reader and
// writer. All text is 8-bit and NUL-terminated; capacities include the NUL.
#pragma once
#include <cstdint>

unsigned CopyString(char *pszDest, const char *pszSrc, unsigned nCap);
unsigned AppendString(char *pszDest, const char *pszSrc, unsigned nCap);
char *NextField(char **ppCursor, const char *pszDelims);
int ReadLine(int hFile, char *pszBuf, int nCap);
std::uint32_t ParseTimeStamp(const char *pszText);
// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12); the
// calendar arithmetic behind ParseTimeStamp, shared with faster parsers.
long long DaysFromCivil(long long y, long long m, long long d);
void TrimBlanks(char *pszText);
void StripQuotes(char *pszText);

// snprintf that never fails the build on truncation warnings; cuts silently.
int FormatString(char *pszDest, unsigned nCap, const char *pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
