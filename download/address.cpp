// The unit's "ipaddress" field read into what a connect needs. A unit is
// told to delete what it has handed over, so the field must reach the unit
// it names and no other: every form is read strictly, and what could be
// read two ways is refused rather than guessed at.
//
//   a.b.c.d          four decimal numbers of 0 to 255 ("010" is ten)
//   name             letters, digits, '-' and '.', labels as DNS has them
//   [v6]             an IPv6 address in brackets, as in a URL
//
// each with an optional ":port" of 1 to 65535; blanks around are ignored.
#include <cstring>

#include "download/download.h"
#include "util/text.h"

namespace {

const unsigned short kDefaultPort = 80;

int IsBlank(char c) { return c == ' ' || c == '\t'; }

// Takes the blanks off both ends of the text, in place.
void TrimText(char *psz) {
  char *p = psz;
  while (IsBlank(*p)) p++;
  if (p != psz) std::memmove(psz, p, std::strlen(p) + 1);
  std::size_t n = std::strlen(psz);
  while (n > 0 && IsBlank(psz[n - 1])) psz[--n] = 0;
}
int IsDigit(char c) { return c >= '0' && c <= '9'; }
int IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four decimal numbers of 0 to 255, as people type them: "010" is ten.
// (The system's own reader takes a leading 0 as octal and also takes
// "127.1" or "0x7f.1", any of which would reach another unit.) The end of
// the numbers, or null when p does not start with them.
const char *ReadDotted(const char *p, unsigned char *pbAddr) {
  for (int i = 0; i < 4; i++) {
    if (i > 0 && *p++ != '.') return nullptr;
    int nValue = 0, nDigits = 0;
    for (; IsDigit(*p); p++) {
      if (++nDigits > 3) return nullptr;
      nValue = nValue * 10 + (*p - '0');
    }
    if (nDigits == 0 || nValue > 255) return nullptr;
    pbAddr[i] = (unsigned char)nValue;
  }
  return p;
}

// An IPv6 address as RFC 4291 writes it: eight groups of up to four hex
// digits, one run of zero groups as "::", the last two groups perhaps as
// four decimal numbers. No zone ("%eth0"): a unit is not reached by a
// link-local address that only names this machine's side of the link.
int ReadIpv6(const char *p, unsigned char *pbAddr) {
  unsigned aGroups[8];
  int nGroups = 0, nGap = -1;
  if (p[0] == ':') {
    if (p[1] != ':') return 0;
    nGap = 0;
    p += 2;
  }
  while (*p) {
    // The dotted tail stands where two groups would.
    const char *pEnd = p;
    while (*pEnd && *pEnd != ':') pEnd++;
    if (std::memchr(p, '.', (std::size_t)(pEnd - p))) {
      unsigned char ab[4];
      if (nGroups > 6 || ReadDotted(p, ab) != pEnd || *pEnd) return 0;
      aGroups[nGroups++] = (unsigned)(ab[0] << 8 | ab[1]);
      aGroups[nGroups++] = (unsigned)(ab[2] << 8 | ab[3]);
      p = pEnd;
      break;
    }
    unsigned nValue = 0;
    int nDigits = 0;
    for (; HexValue(*p) >= 0; p++) {
      if (++nDigits > 4) return 0;
      nValue = nValue * 16 + (unsigned)HexValue(*p);
    }
    if (nDigits == 0 || nGroups == 8) return 0;
    aGroups[nGroups++] = nValue;
    if (!*p) break;
    if (*p++ != ':') return 0;
    if (*p == ':') {
      if (nGap >= 0) return 0;
      nGap = nGroups;
      p++;
    } else if (!*p) {
      return 0;  // a single colon at the end
    }
  }
  if (nGap < 0 ? nGroups != 8 : nGroups > 7) return 0;
  std::memset(pbAddr, 0, 16);
  int nAfter = nGap < 0 ? 0 : nGroups - nGap;
  for (int i = 0; i < nGroups; i++) {
    int nAt = (nGap >= 0 && i >= nGap) ? 8 - nAfter + (i - nGap) : i;
    pbAddr[2 * nAt] = (unsigned char)(aGroups[i] >> 8);
    pbAddr[2 * nAt + 1] = (unsigned char)(aGroups[i] & 0xff);
  }
  return 1;
}

// A host name as DNS has them: labels of 1 to 63 letters, digits and '-',
// not beginning or ending with '-', a final '.' allowed. The last label
// must begin with a letter, as every top-level name does: nothing that the
// system's reader could take for a number in some base ("127.1",
// "0x7f.0.0.1", "1.2.3.0x4") is a name, and none is handed to the resolver.
int IsHostName(const char *psz) {
  std::size_t n = std::strlen(psz);
  if (n > 0 && psz[n - 1] == '.') n--;
  if (n == 0) return 0;
  std::size_t nLabel = 0, nLast = 0;
  for (std::size_t i = 0; i <= n; i++) {
    char c = i < n ? psz[i] : '.';
    if (c == '.') {
      if (nLabel == 0 || nLabel > 63 || psz[i - 1] == '-') return 0;
      nLast = i - nLabel;
      nLabel = 0;
    } else if (IsLetter(c) || IsDigit(c) || c == '-') {
      if (nLabel == 0 && c == '-') return 0;
      nLabel++;
    } else {
      return 0;
    }
  }
  return IsLetter(psz[nLast]);
}

// The host part, blanks taken off, into *pAddr; 1 when it is one of the
// three forms.
int ReadHost(const char *pszHost, UnitAddress *pAddr) {
  CopyString(pAddr->szHost, pszHost, sizeof pAddr->szHost);
  TrimText(pAddr->szHost);
  const char *psz = pAddr->szHost;
  PlatAddr &a = pAddr->addr;
  if (psz[0] == '[') {
    char szV6[32];
    std::size_t n = std::strlen(psz);
    if (n < 3 || psz[n - 1] != ']') return 0;
    CopyString(szV6, psz + 1, n - 1);
    if (!ReadIpv6(szV6, a.abAddr)) return 0;
    a.nFamily = PLAT_AF_INET6;
    pAddr->nKind = UNIT_ADDR_IPV6;
    return 1;
  }
  // Only digits and dots: four numbers or nothing, never a name.
  if (std::strspn(psz, "0123456789.") == std::strlen(psz)) {
    const char *pEnd = ReadDotted(psz, a.abAddr);
    if (!pEnd || *pEnd) return 0;
    // 255.255.255.255 is the broadcast address, which no unit can have.
    static const unsigned char kBroadcast[4] = {255, 255, 255, 255};
    if (std::memcmp(a.abAddr, kBroadcast, 4) == 0) return 0;
    a.nFamily = PLAT_AF_INET;
    pAddr->nKind = UNIT_ADDR_IPV4;
    return 1;
  }
  if (!IsHostName(psz)) return 0;
  pAddr->nKind = UNIT_ADDR_NAME;
  return 1;
}

// A port of 1 to 65535 in plain decimal digits; 0 for anything else.
unsigned short ReadPort(const char *p) {
  long nPort = 0;
  if (!*p) return 0;
  for (; *p; ++p) {
    if (!IsDigit(*p)) return 0;
    nPort = nPort * 10 + (*p - '0');
    if (nPort > 65535) return 0;
  }
  return (unsigned short)nPort;
}

}  // namespace

int ParseUnitAddress(const char *pszText, UnitAddress *pAddr) {
  std::memset(pAddr, 0, sizeof *pAddr);
  pAddr->nPort = kDefaultPort;
  char szText[32];
  CopyString(szText, pszText ? pszText : "", sizeof szText);
  TrimText(szText);
  // A unit behind a port-forwarding router is reached as "host:port". The
  // port's colon is the one after the brackets of an IPv6 address, or the
  // only one of the others.
  char *pColon = nullptr;
  if (szText[0] == '[') {
    char *pClose = std::strchr(szText, ']');
    if (pClose && pClose[1] == ':') pColon = pClose + 1;
  } else {
    pColon = std::strchr(szText, ':');
    if (pColon && std::strchr(pColon + 1, ':')) return 0;  // IPv6 without brackets
  }
  if (pColon) *pColon = 0;
  if (!ReadHost(szText, pAddr)) {
    pAddr->nKind = UNIT_ADDR_NONE;
    return 0;
  }
  if (pColon) {
    pAddr->nPort = ReadPort(pColon + 1);
    if (pAddr->nPort == 0) {
      pAddr->bBadPort = 1;
      return 0;
    }
  }
  pAddr->addr.nPort = pAddr->nPort;
  return 1;
}
