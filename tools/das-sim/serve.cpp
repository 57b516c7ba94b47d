// One connection of the simulated unit: the request read up to its empty
// line, the password checked, and the answer sent the way the path's
// settings say (slow, stalled, cut, chunked, compressed, dribbled, or raw
// bytes). Every wait is a poll of kPollMs that also watches the stop flag.
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tools/das-sim/sim_int.h"

namespace sim {

namespace {

constexpr size_t kMaxRequest = 16384;    // longer headers are cut off
constexpr size_t kMaxRecorded = 10000;   // requests kept for SimRequests
constexpr int kRequestTimeoutMs = 10000; // a client that never finishes its header
constexpr int kSendTimeoutMs = 60000;    // a client that stops reading
constexpr int kDrainTimeoutMs = 2000;    // waiting for the client's close

bool Stopping(SimServer *p) { return p->bStop.load(); }

// Sleeps nMs in small slices; false if the server is stopping.
bool Nap(SimServer *p, int nMs) {
  while (nMs > 0) {
    if (Stopping(p)) return false;
    int n = std::min(nMs, kPollMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(n));
    nMs -= n;
  }
  return !Stopping(p);
}

// Sends everything on the non-blocking socket; false on error, stop or a
// client that reads nothing for kSendTimeoutMs.
bool SendAll(SimServer *p, int fd, const char *pData, size_t nLen) {
  int nIdle = 0;
  while (nLen > 0) {
    if (Stopping(p)) return false;
    ssize_t n = send(fd, pData, nLen, MSG_NOSIGNAL);
    if (n > 0) {
      pData += n;
      nLen -= static_cast<size_t>(n);
      nIdle = 0;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    pollfd pfd{fd, POLLOUT, 0};
    int r = poll(&pfd, 1, kPollMs);
    if (r == 0 && (nIdle += kPollMs) >= kSendTimeoutMs) return false;
    if (r > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
  }
  return true;
}

// Waits until the client closes (or the stop / the limit), reading and
// dropping whatever it sends. nLimitMs < 0: no limit but the stop.
void WaitClientClose(SimServer *p, int fd, int nLimitMs) {
  int nWaited = 0;
  char buf[4096];
  while (!Stopping(p) && (nLimitMs < 0 || nWaited < nLimitMs)) {
    pollfd pfd{fd, POLLIN, 0};
    int r = poll(&pfd, 1, kPollMs);
    if (r < 0 && errno != EINTR) return;
    if (r == 0) {
      nWaited += kPollMs;
      continue;
    }
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n == 0) return;
    if (n < 0 && errno != EAGAIN && errno != EINTR) return;
  }
}

// After the whole answer: with bKeepOpen the connection stays until the
// client closes it. Otherwise the client may read everything before the
// close: half-close, then wait for its close, so that request bytes it sent
// and we never read cannot turn into a reset.
void EndAnswer(SimServer *p, int fd, bool bKeepOpen) {
  if (bKeepOpen) {
    WaitClientClose(p, fd, -1);
    return;
  }
  shutdown(fd, SHUT_WR);
  WaitClientClose(p, fd, kDrainTimeoutMs);
}

// The request header ends with an empty line, CR LF or bare LF. Returns the
// length of the header including that line, 0 while it is incomplete.
size_t HeaderLength(const std::string &req) {
  size_t a = req.find("\n\n"), b = req.find("\n\r\n");
  size_t n = a == std::string::npos ? std::string::npos : a + 2;
  if (b != std::string::npos) n = std::min(n, b + 3);
  return n == std::string::npos ? 0 : n;
}

// Reads the request header up to its empty line. False when the client
// closed, timed out, sent too much or the server stops before it.
bool ReadRequest(SimServer *p, int fd, std::string *pReq) {
  int nWaited = 0;
  char buf[1024];
  while (!Stopping(p)) {
    if (size_t n = HeaderLength(*pReq)) {
      pReq->resize(n);  // anything after the header is not part of the request
      return true;
    }
    if (pReq->size() >= kMaxRequest) return false;
    pollfd pfd{fd, POLLIN, 0};
    int r = poll(&pfd, 1, kPollMs);
    if (r < 0 && errno != EINTR) return false;
    if (r <= 0) {
      if ((nWaited += kPollMs) >= kRequestTimeoutMs) return false;
      continue;
    }
    ssize_t n = recv(fd, buf, std::min(sizeof buf, kMaxRequest - pReq->size()), 0);
    if (n == 0) return false;
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return false;
    }
    pReq->append(buf, static_cast<size_t>(n));
  }
  return false;
}

bool AuthOk(const SimServer *p, const std::string &req) {
  const std::string want = SimBase64("admin:" + p->cfg.password);
  size_t pos = 0;
  while (pos < req.size()) {
    size_t e = req.find('\n', pos);
    std::string line = req.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
    pos = e == std::string::npos ? req.size() : e + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const char *key = "authorization:";
    if (line.size() < 14 || strncasecmp(line.c_str(), key, 14) != 0) continue;
    std::string v = line.substr(14);
    size_t b = v.find_first_not_of(" \t");
    if (b == std::string::npos) continue;
    v = v.substr(b);
    if (v.size() < 6 || strncasecmp(v.c_str(), "basic ", 6) != 0) continue;
    v = v.substr(6);
    b = v.find_first_not_of(" \t");
    v = b == std::string::npos ? "" : v.substr(b);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.pop_back();
    if (v == want) return true;
  }
  return false;
}

// The length of the whole body SendBody produces (a cut or stall sends less,
// which is exactly what the announced length lets a client notice).
long long BodyLength(const SimServer *p, const Answer &a) {
  const long long llHeader = SimHeaderBytes(p->cfg), llRecord = SimRecordBytes(p->cfg);
  if (a.nLogDevice > 0) return llHeader + static_cast<long long>(a.nTo - a.nFrom) * llRecord;
  if (a.nGenBytes >= 0) {
    long long n = 0, llDone = 0;
    while (llDone < a.nGenBytes) llDone = llHeader + ++n * llRecord;
    return llHeader + n * llRecord;
  }
  return static_cast<long long>(a.body.size());
}

// Streams the answer's body, applying slow, stall and cut.
void SendBody(SimServer *p, int fd, const Answer &a) {
  const Fault &f = a.fault;
  long nSent = 0;
  long nLimit = -1;  // bytes after which the stall or cut happens
  if (f.bStall) nLimit = f.nStallAfter;
  if (f.bCut && (nLimit < 0 || f.nCutAfter < nLimit)) nLimit = f.nCutAfter;
  const bool bCutFirst = f.bCut && nLimit == f.nCutAfter;
  size_t nChunk = f.nSlowChunk > 0 ? static_cast<size_t>(f.nSlowChunk) : 0;

  // Produces the body piece by piece: the fixed text, or generated lines.
  std::string pending;
  size_t nFixedPos = 0;
  long nNext = a.nFrom;
  bool bHeader = a.nLogDevice > 0 || a.nGenBytes >= 0;
  long nGenDone = 0;
  auto more = [&]() -> bool {
    pending.clear();
    if (a.nLogDevice == 0 && a.nGenBytes < 0) {
      if (nFixedPos >= a.body.size()) return false;
      pending = a.body.substr(nFixedPos, 65536);
      nFixedPos += pending.size();
      return true;
    }
    if (bHeader) {
      pending = LogHeader(p->cfg);
      bHeader = false;
    }
    while (pending.size() < 65536) {
      if (a.nLogDevice > 0) {
        if (nNext >= a.nTo) break;
        pending += RecordLine(p->cfg, p->llFirst, a.nLogDevice, nNext++);
      } else {
        if (nGenDone >= a.nGenBytes) break;
        pending += RecordLine(p->cfg, p->llFirst, 1, nNext++);
        nGenDone = static_cast<long>(SimHeaderBytes(p->cfg)) + nNext * SimRecordBytes(p->cfg);
      }
    }
    return !pending.empty();
  };

  while (more()) {
    size_t pos = 0;
    while (pos < pending.size()) {
      size_t n = pending.size() - pos;
      if (nChunk) n = std::min(n, nChunk);
      if (nLimit >= 0) n = static_cast<size_t>(std::min<long>(static_cast<long>(n), nLimit - nSent));
      if (n > 0) {
        if (!SendAll(p, fd, pending.data() + pos, n)) return;
        pos += n;
        nSent += static_cast<long>(n);
      }
      if (nLimit >= 0 && nSent >= nLimit) {
        if (bCutFirst) {
          if (f.bCutReset) {
            linger lg{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
          }
          return;
        }
        WaitClientClose(p, fd, -1);  // stall
        return;
      }
      if (nChunk && f.nSlowDelayMs > 0 && !Nap(p, f.nSlowDelayMs)) return;
    }
  }
  EndAnswer(p, fd, f.bKeepOpen);
}

// The body of an answer as one text, generated lines and added lines
// included.
std::string WholeBody(SimServer *p, const Answer &a) {
  if (a.nLogDevice == 0 && a.nGenBytes < 0) return a.body;
  const std::string e = Eol(p->cfg.bCrlfLog);
  std::string s;
  for (const std::string &l : a.fault.frontLines) s += l + e;
  const size_t nFront = s.size();
  s += LogHeader(p->cfg);
  if (a.nLogDevice > 0) {
    for (long i = a.nFrom; i < a.nTo; i++) s += RecordLine(p->cfg, p->llFirst, a.nLogDevice, i);
  } else {
    for (long i = 0; static_cast<long>(s.size() - nFront) < a.nGenBytes; i++)
      s += RecordLine(p->cfg, p->llFirst, 1, i);
  }
  for (const std::string &l : a.fault.backLines) s += l + e;
  return s;
}

// gzip member (bGzip) or zlib stream ("deflate" on the wire).
std::string Compress(const std::string &in, bool bGzip) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, bGzip ? 31 : 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return in;
  std::string out(deflateBound(&z, static_cast<uLong>(in.size())) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef *>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Chunked framing with varied chunk sizes, extensions and a trailer as set.
std::string Chunked(const std::string &body, const Fault &f) {
  const size_t base = static_cast<size_t>(f.nChunk);
  const size_t sizes[] = {base, 1, 3 * base + 7, 13};
  std::string out;
  size_t at = 0;
  for (int i = 0; at < body.size(); i++) {
    const size_t n = std::min(sizes[i % 4], body.size() - at);
    char head[64];
    const char *ext = !f.bChunkExt ? "" : i % 3 == 1 ? ";ext=1" : i % 3 == 2 ? ";name=\"a b\"" : "";
    snprintf(head, sizeof head, i % 2 ? "%zX%s\r\n" : "%zx%s\r\n", n, ext);
    out += head;
    out.append(body, at, n);
    out += "\r\n";
    at += n;
  }
  out += "0\r\n";
  if (f.bChunkTrailer) out += "X-Trailer: done\r\n";
  out += "\r\n";
  return out;
}

// The status line and the header fields that come before the length.
std::string StatusHead(const Answer &a) {
  const Fault &f = a.fault;
  std::string head;
  for (int i = 0; i < f.nInterim; i++) head += "HTTP/1.1 100 Continue\r\n\r\n";
  char status[128];
  snprintf(status, sizeof status, "HTTP/1.0 %d %s\r\nContent-Type: %s\r\n", a.nStatus,
           StatusText(a.nStatus), a.pszType);
  head += status;
  if (!f.coding.empty()) head += "Content-Encoding: " + f.coding + "\r\n";
  if (f.nChunk > 0) head += "Transfer-Encoding: chunked\r\n";
  return head;
}

// Whether the body must be made whole before it is sent: it is compressed,
// framed, dribbled, or a generated log gets added lines.
bool NeedsWholeBody(const Answer &a) {
  const Fault &f = a.fault;
  return f.nChunk > 0 || !f.coding.empty() || f.nDribbleMs > 0 ||
         ((a.nLogDevice > 0 || a.nGenBytes >= 0) && (!f.frontLines.empty() || !f.backLines.empty()));
}

// Sends the answer of a request that passed: header, then body.
void SendAnswer(SimServer *p, int fd, const Answer &a) {
  const Fault &f = a.fault;
  std::string head = StatusHead(a);
  if (!NeedsWholeBody(a)) {
    if (!p->cfg.bNoContentLength) head += "Content-Length: " + std::to_string(BodyLength(p, a)) + "\r\n";
    for (const std::string &l : f.headers) head += l + "\r\n";
    head += "\r\n";
    if (SendAll(p, fd, head.data(), head.size())) SendBody(p, fd, a);
    return;
  }
  std::string body = WholeBody(p, a);
  if (f.coding == "gzip" || f.coding == "deflate") body = Compress(body, f.coding == "gzip");
  if (f.nChunk > 0) body = Chunked(body, f);
  // A chunked answer carries no length; any other the length as sent.
  if (f.nChunk == 0 && !p->cfg.bNoContentLength)
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  for (const std::string &l : f.headers) head += l + "\r\n";
  head += "\r\n";
  if (f.nDribbleMs > 0) {
    const std::string all = head + body;
    for (char c : all)
      if (!SendAll(p, fd, &c, 1) || !Nap(p, f.nDribbleMs)) return;
    EndAnswer(p, fd, false);
    return;
  }
  Answer sent = a;
  sent.body = body;
  sent.nLogDevice = 0;
  sent.nGenBytes = -1;
  if (SendAll(p, fd, head.data(), head.size())) SendBody(p, fd, sent);
}

}  // namespace

std::string RequestPath(const std::string &req) {
  size_t e = req.find('\n');
  std::string line = req.substr(0, e);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.rfind("GET ", 0) != 0) return "";
  size_t s = 4, sp = line.find(' ', s);
  return line.substr(s, sp == std::string::npos ? std::string::npos : sp - s);
}

void Serve(SimServer *p, int fd) {
  std::string req;
  const bool bComplete = ReadRequest(p, fd, &req);
  const std::string path = RequestPath(req);
  Answer a;
  {
    std::lock_guard<std::mutex> lk(p->mtx);
    if (!req.empty()) {
      p->requests.push_back(req);
      if (p->requests.size() > kMaxRecorded) p->requests.pop_front();
    }
    if (bComplete) a = Decide(p, path, AuthOk(p, req));
  }
  if (!bComplete || Stopping(p)) return;
  if (p->cfg.bVerbose) fprintf(stderr, "das-sim: GET %s -> %d\n", path.c_str(), a.fault.bRaw ? 0 : a.nStatus);
  const Fault &f = a.fault;
  if (f.bRaw) {
    if (SendAll(p, fd, f.raw.data(), f.raw.size())) EndAnswer(p, fd, f.bKeepOpen);
    return;
  }
  if (f.bStall && f.nStallAfter < 0) {
    WaitClientClose(p, fd, -1);  // the request is read and never answered
    return;
  }
  SendAnswer(p, fd, a);
}

}  // namespace sim
