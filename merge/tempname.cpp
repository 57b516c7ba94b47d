// Format and parse of a download's temporary name "mb-NNN.K.tmp".
#include "merge/tempname.h"

#include <cstring>

#include "util/text.h"

void FormatTempName(char *pszName, unsigned nCap, int nDevice, long long llSeq) {
  FormatString(pszName, nCap, "mb-%03d.%lld.tmp", nDevice, llSeq);
}

namespace {

// Reads the digits of a name part: at least one, at most nMax. -1 if it is
// not a plain decimal number.
long long ParseDigits(const char *p, std::size_t n, std::size_t nMax) {
  if (n == 0 || n > nMax) return -1;
  long long v = 0;
  for (std::size_t i = 0; i < n; i++) {
    if (p[i] < '0' || p[i] > '9') return -1;
    v = v * 10 + (p[i] - '0');
  }
  return v;
}

}  // namespace

int ParseTempName(const char *pszName, int *pnDevice, long long *pllSeq) {
  std::size_t nLen = std::strlen(pszName);
  if (nLen < 12 || std::strncmp(pszName, "mb-", 3) != 0 ||
      std::strcmp(pszName + nLen - 4, ".tmp") != 0)
    return 0;
  const char *pMid = pszName + 3;  // "NNN.K"
  std::size_t nMid = nLen - 7;
  const void *pDot = std::memchr(pMid, '.', nMid);
  if (!pDot) return 0;
  std::size_t nDot = static_cast<std::size_t>(static_cast<const char *>(pDot) - pMid);
  long long llDev = ParseDigits(pMid, nDot, 9);
  long long llSeq = ParseDigits(pMid + nDot + 1, nMid - nDot - 1, 18);
  if (llDev < 0 || llSeq < 0) return 0;
  // Written back, the name must come out the same: no extra zeros.
  char szBack[64];
  FormatTempName(szBack, sizeof szBack, static_cast<int>(llDev), llSeq);
  if (std::strcmp(pszName, szBack) != 0) return 0;
  *pnDevice = static_cast<int>(llDev);
  *pllSeq = llSeq;
  return 1;
}
