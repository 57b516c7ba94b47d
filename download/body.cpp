// What stands between a unit and this program may change its answer's
// body: a proxy may send it chunked, a web server may send a file
// compressed whatever the client asked. Every body is therefore read
// through one stream per connection that undoes what the header announced
// (chunked framing, gzip or deflate), keeps the transfer from crawling, and
// refuses what it cannot undo rather than handing over bytes that are not
// the file. Also the socket line reader the line-by-line bodies use.
#include "download/body.h"

#include <cstring>
#include <new>

#include "platform/sock.h"
#include "platform/system.h"
#include "util/text.h"

namespace {
// A transfer slower than this on average over a whole window is given up.
const unsigned long long kMinBytesPerSecond = 1;

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

}  // namespace

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

namespace {

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

// The next compressed bytes of the body into the inflate input: 1, 0 at the
// body's end, SOCKET_ERROR.
long FillInflateInput(BodyStream *pBs) {
  long r = Unchunked(pBs, pBs->zin, sizeof pBs->zin);
  if (r <= 0) return r;
  pBs->nZinLen = (std::size_t)r;
  pBs->z.next_in = (Bytef *)pBs->zin;
  pBs->z.avail_in = (uInt)r;
  return 1;
}

// Counts the bytes one inflate call took and gave; 0 (the body failed) when
// the body inflates beyond any ratio a log has.
int CountInflated(BodyStream *pBs, std::size_t nIn, std::size_t nOut) {
  pBs->ullZIn += nIn;
  pBs->ullZOut += nOut;
  if (pBs->ullZOut > kInflateFreeBytes && pBs->ullZOut > kInflateMaxRatio * pBs->ullZIn) {
    // Log text compresses tenfold or so; a body that grows far beyond
    // that is built to fill memory and disk, not a file of the unit.
    char szWhy[96];
    FormatString(szWhy, sizeof szWhy, "the compressed body inflates to more than %llu times its size",
                 kInflateMaxRatio);
    FailStream(pBs, szWhy);
    return 0;
  }
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
        long r = FillInflateInput(pBs);
        if (r < 0) return SOCKET_ERROR;
        if (r == 0) {
          pBs->bZEnd = 1;
          pBs->EndInflate();
          return 0;
        }
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
      long r = FillInflateInput(pBs);
      if (r < 0) return SOCKET_ERROR;
      if (r == 0) {
        FailStream(pBs, "the compressed body was cut short");
        return SOCKET_ERROR;
      }
    }
    pBs->z.next_out = (Bytef *)pBuf;
    pBs->z.avail_out = (uInt)n;
    const uInt nInBefore = pBs->z.avail_in;
    int zr = inflate(&pBs->z, Z_NO_FLUSH);
    const std::size_t nOut = n - pBs->z.avail_out;
    if (!CountInflated(pBs, nInBefore - pBs->z.avail_in, nOut)) return SOCKET_ERROR;
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

}  // namespace

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
