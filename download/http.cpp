// The HTTP/1.0 client every exchange with a unit goes through: one GET per
// connection with Basic authentication, the header read up to its blank
// line, and the connection handed to the caller positioned at the body.
// Also the body stream that takes off a chunked framing and inflates a
// compressed body, the socket line reader, the in-place Base64 encoder that
// builds the credentials and the creation of a log download's temporary file.
//
// Units answer plainly, but what stands between them and this program does
// not always: a proxy may send the body chunked, a web server may send a
// file compressed whatever the client asked, add long header lines or an
// interim "100 Continue". Every body is therefore read through one stream
// per connection that undoes what the header announced, and refuses what it
// cannot undo rather than handing over bytes that are not the file.
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "download/download.h"
#include "log/appstate.h"
#include "log/errorlog.h"
#include "merge/tempname.h"
#include "platform/file.h"
#include "platform/sock.h"
#include "platform/system.h"
#include "util/text.h"

namespace {
const unsigned short kDefaultPort = 80;
// A header is a few hundred bytes; one that goes on beyond these is a peer
// that would keep the unit (and the night) waiting without end.
const unsigned long long kHeaderMaxBytes = 64 * 1024;
// A transfer slower than this on average over a whole window is given up.
const unsigned long long kMinBytesPerSecond = 1;
}  // namespace

const unsigned kRecvTimeoutMs = 20000;
const unsigned kHeaderTimeoutMs = 60000;
std::atomic<unsigned> DownloadRecvTimeoutMs{kRecvTimeoutMs};
std::atomic<unsigned> DownloadHeaderTimeoutMs{kHeaderTimeoutMs};
const unsigned kConnectTimeoutMs = 20000;
const unsigned kSlowWindowMs = 60000;
std::atomic<unsigned> DownloadConnectTimeoutMs{kConnectTimeoutMs};
std::atomic<unsigned> DownloadSlowWindowMs{kSlowWindowMs};

int ParseUnitAddress(const char *pszText, std::uint32_t *pnAddr, unsigned short *pnPort) {
  *pnAddr = 0xffffffffu;
  *pnPort = kDefaultPort;
  char szHost[32];
  CopyString(szHost, pszText ? pszText : "", sizeof szHost);
  // A unit behind a port-forwarding router is reached as "a.b.c.d:port".
  char *pColon = std::strchr(szHost, ':');
  if (pColon) {
    *pColon = 0;
    const char *p = pColon + 1;
    long nPort = 0;
    if (!*p) return 0;
    for (; *p; ++p) {
      if (*p < '0' || *p > '9') return 0;
      nPort = nPort * 10 + (*p - '0');
      if (nPort > 65535) return 0;
    }
    if (nPort == 0) return 0;
    *pnPort = (unsigned short)nPort;
  }
  // Four decimal numbers of 0 to 255, as people type them: "010" is ten.
  // (The system's own reader takes a leading 0 as octal and also takes
  // "127.1" or "0x7f.1", any of which would reach another unit.) Blanks
  // around the address are allowed; nothing else is.
  const char *p = szHost;
  while (*p == ' ' || *p == '\t') p++;
  unsigned char abAddr[4];
  for (int i = 0; i < 4; i++) {
    if (i > 0 && *p++ != '.') return 0;
    int nValue = 0, nDigits = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
      if (++nDigits > 3) return 0;
      nValue = nValue * 10 + (*p - '0');
    }
    if (nDigits == 0 || nValue > 255) return 0;
    abAddr[i] = (unsigned char)nValue;
  }
  while (*p == ' ' || *p == '\t') p++;
  if (*p) return 0;
  // In network order: the bytes stand in memory as they were written.
  std::memcpy(pnAddr, abAddr, sizeof abAddr);
  // 255.255.255.255 is the broadcast address, which no unit can have.
  return *pnAddr != 0xffffffffu;
}

char *EncodeBase64InPlace(char *pBuf, int nLen, int *pnOutLen) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (nLen < 0) nLen = 0;
  const unsigned char *pIn = (const unsigned char *)pBuf;
  int nRest = nLen % 3;
  int nGroups = nLen / 3;
  int nOut = (nRest == 0 ? 4 * nGroups : 4 * (nGroups + 1)) + 2;
  if (pnOutLen) *pnOutLen = nOut;
  // The output is longer than the input, so it is written from the end
  // backwards: every output byte lands at or beyond the input bytes still to
  // be read. The line end lies past the last input byte already.
  pBuf[nOut] = 0;
  pBuf[nOut - 1] = '\n';
  pBuf[nOut - 2] = '\r';
  int i = 3 * nGroups;
  int o = 4 * nGroups;
  if (nRest == 1) {
    unsigned a = pIn[i];
    pBuf[o] = kAlphabet[a >> 2];
    pBuf[o + 1] = kAlphabet[(a & 3) << 4];
    pBuf[o + 2] = '=';
    pBuf[o + 3] = '=';
  } else if (nRest == 2) {
    unsigned a = pIn[i], b = pIn[i + 1];
    pBuf[o] = kAlphabet[a >> 2];
    pBuf[o + 1] = kAlphabet[((a & 3) << 4) | (b >> 4)];
    pBuf[o + 2] = kAlphabet[(b & 15) << 2];
    pBuf[o + 3] = '=';
  }
  for (int g = nGroups - 1; g >= 0; --g) {
    unsigned a = pIn[3 * g], b = pIn[3 * g + 1], c = pIn[3 * g + 2];
    pBuf[4 * g] = kAlphabet[a >> 2];
    pBuf[4 * g + 1] = kAlphabet[((a & 3) << 4) | (b >> 4)];
    pBuf[4 * g + 2] = kAlphabet[((b & 15) << 2) | (c >> 6)];
    pBuf[4 * g + 3] = kAlphabet[c & 63];
  }
  return pBuf + nOut;
}

namespace {

// The decoding state of one connection's answer. HttpGet sets it up for the
// socket it opens in a slot; a socket it did not open is read plainly.
struct BodyStream {
  const std::atomic<SOCKET> *pSlot = nullptr;
  SOCKET sock = INVALID_SOCKET;
  unsigned long long ullUse = 0;  // for reusing the oldest entry
  // what the header announced
  int bChunked = 0;
  int nCoding = 0;           // 0 none, 1 gzip, 2 deflate
  long long llRawLength = -1;  // Content-Length of an unchunked body
  unsigned nRecvTimeoutMs = 0;
  char szProblem[96] = "";   // set once the body has failed for a reason of its own
  int bFailed = 0;
  int bDone = 0;
  // pace: bytes received in the current window
  std::uint64_t tWindow = 0;
  unsigned long long ullWindowBytes = 0;
  // raw bytes taken from the socket and not yet used
  char raw[8192];
  std::size_t nRawPos = 0, nRawLen = 0;
  unsigned long long ullRaw = 0;
  // chunked framing
  int nChunkState = 0;  // 0 size line, 1 data, 2 line end after data, 3 trailer, 4 done
  unsigned long long ullChunkLeft = 0;
  // inflate
  z_stream z{};
  int bZInit = 0, bZEnd = 0, bZRawTried = 0, bZFirst = 1;
  int bZBetween = 0;  // a gzip member has ended; another may follow
  char zin[8192];
  std::size_t nZinLen = 0;
  unsigned long long ullZIn = 0, ullZOut = 0;  // over all members

  ~BodyStream() { EndInflate(); }
  void EndInflate() {
    if (bZInit) inflateEnd(&z);
    bZInit = 0;
  }
};

// A few streams per thread: the worker reads at most two connections at a
// time (the query and the file slot). Made on a thread's first exchange,
// so threads that never talk to a unit carry none.
const int kStreams = 4;
struct StreamSet {
  BodyStream *p = nullptr;
  ~StreamSet() { delete[] p; }
};
thread_local StreamSet tlsStreams;
thread_local unsigned long long tlsStreamUse = 0;

BodyStream *FindStream(const std::atomic<SOCKET> *pSlot) {
  if (!tlsStreams.p) return nullptr;
  for (int i = 0; i < kStreams; i++) {
    BodyStream &bs = tlsStreams.p[i];
    if (bs.pSlot == pSlot && bs.sock != INVALID_SOCKET && bs.sock == pSlot->load()) return &bs;
  }
  return nullptr;
}

// A fresh stream for the socket just put into the slot; null when memory is
// short.
BodyStream *NewStream(const std::atomic<SOCKET> *pSlot, SOCKET s) {
  if (!tlsStreams.p) tlsStreams.p = new (std::nothrow) BodyStream[kStreams];
  if (!tlsStreams.p) return nullptr;
  BodyStream *pPick = &tlsStreams.p[0];
  for (int i = 0; i < kStreams; i++) {
    BodyStream &bs = tlsStreams.p[i];
    if (bs.pSlot == pSlot) {
      pPick = &bs;
      break;
    }
    if (bs.ullUse < pPick->ullUse) pPick = &bs;
  }
  pPick->EndInflate();
  pPick->~BodyStream();
  new (pPick) BodyStream();
  pPick->pSlot = pSlot;
  pPick->sock = s;
  pPick->ullUse = ++tlsStreamUse;
  pPick->tWindow = PlatTickMs();
  return pPick;
}

void FailStream(BodyStream *pBs, const char *pszWhy) {
  if (!pBs->bFailed) CopyString(pBs->szProblem, pszWhy, sizeof pBs->szProblem);
  pBs->bFailed = 1;
}

// One receive from the socket, counted against the slow-transfer limit: a
// window in which fewer bytes than one per second arrived ends the
// transfer as a timeout would.
long PacedRecv(BodyStream *pBs, void *pBuf, std::size_t n) {
  const std::uint64_t tNow = PlatTickMs();
  const unsigned nWindow = DownloadSlowWindowMs.load();
  const std::uint64_t tElapsed = tNow - pBs->tWindow;
  if (tElapsed >= nWindow) {
    // Measured over the time that really passed: a receive may have waited
    // well beyond the window's end.
    if (pBs->ullWindowBytes * 1000 < tElapsed * kMinBytesPerSecond) {
      char szWhy[96];
      FormatString(szWhy, sizeof szWhy, "less than %llu byte per second arrived for %u s",
                   kMinBytesPerSecond, nWindow / 1000);
      FailStream(pBs, szWhy);
      return SOCKET_ERROR;
    }
    pBs->tWindow = tNow;
    pBs->ullWindowBytes = 0;
  }
  long r = PlatRecv(pBs->pSlot->load(), pBuf, n);
  if (r > 0) pBs->ullWindowBytes += (unsigned long long)r;
  if (r == SOCKET_ERROR && PlatSockTimedOut(PlatSockLastError())) {
    // Said as it is: a unit that went quiet, not one that hung up.
    char szWhy[96];
    FormatString(szWhy, sizeof szWhy, "no data for %u s", pBs->nRecvTimeoutMs / 1000);
    FailStream(pBs, szWhy);
  }
  return r;
}

// Raw body bytes (the framing still on): >0, 0 at the connection's end,
// SOCKET_ERROR.
long RawBody(BodyStream *pBs, char *pBuf, std::size_t n) {
  if (pBs->nRawPos == pBs->nRawLen) {
    // A body whose announced length has arrived is whole: a server that
    // keeps its connections open sends nothing more, and waiting for its
    // close would only end in a timeout.
    if (pBs->llRawLength >= 0 && pBs->ullRaw >= (unsigned long long)pBs->llRawLength) return 0;
    // Plain bodies are read as asked (a line reader asks for one byte and
    // so takes nothing beyond its line); framed ones through the buffer.
    // A receive is not cut at the announced length: bytes beyond it that
    // come with the last ones are still seen (and refused) by the reader.
    if (!pBs->bChunked && pBs->nCoding == 0) {
      long r = PacedRecv(pBs, pBuf, n);
      if (r > 0) pBs->ullRaw += (unsigned long long)r;
      return r;
    }
    long r = PacedRecv(pBs, pBs->raw, sizeof pBs->raw);
    if (r <= 0) {
      if (r == 0 && pBs->llRawLength >= 0 && pBs->ullRaw < (unsigned long long)pBs->llRawLength) {
        char szWhy[96];
        FormatString(szWhy, sizeof szWhy, "cut short, %llu of %lld encoded bytes arrived",
                     pBs->ullRaw, pBs->llRawLength);
        FailStream(pBs, szWhy);
        return SOCKET_ERROR;
      }
      return r;
    }
    pBs->ullRaw += (unsigned long long)r;
    if (pBs->llRawLength >= 0 && pBs->ullRaw > (unsigned long long)pBs->llRawLength) {
      char szWhy[96];
      FormatString(szWhy, sizeof szWhy, "more than the %lld encoded bytes announced arrived",
                   pBs->llRawLength);
      FailStream(pBs, szWhy);
      return SOCKET_ERROR;
    }
    pBs->nRawPos = 0;
    pBs->nRawLen = (std::size_t)r;
  }
  std::size_t k = pBs->nRawLen - pBs->nRawPos;
  if (k > n) k = n;
  std::memcpy(pBuf, pBs->raw + pBs->nRawPos, k);
  pBs->nRawPos += k;
  return (long)k;
}

// One raw byte: 1, 0 at the end, SOCKET_ERROR.
int RawByte(BodyStream *pBs, char *pc) { return (int)RawBody(pBs, pc, 1); }

// Reads a framing line (chunk size or trailer field) up to its LF, keeping
// at most nCap - 1 bytes of it. 1, or 0 when the connection ended or failed
// first (*pbCut tells a plain end).
int FramingLine(BodyStream *pBs, char *pszBuf, std::size_t nCap, int *pbCut) {
  std::size_t n = 0;
  *pbCut = 0;
  for (;;) {
    char c;
    int r = RawByte(pBs, &c);
    if (r != 1) {
      *pbCut = r == 0;
      return 0;
    }
    if (c == '\n') break;
    if (n + 1 < nCap) pszBuf[n++] = c;
  }
  if (n > 0 && pszBuf[n - 1] == '\r') n--;
  pszBuf[n] = 0;
  return 1;
}

// The body with its chunked framing taken off (or as it comes when it has
// none): >0, 0 at the body's end, SOCKET_ERROR.
long Unchunked(BodyStream *pBs, char *pBuf, std::size_t n) {
  if (!pBs->bChunked) return RawBody(pBs, pBuf, n);
  for (;;) {
    int bCut = 0;
    char szLine[128];
    switch (pBs->nChunkState) {
      case 0: {  // chunk size in hex, maybe extensions after ';'
        if (!FramingLine(pBs, szLine, sizeof szLine, &bCut)) {
          if (bCut) FailStream(pBs, "the chunked body was cut short");
          return SOCKET_ERROR;
        }
        const char *p = szLine;
        while (*p == ' ' || *p == '\t') p++;
        unsigned long long ull = 0;
        int nDigits = 0;
        for (;; p++, nDigits++) {
          int d = *p >= '0' && *p <= '9' ? *p - '0'
                  : *p >= 'a' && *p <= 'f' ? *p - 'a' + 10
                  : *p >= 'A' && *p <= 'F' ? *p - 'A' + 10
                                           : -1;
          if (d < 0) break;
          if (ull > (1ULL << 40)) break;  // no chunk is that long
          ull = ull * 16 + (unsigned)d;
        }
        while (*p == ' ' || *p == '\t') p++;
        if (nDigits == 0 || (*p && *p != ';')) {
          FailStream(pBs, "the chunked framing of the body was damaged");
          return SOCKET_ERROR;
        }
        pBs->ullChunkLeft = ull;
        pBs->nChunkState = ull ? 1 : 3;
        break;
      }
      case 1: {
        std::size_t k = n;
        if (k > pBs->ullChunkLeft) k = (std::size_t)pBs->ullChunkLeft;
        long r = RawBody(pBs, pBuf, k);
        if (r <= 0) {
          if (r == 0) FailStream(pBs, "the chunked body was cut short");
          return SOCKET_ERROR;
        }
        pBs->ullChunkLeft -= (unsigned long long)r;
        if (pBs->ullChunkLeft == 0) pBs->nChunkState = 2;
        return r;
      }
      case 2:  // the CR LF after a chunk's data
        if (!FramingLine(pBs, szLine, sizeof szLine, &bCut)) {
          if (bCut) FailStream(pBs, "the chunked body was cut short");
          return SOCKET_ERROR;
        }
        if (szLine[0]) {
          FailStream(pBs, "the chunked framing of the body was damaged");
          return SOCKET_ERROR;
        }
        pBs->nChunkState = 0;
        break;
      case 3:  // trailer fields up to an empty line
        if (!FramingLine(pBs, szLine, sizeof szLine, &bCut)) {
          if (bCut) FailStream(pBs, "the chunked body was cut short");
          return SOCKET_ERROR;
        }
        if (!szLine[0]) pBs->nChunkState = 4;
        break;
      default:
        // The last chunk and the trailer have come: the body is whole,
        // whether or not the server closes its connection.
        return 0;
    }
  }
}

// Inflated bytes allowed whatever the ratio, and the ratio to the compressed
// bytes beyond them.
const unsigned long long kInflateFreeBytes = 4ULL << 20;
const unsigned long long kInflateMaxRatio = 100;

int StartInflate(BodyStream *pBs, int nWindowBits) {
  pBs->EndInflate();
  std::memset(&pBs->z, 0, sizeof pBs->z);
  if (inflateInit2(&pBs->z, nWindowBits) != Z_OK) return 0;
  pBs->bZInit = 1;
  return 1;
}

// The decoded body: >0, 0 at its end, SOCKET_ERROR.
long Decoded(BodyStream *pBs, char *pBuf, std::size_t n) {
  if (pBs->nCoding == 0) return Unchunked(pBs, pBuf, n);
  if (!pBs->bZInit && !pBs->bZEnd) {
    // gzip, or the zlib stream that "deflate" names (either is recognised
    // by its header); a raw deflate stream is tried when that fails.
    if (!StartInflate(pBs, 15 + 32)) {
      FailStream(pBs, "no memory to inflate the body");
      return SOCKET_ERROR;
    }
  }
  for (;;) {
    if (pBs->bZBetween) {
      // gzip allows several members one after the other (the file is all
      // of them); the body ends only where the data ends.
      if (pBs->z.avail_in == 0) {
        long r = Unchunked(pBs, pBs->zin, sizeof pBs->zin);
        if (r < 0) return SOCKET_ERROR;
        if (r == 0) {
          pBs->bZEnd = 1;
          pBs->EndInflate();
          return 0;
        }
        pBs->nZinLen = (std::size_t)r;
        pBs->z.next_in = (Bytef *)pBs->zin;
        pBs->z.avail_in = (uInt)r;
      }
      inflateReset(&pBs->z);
      pBs->bZBetween = 0;
    }
    if (pBs->bZEnd) {
      // Anything after the compressed data is not part of the file.
      char buf[256];
      long r;
      while ((r = Unchunked(pBs, buf, sizeof buf)) > 0) {
      }
      return r;
    }
    if (pBs->z.avail_in == 0) {
      long r = Unchunked(pBs, pBs->zin, sizeof pBs->zin);
      if (r < 0) return SOCKET_ERROR;
      if (r == 0) {
        FailStream(pBs, "the compressed body was cut short");
        return SOCKET_ERROR;
      }
      pBs->nZinLen = (std::size_t)r;
      pBs->z.next_in = (Bytef *)pBs->zin;
      pBs->z.avail_in = (uInt)r;
    }
    pBs->z.next_out = (Bytef *)pBuf;
    pBs->z.avail_out = (uInt)n;
    const uInt nInBefore = pBs->z.avail_in;
    int zr = inflate(&pBs->z, Z_NO_FLUSH);
    const std::size_t nOut = n - pBs->z.avail_out;
    pBs->ullZIn += nInBefore - pBs->z.avail_in;
    pBs->ullZOut += nOut;
    if (pBs->ullZOut > kInflateFreeBytes && pBs->ullZOut > kInflateMaxRatio * pBs->ullZIn) {
      // Log text compresses tenfold or so; a body that grows far beyond
      // that is built to fill memory and disk, not a file of the unit.
      char szWhy[96];
      FormatString(szWhy, sizeof szWhy, "the compressed body inflates to more than %llu times its size",
                   kInflateMaxRatio);
      FailStream(pBs, szWhy);
      return SOCKET_ERROR;
    }
    if (zr == Z_DATA_ERROR && pBs->nCoding == 2 && pBs->bZFirst && !pBs->bZRawTried &&
        pBs->z.total_out == 0) {
      // Some servers send "deflate" without the zlib wrapper.
      pBs->bZRawTried = 1;
      if (!StartInflate(pBs, -15)) {
        FailStream(pBs, "no memory to inflate the body");
        return SOCKET_ERROR;
      }
      pBs->z.next_in = (Bytef *)pBs->zin;
      pBs->z.avail_in = (uInt)pBs->nZinLen;
      continue;
    }
    if (zr == Z_STREAM_END && pBs->nCoding == 1) {
      pBs->bZBetween = 1;
    } else if (zr == Z_STREAM_END) {
      pBs->bZEnd = 1;
      pBs->EndInflate();
    } else if (zr != Z_OK && zr != Z_BUF_ERROR) {
      FailStream(pBs, "the compressed body was damaged");
      return SOCKET_ERROR;
    }
    if (nOut > 0) {
      pBs->bZFirst = 0;
      return (long)nOut;
    }
  }
}

// Lower-case copy of a header value's token list, blanks removed.
void HeaderValue(const char *pszLine, std::size_t nName, char *pszOut, std::size_t nCap) {
  std::size_t n = 0;
  for (const char *p = pszLine + nName; *p && n + 1 < nCap; p++) {
    char c = *p;
    if (c == ' ' || c == '\t' || c == '\r') continue;
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    pszOut[n++] = c;
  }
  pszOut[n] = 0;
}

int HeaderIs(const char *pszLine, const char *pszName) {
  std::size_t i = 0;
  for (; pszName[i]; i++) {
    char c = pszLine[i];
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    if (c != pszName[i]) return 0;
  }
  return 1;
}

}  // namespace

long HttpRecvBody(std::atomic<SOCKET> *pSlot, void *pBuf, std::size_t n) {
  BodyStream *pBs = FindStream(pSlot);
  if (!pBs) return PlatRecv(pSlot->load(), pBuf, n);
  if (pBs->bFailed) return SOCKET_ERROR;
  if (pBs->bDone) return 0;
  if (n == 0) return 0;
  long r = Decoded(pBs, (char *)pBuf, n);
  if (r == 0) pBs->bDone = 1;
  return r;
}

const char *HttpBodyProblem(std::atomic<SOCKET> *pSlot) {
  BodyStream *pBs = FindStream(pSlot);
  return pBs && pBs->bFailed ? pBs->szProblem : "";
}

int RecvLineEnd(std::atomic<SOCKET> *pSlot, char *pszBuf, int nCap, int *pnEnd) {
  if (pnEnd) *pnEnd = 0;
  if (nCap <= 0) return 0;
  // One byte per receive: nothing beyond the line's LF is taken from the
  // connection, so whoever reads the body next starts at its first byte.
  int n = 0;
  while (n < nCap - 1) {
    char c;
    long r = HttpRecvBody(pSlot, &c, 1);
    if (r != 1) {
      if (pnEnd) *pnEnd = r == 0 ? 1 : -1;
      pszBuf[n] = 0;
      return n > 0 ? 1 : 0;
    }
    if (c == '\n') {
      pszBuf[n] = 0;
      return 1;
    }
    pszBuf[n++] = c;
  }
  if (pnEnd) *pnEnd = 2;  // the buffer is full; the line goes on
  pszBuf[n] = 0;
  return 1;
}

int RecvLine(std::atomic<SOCKET> *pSlot, char *pszBuf, int nCap) {
  return RecvLineEnd(pSlot, pszBuf, nCap, nullptr);
}

namespace {

// The value of a "Content-Length:" header line (any case, blanks allowed,
// a CR at the end); -1 for any other line, -2 for a value that is no plain
// decimal number of a length a body can have ("+100", "0x64", 30 digits).
long long ContentLengthOf(const char *pszLine) {
  if (!HeaderIs(pszLine, "content-length:")) return -1;
  const char *p = pszLine + 15;
  while (*p == ' ' || *p == '\t') p++;
  if (*p < '0' || *p > '9') return -2;
  long long ll = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    if (ll > (1LL << 50)) return -2;  // no body is that long
    ll = ll * 10 + (*p - '0');
  }
  while (*p == ' ' || *p == '\t' || *p == '\r') p++;
  return *p ? -2 : ll;
}

// The first characters of a header line's value, for log entries.
void ValueForLog(const char *pszLine, std::size_t nName, char *pszOut, std::size_t nCap) {
  const char *p = pszLine + nName;
  while (*p == ' ' || *p == '\t') p++;
  std::size_t n = 0;
  for (; *p && *p != '\r' && n + 1 < nCap; p++) pszOut[n++] = (*p >= ' ' && *p < 0x7f) ? *p : '?';
  pszOut[n] = 0;
}

// Prepares the body stream for what the header announced. A coding this
// client cannot undo makes every read of the body fail, so that nothing of
// it is stored, merged or acted on.
void SetUpBody(DownloadJob *pJob, BodyStream *pBs, const char *pszTransfer,
               const char *pszContent) {
  char szWhy[96];
  // Transfer codings: "chunked", last; "identity" means none.
  char szCopy[128];
  CopyString(szCopy, pszTransfer, sizeof szCopy);
  char *pCursor = szCopy;
  for (char *pTok; (pTok = NextField(&pCursor, ",")) != nullptr;) {
    if (!*pTok || std::strcmp(pTok, "identity") == 0) continue;
    if (std::strcmp(pTok, "chunked") == 0 && !pBs->bChunked) {
      pBs->bChunked = 1;
      continue;
    }
    FormatString(szWhy, sizeof szWhy, "sent in a transfer encoding this program cannot read (%s)",
                 pszTransfer);
    FailStream(pBs, szWhy);
    break;
  }
  CopyString(szCopy, pszContent, sizeof szCopy);
  pCursor = szCopy;
  for (char *pTok; (pTok = NextField(&pCursor, ",")) != nullptr;) {
    if (!*pTok || std::strcmp(pTok, "identity") == 0) continue;
    int nCoding = std::strcmp(pTok, "gzip") == 0 || std::strcmp(pTok, "x-gzip") == 0 ? 1
                  : std::strcmp(pTok, "deflate") == 0                                 ? 2
                                                                                      : 0;
    if (nCoding && !pBs->nCoding) {
      pBs->nCoding = nCoding;
      continue;
    }
    FormatString(szWhy, sizeof szWhy, "sent in a content encoding this program cannot read (%s)",
                 pszContent);
    FailStream(pBs, szWhy);
    break;
  }
  if (pBs->bChunked) {
    // The length of a chunked body is in its framing; a Content-Length
    // beside it means nothing.
    pJob->llContentLength = -1;
  } else if (pBs->nCoding) {
    // The announced length counts compressed bytes: the stream checks it.
    pBs->llRawLength = pJob->llContentLength;
    pJob->llContentLength = -1;
  } else {
    // The stream ends the body there; the reader checks what arrived.
    pBs->llRawLength = pJob->llContentLength;
  }
}

// Sends one request piece; 1 on success. A failure is reported here.
int SendPiece(DownloadJob *pJob, std::atomic<SOCKET> *pSlot, const char *pszPiece) {
  if (PlatSend(pSlot->load(), pszPiece, std::strlen(pszPiece)) == SOCKET_ERROR) {
    int nErr = PlatSockLastError();
    if (pJob->cState.load() != JOB_RUNNING) return 0;  // closed by a cancel
    LogError("download", __LINE__, "Error: send to %s reutrned %d", pJob->pDas->ipaddress, nErr);
    return 0;
  }
  return 1;
}

}  // namespace

int HttpGet(const char *pszPath, DownloadJob *pJob, std::atomic<SOCKET> *pSlot,
            int *pnHttpResult) {
  if (!pnHttpResult) {
    LogError("download", __LINE__, "nHttpResult is NULL");
    return 0;
  }
  *pnHttpResult = 0;
  pJob->llContentLength = -1;
  pJob->nHttpStage = HTTP_NONE;
  DasRecord *pDas = pJob->pDas;

  LogInfo("download", __LINE__, "Connecting to %s", pDas->ipaddress);
  SetJobStatus(pJob, "connecting to %s", pDas->ipaddress);

  std::uint32_t nAddr;
  unsigned short nPort;
  ParseUnitAddress(pDas->ipaddress, &nAddr, &nPort);  // a bad address fails the connect

  SOCKET s = PlatSocket();
  pSlot->store(s);
  if (s == INVALID_SOCKET) {
    LogError("download", __LINE__, "create socket failed.");
    return 0;
  }
  BodyStream *pBs = NewStream(pSlot, s);
  if (!pBs) {
    LogError("download", __LINE__, "Out of memory for the answer of %s", pDas->ipaddress);
    return 0;
  }
  // A cancel that came before the socket reached its slot could not close
  // it; the dialog's close marks the job first, so looking now is enough.
  if (pJob->cState.load() != JOB_RUNNING) return 0;
  pBs->nRecvTimeoutMs = DownloadRecvTimeoutMs.load();
  if (PlatSetRecvTimeout(pSlot->load(), pBs->nRecvTimeoutMs) != 0 ||
      PlatSetConnectTimeout(pSlot->load(), DownloadConnectTimeoutMs.load()) != 0) {
    LogError("download", __LINE__, "set socket timeout failed.");
    return 0;
  }
  if (PlatConnect(pSlot->load(), nAddr, nPort) != 0) {
    // The operator's cancel closes the socket under a connect that is still
    // waiting: that failure is no fault of the unit, and the worker says
    // once that the download was cancelled.
    if (pJob->cState.load() != JOB_RUNNING) return 0;
    LogError("download", __LINE__, "connect socket failed to %s", pDas->ipaddress);
    return 0;
  }
  if (pJob->cState.load() != JOB_RUNNING) return 0;
  pJob->nHttpStage = HTTP_CONNECTED;

  SetJobStatus(pJob, "connected, sending request to %s", pDas->ipaddress);
  LogInfo("download", __LINE__, "Sending URL request %s", pszPath);

  // Three pieces, one send each: the request line, the credentials, the
  // user agent with the blank line that ends the header.
  char szRequest[256];
  FormatString(szRequest, sizeof szRequest, "GET %s HTTP/1.0\r\n", pszPath);
  if (!SendPiece(pJob, pSlot, szRequest)) return 0;
  if (pJob->cState.load() != JOB_RUNNING) return 0;

  // "admin:" and a password of at most 31 characters; the buffer also has
  // room for the longer Base64 text and its CR LF.
  char szCredentials[256];
  FormatString(szCredentials, 64, "admin:%s", pDas->password);
  int nEncoded = 0;
  EncodeBase64InPlace(szCredentials, (int)std::strlen(szCredentials), &nEncoded);
  FormatString(szRequest, sizeof szRequest, "Authorization: Basic %s", szCredentials);
  if (!SendPiece(pJob, pSlot, szRequest)) return 0;
  if (pJob->cState.load() != JOB_RUNNING) return 0;

  FormatString(szRequest, sizeof szRequest,
               "User-Agent: Mozilla/4.0 (compatible; %s %s ; Win32)\r\n\r\n", APP_TITLE,
               APP_VERSION);
  if (!SendPiece(pJob, pSlot, szRequest)) return 0;
  if (pJob->cState.load() != JOB_RUNNING) return 0;
  pJob->nHttpStage = HTTP_SENT;
  pBs->tWindow = PlatTickMs();  // the unit's time to answer starts now

  // The header, line by line. A line is read whole whatever its length (a
  // proxy's cookie or Via line can be long); only its first bytes are kept,
  // which is all any line this client looks at needs. The header ends at an
  // empty line and nowhere else. Interim answers (1xx) have a header of
  // their own; the answer proper follows them.
  char szLine[256];
  char szValue[128];
  char szTransfer[128] = "", szContent[128] = "";
  // A length that is no plain number, or two that differ, cannot tell a
  // whole body from a cut one: the body is then refused.
  char szBadLength[80] = "";
  // The schemes of the 401 challenges: a unit that asks for one this
  // program does not speak is not told a wrong password.
  int bBasicAsked = 0;
  char szOtherScheme[24] = "";
  pJob->bHtmlAnswer = 0;
  const std::uint64_t tHeaderStart = PlatTickMs();
  const unsigned nHeaderMs = DownloadHeaderTimeoutMs.load();
  unsigned long long ullHeaderBytes = 0;
  auto Report401 = [&]() {
    if (*pnHttpResult != 401) return;
    if (!bBasicAsked && szOtherScheme[0])
      LogError("download", __LINE__,
               "DAS responded with 401 Access Denied.\n(%s asks for %s authentication, which this "
               "program does not speak)",
               pDas->ipaddress, szOtherScheme);
    else
      LogError("download", __LINE__,
               "DAS responded with 401 Access Denied.\n(admin password incorrect)");
  };
  for (;;) {
    std::size_t nLen = 0, nKept = 0;
    int nGot = 0, bLineEnd = 0, bTooLong = 0;
    for (;;) {
      char c;
      if (PlatTickMs() - tHeaderStart >= nHeaderMs) {
        char szWhy[96];
        FormatString(szWhy, sizeof szWhy, "its header did not end within %u s", nHeaderMs / 1000);
        FailStream(pBs, szWhy);
        bTooLong = 1;
        break;
      }
      if (++ullHeaderBytes > kHeaderMaxBytes) {
        char szWhy[96];
        FormatString(szWhy, sizeof szWhy, "its header went on for more than %llu bytes",
                     kHeaderMaxBytes);
        FailStream(pBs, szWhy);
        bTooLong = 1;
        break;
      }
      long r = PacedRecv(pBs, &c, 1);
      if (r != 1) break;
      nGot = 1;
      nLen++;
      if (c == '\n') {
        bLineEnd = 1;
        break;
      }
      if (nKept + 1 < sizeof szLine) szLine[nKept++] = c;
    }
    szLine[nKept] = 0;
    if (nGot) {
      pJob->ulBytes += (std::uint32_t)nLen;
      RefreshJob(pJob);
      if (std::strncmp(szLine, "HTTP/1.", 7) == 0) {
        // Every status line counts, the last one wins. The split leaves
        // the protocol field alone in the line.
        char *pCursor = szLine;
        NextField(&pCursor, " ");
        char *pCode = NextField(&pCursor, " ");
        if (pCode) {
          // Leading digits, as many as a status code has; more digits make
          // no code at all rather than one that wrapped around.
          int nCode = 0, nDigits = 0;
          while (pCode[nDigits] >= '0' && pCode[nDigits] <= '9' && nDigits < 4)
            nCode = nCode * 10 + (pCode[nDigits++] - '0');
          if (nDigits > 3) {
            char szShown[24];
            ValueForLog(pCode, 0, szShown, sizeof szShown);
            LogInfo("download", __LINE__, "Status code of %s cannot be read: %s", pDas->ipaddress,
                    szShown);
            nCode = 0;
          }
          *pnHttpResult = nCode;
        }
      }
      // The announced length is what tells a whole body from one cut by
      // an ordinary close (a server reload, a proxy's timeout).
      long long llLength = ContentLengthOf(szLine);
      if ((llLength == -2 || (llLength >= 0 && pJob->llContentLength >= 0 &&
                              llLength != pJob->llContentLength)) &&
          !szBadLength[0]) {
        char szShown[40];
        ValueForLog(szLine, 15, szShown, sizeof szShown);
        if (llLength == -2)
          FormatString(szBadLength, sizeof szBadLength, "Content-Length: %s", szShown);
        else
          FormatString(szBadLength, sizeof szBadLength, "Content-Length: %lld and %s",
                       pJob->llContentLength, szShown);
      }
      if (llLength >= 0) pJob->llContentLength = llLength;
      if (HeaderIs(szLine, "www-authenticate:")) {
        HeaderValue(szLine, 17, szValue, sizeof szValue);
        if (std::strncmp(szValue, "basic", 5) == 0) {
          bBasicAsked = 1;
        } else if (!szOtherScheme[0]) {
          // The scheme as the unit wrote it, up to its first blank.
          const char *p = szLine + 17;
          while (*p == ' ' || *p == '\t') p++;
          std::size_t n = 0;
          while (p[n] && p[n] != ' ' && p[n] != '\t' && p[n] != '\r' && n + 1 < sizeof szOtherScheme)
            n++;
          FormatString(szOtherScheme, sizeof szOtherScheme, "%.*s", (int)n, p);
        }
      } else if (HeaderIs(szLine, "transfer-encoding:")) {
        HeaderValue(szLine, 18, szValue, sizeof szValue);
        if (szTransfer[0]) AppendString(szTransfer, ",", sizeof szTransfer);
        AppendString(szTransfer, szValue, sizeof szTransfer);
      } else if (HeaderIs(szLine, "content-encoding:")) {
        HeaderValue(szLine, 17, szValue, sizeof szValue);
        if (szContent[0]) AppendString(szContent, ",", sizeof szContent);
        AppendString(szContent, szValue, sizeof szContent);
      } else if (HeaderIs(szLine, "content-type:")) {
        HeaderValue(szLine, 13, szValue, sizeof szValue);
        pJob->bHtmlAnswer = std::strncmp(szValue, "text/html", 9) == 0;
      }
      // Only a line that ended in its LF can be the empty one: a header cut
      // one byte into its next line is a cut header, not an answer with an
      // empty body (which a delete request could follow).
      int bEmpty = bLineEnd && (nLen == 1 || (nLen == 2 && szLine[0] == '\r'));
      if (bEmpty && *pnHttpResult >= 100 && *pnHttpResult < 200) {
        // The end of an interim answer: the real one comes next.
        *pnHttpResult = 0;
        pJob->llContentLength = -1;
        pJob->bHtmlAnswer = 0;
        szTransfer[0] = szContent[0] = 0;
        szBadLength[0] = 0;
        bBasicAsked = 0;
        szOtherScheme[0] = 0;
        continue;
      }
      if (bEmpty) {
        pJob->nHttpStage = HTTP_ANSWERED;
        Report401();
        SetUpBody(pJob, pBs, szTransfer, szContent);
        if (szBadLength[0]) {
          char szWhy[96];
          FormatString(szWhy, sizeof szWhy, "announced a length that cannot be trusted (%s)",
                       szBadLength);
          FailStream(pBs, szWhy);
          pJob->llContentLength = -1;
        }
        return 1;
      }
    }
    if (pJob->cState.load() != JOB_RUNNING) return 0;
    if (bTooLong) {
      // Not a unit that is merely slow or gone: one that keeps talking
      // without ever ending its header.
      Report401();
      LogError("download", __LINE__, "Answer of %s given up: %s", pDas->ipaddress, pBs->szProblem);
      return 0;
    }
    if (!nGot) {
      Report401();
      LogInfo("download", __LINE__,
              "URL request failed, no seperator between http header and body found.");
      if (pBs->bFailed)
        LogInfo("download", __LINE__, "Answer of %s given up: %s", pDas->ipaddress, pBs->szProblem);
      return 0;
    }
  }
}

int CreateTempLogFile(const char *pszDir, int nDevice, char *pszPath, int nCap, int *phFile) {
  FormatString(pszPath, (unsigned)nCap, "%s\\temp", pszDir);
  // Usually exists already. If it could not be made, that is the reason
  // the file cannot be created below, not the missing folder.
  int nMkdirErr = PlatMkdir(pszPath) == 0 ? 0 : PlatErrno();
  if (nMkdirErr == PLAT_EEXIST || nMkdirErr == PLAT_ENOENT) nMkdirErr = 0;  // the file says as much
  // The first free number: names of earlier downloads that were never
  // merged stay untouched. The bound only matters when a cut name repeats;
  // the exclusive create below then fails and says so.
  for (int k = 0; k < 10000; ++k) {
    char szName[64];
    FormatTempName(szName, sizeof szName, nDevice, k);
    FormatString(pszPath, (unsigned)nCap, "%s\\temp\\%s", pszDir, szName);
    int h = PlatOpen(pszPath, P_O_RDONLY | P_O_BINARY);
    if (h < 0) break;
    PlatClose(h);
  }
  *phFile = PlatOpen(pszPath, P_O_WRONLY | P_O_CREAT | P_O_EXCL | P_O_BINARY,
                     P_S_IREAD | P_S_IWRITE);
  if (*phFile < 0) {
    int nErr = PlatErrno();
    if (nErr == PLAT_ENOENT && nMkdirErr) {
      LogError("download", __LINE__, "Error creating directory %s\\temp, got %d %s", pszDir,
               nMkdirErr, PlatStrError(nMkdirErr));
      return 0;
    }
    LogError("download", __LINE__, "Error creating file %s, got %d %s", pszPath, nErr,
             PlatStrError(nErr));
    return 0;
  }
  LogInfo("download", __LINE__, "Created temp file %s", pszPath);
  return 1;
}
