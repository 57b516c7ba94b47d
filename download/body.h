// The body stream of one connection's answer, inside download/: HttpGet
// (http.cpp) makes one for each socket it opens and sets it up for what the
// header announced; the body's readers (body.cpp) read through it.
#pragma once
#include <zlib.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "download/download.h"

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

// A fresh stream for the socket just put into the slot (one of a few per
// thread, the oldest reused); null when memory is short.
BodyStream *NewStream(const std::atomic<SOCKET> *pSlot, SOCKET s);
// The body has failed for the reason given; the first reason stays.
void FailStream(BodyStream *pBs, const char *pszWhy);
// One receive from the stream's socket, counted against the slow-transfer
// limit (DownloadSlowWindowMs): >0, 0 at the connection's end, SOCKET_ERROR.
long PacedRecv(BodyStream *pBs, void *pBuf, std::size_t n);
// Prepares the stream for the transfer and content codings the header
// announced (comma-separated lists) and for pJob->llContentLength.
void SetUpBody(DownloadJob *pJob, BodyStream *pBs, const char *pszTransfer,
               const char *pszContent);
