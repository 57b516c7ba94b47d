// The simulated DAS unit. One accept thread; one thread per connection,
// at most kMaxConns at a time. Every wait is a poll with a short timeout
// that also watches the stop flag, so SimStop never hangs on a client.
#include "tools/das-sim/sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr int kMaxConns = 64;
constexpr size_t kMaxRequest = 16384;    // longer headers are cut off
constexpr size_t kMaxRecorded = 10000;   // requests kept for SimRequests
constexpr int kPollMs = 50;
constexpr int kRequestTimeoutMs = 10000; // a client that never finishes its header
constexpr int kSendTimeoutMs = 60000;    // a client that stops reading
constexpr int kDrainTimeoutMs = 2000;    // waiting for the client's close

struct Fault {
  int nStatus = 0;
  int nSlowChunk = 0;
  int nSlowDelayMs = 0;
  bool bStall = false;
  long nStallAfter = 0;
  bool bCut = false;
  long nCutAfter = 0;
  bool bCutReset = false;
  bool bBody = false;
  std::string body;
  bool bRaw = false;
  std::string raw;
  long nGenerated = -1;
  // how the answer travels
  int nChunk = 0;
  bool bChunkExt = false;
  bool bChunkTrailer = false;
  std::string coding;                   // Content-Encoding
  std::vector<std::string> headers;     // extra header lines
  int nInterim = 0;                     // "100 Continue" answers first
  int nDribbleMs = 0;
  bool bKeepOpen = false;               // no close after the whole answer
  std::vector<std::string> frontLines;  // added to generated bodies
  std::vector<std::string> backLines;
};

struct DeviceLog {
  long nFirst = 0;   // index of the first record still held
  long nEnd = 0;     // index after the last record
  long nHanded = 0;  // end index of the last log download
  int nDeletes = 0;
};

// days since 1970-01-01 of a proleptic Gregorian date
long DaysFromCivil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

void CivilFromDays(long z, long *py, unsigned *pm, unsigned *pd) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long y = static_cast<long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *pd = doy - (153 * mp + 2) / 5 + 1;
  *pm = mp < 10 ? mp + 3 : mp - 9;
  *py = y + (*pm <= 2);
}

bool ParseTime(const std::string &text, long long *pllSecs) {
  int y, mo, d, h, mi, s;
  char c;
  if (sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &c) != 6) return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 ||
      s > 59)
    return false;
  *pllSecs = static_cast<long long>(DaysFromCivil(y, mo, d)) * 86400 + h * 3600 + mi * 60 + s;
  return true;
}

std::string FormatTime(long long llSecs) {
  long long days = llSecs / 86400, rem = llSecs % 86400;
  if (rem < 0) {
    rem += 86400;
    days--;
  }
  long y;
  unsigned m, d;
  CivilFromDays(static_cast<long>(days), &y, &m, &d);
  const int h = static_cast<int>(rem / 3600), mi = static_cast<int>(rem / 60 % 60),
            sec = static_cast<int>(rem % 60);
  if (y < 0 || y > 9999) {
    char buf[64];
    snprintf(buf, sizeof buf, "%04ld-%02u-%02u %02d:%02d:%02d", y, m, d, h, mi, sec);
    return buf;
  }
  // The common case by hand: the log generator formats one per record.
  char buf[20] = {'0', '0', '0', '0', '-', '0', '0', '-', '0', '0', ' ', '0', '0', ':', '0', '0', ':', '0', '0'};
  auto put = [&buf](int nPos, int nWidth, long v) {
    for (int i = nPos + nWidth - 1; i >= nPos; i--, v /= 10) buf[i] = static_cast<char>('0' + v % 10);
  };
  put(0, 4, y);
  put(5, 2, m);
  put(8, 2, d);
  put(11, 2, h);
  put(14, 2, mi);
  put(17, 2, sec);
  return std::string(buf, 19);
}

const char *kHtmlPage =
    "<!DOCTYPE html>\n<html>\n<head><title>Welcome</title></head>\n<body>\n"
    "<h1>It works!</h1>\n<p>This is the default web page for this server.</p>\n</body>\n</html>\n";

const char *kLogHeader = "time,error,lowalarm,highalarm,kWh,kW,kVAR,PF,Volts A,Volts B,Volts C";

const char *StatusText(int n) {
  switch (n) {
    case 100: return "Continue";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

// Parses the decimal number that is the whole rest of text from pos.
bool WholeNumber(const std::string &text, size_t pos, int *pn) {
  if (pos >= text.size() || text.size() - pos > 6) return false;
  int n = 0;
  for (size_t i = pos; i < text.size(); i++) {
    if (text[i] < '0' || text[i] > '9') return false;
    n = n * 10 + (text[i] - '0');
  }
  *pn = n;
  return true;
}

}  // namespace

struct SimServer {
  SimConfig cfg;
  long long llFirst = 0;
  int fdListen = -1;
  int nPort = 0;
  std::atomic<bool> bStop{false};
  std::thread accepter;
  bool bHtmlForUnknown = false;  // guarded by mtx

  std::mutex mtx;  // guards everything below
  std::map<std::string, Fault> faults;
  std::map<int, DeviceLog> logs;
  std::deque<std::string> requests;
  struct Conn {
    std::thread th;
    std::atomic<bool> bDone{false};
  };
  std::list<std::unique_ptr<Conn>> conns;
};

namespace {

// What one request gets: either a ready text body or a log range to generate.
struct Answer {
  int nStatus = 200;
  std::string body;          // used when nLogDevice == 0
  int nLogDevice = 0;        // >0: generate this device's records
  long nFrom = 0, nTo = 0;   // record index range [nFrom, nTo)
  long nGenBytes = -1;       // >=0: generated body of at least this size
  const char *pszType = "text/plain";
  Fault fault;
};

std::string Eol(bool bCrlf) { return bCrlf ? "\r\n" : "\n"; }

std::string UnitConfig(const SimConfig &c) {
  const std::string e = Eol(c.bCrlfConfig);
  std::string s;
  s += "[General]" + e;
  s += "SERIALNUMBER=" + c.serial + e;
  s += "LOOPNAME=" + c.name + e;
  s += "FIRMWARE=1.2.7" + e;
  s += "DHCP=0" + e;
  s += "IPADDRESS=127.0.0.1" + e;
  s += "LOGPERIOD=60" + e;
  s += "TIMEZONE=UTC" + e;
  return s;
}

std::string DeviceConfig(const SimConfig &c, int n) {
  const std::string e = Eol(c.bCrlfConfig);
  char buf[256];
  snprintf(buf, sizeof buf, "MODBUSID=%d%sDEVICENAME=Meter %d%sDEVICETYPE=Energy meter%sBAUD=9600%s", n,
           e.c_str(), n, e.c_str(), e.c_str(), e.c_str());
  return buf;
}

std::string DeviceList(const SimConfig &c) {
  const std::string e = Eol(c.bCrlfConfig);
  std::string s = "Modbus ID,DeviceName,DeviceType,DeviceClass,Log File URL" + e;
  for (int n : c.devices) {
    char buf[256];
    snprintf(buf, sizeof buf,
             "%03d,\"Meter %d\",\"Energy meter, three phase, E330\",2,"
             "<a href=/setup/logexport.cgi?MB=%d>mb-%03d.log</a>",
             n, n, n, n);
    s += buf + e;
  }
  return s;
}

// Appends v / 10^nFrac with exactly nInt integer digits (zero-padded) and
// nFrac decimals; integer work only, since the log generator is on the hot
// path of the large-body benchmarks.
void PutFixed(char *&pOut, unsigned long v, int nInt, int nFrac) {
  char digits[32];
  const int nAll = nInt + nFrac;
  for (int i = nAll - 1; i >= 0; i--) {
    digits[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  for (int i = 0; i < nAll; i++) {
    if (i == nInt) *pOut++ = '.';
    *pOut++ = digits[i];
  }
}

std::string RecordLine(const SimConfig &c, long long llFirst, int nDevice, long nIndex) {
  std::string t = FormatTime(llFirst + static_cast<long long>(nIndex) * 60);
  if (c.cTimeQuote) t = c.cTimeQuote + t + c.cTimeQuote;
  // Deterministic, fixed-width values so that every line has the same length.
  const unsigned long u =
      static_cast<unsigned long>(nIndex) * 2654435761UL + static_cast<unsigned long>(nDevice) * 40503UL;
  char buf[128];
  char *p = buf;
  for (const char *q = ",0,0,0,"; *q; q++) *p++ = *q;
  PutFixed(p, (static_cast<unsigned long>(nIndex) + 1000UL * static_cast<unsigned long>(nDevice)) % 999999,
           6, 1);  // kWh
  *p++ = ',';
  PutFixed(p, u % 99999, 2, 3);  // kW
  *p++ = ',';
  PutFixed(p, (u >> 8) % 9999, 1, 3);  // kVAR
  *p++ = ',';
  PutFixed(p, (u >> 4) % 1000, 1, 3);  // PF
  for (int nShift : {3, 5, 7}) {  // volts of the three phases
    *p++ = ',';
    PutFixed(p, 2200 + (u >> nShift) % 200, 3, 1);
  }
  t.append(buf, static_cast<size_t>(p - buf));
  t += Eol(c.bCrlfLog);
  return t;
}

std::string LogHeader(const SimConfig &c) { return kLogHeader + Eol(c.bCrlfLog); }

// Decides the answer; called with the lock held.
Answer Decide(SimServer *p, const std::string &path, bool bAuthOk) {
  Answer a;
  auto it = p->faults.find(path);
  if (it != p->faults.end()) a.fault = it->second;
  if (!bAuthOk) {
    a.nStatus = 401;
    a.body = "401 Unauthorized: admin password required\n";
    a.fault = Fault();
    return a;
  }
  const Fault &f = a.fault;
  if (f.bRaw) return a;
  if (f.bBody || f.nGenerated >= 0) {
    a.nStatus = f.nStatus ? f.nStatus : 200;
    a.body = f.body;
    a.nGenBytes = f.bBody ? -1 : f.nGenerated;
    return a;
  }
  if (f.nStatus && f.nStatus != 200) {
    a.nStatus = f.nStatus;
    a.body = std::to_string(f.nStatus) + " " + StatusText(f.nStatus) + "\n";
    return a;
  }
  const SimConfig &c = p->cfg;
  int n = 0;
  auto serveLog = [&](int nDev) {
    DeviceLog &l = p->logs[nDev];
    a.nLogDevice = nDev;
    a.nFrom = l.nFirst;
    a.nTo = l.nEnd;
    l.nHanded = l.nEnd;
  };
  auto serveDelete = [&](int nDev) {
    DeviceLog &l = p->logs[nDev];
    l.nFirst = std::max(l.nFirst, l.nHanded);
    l.nDeletes++;
    a.body = "Log data deleted\n";
  };
  a.nStatus = 404;
  if (c.nKind == 1) {
    const std::string exp = "/setup/logexport.cgi?";
    if (path == exp + "CFG=loggerconfig.ini") {
      a.nStatus = 200;
      a.body = UnitConfig(c);
    } else if (path == exp + "MB=0") {
      a.nStatus = 200;
      a.body = DeviceList(c);
    } else if (path.rfind(exp + "MB=", 0) == 0 && WholeNumber(path, exp.size() + 3, &n) &&
               p->logs.count(n)) {
      a.nStatus = 200;
      serveLog(n);
    } else if (path.rfind(exp + "CFG=mb-", 0) == 0 && path.size() == exp.size() + 14 &&
               path.compare(path.size() - 4, 4, ".ini") == 0 &&
               WholeNumber(path.substr(0, path.size() - 4), exp.size() + 7, &n) && p->logs.count(n)) {
      a.nStatus = 200;
      a.body = DeviceConfig(c, n);
    } else if (path.rfind("/setup/statlog.cgi?DELMBZIPLOG=", 0) == 0 && WholeNumber(path, 31, &n) &&
               p->logs.count(n)) {
      a.nStatus = 200;
      serveDelete(n);
    }
  } else {
    if (path == "/loggerconfig.ini") {
      a.nStatus = 200;
      a.body = UnitConfig(c);
    } else if (path == "/mb-001.log") {
      a.nStatus = 200;
      serveLog(1);
    } else if (path == "/mb-001.ini") {
      a.nStatus = 200;
      a.body = DeviceConfig(c, 1);
    } else if (path == "/deletelog.cgi") {
      a.nStatus = 200;
      serveDelete(1);
    }
  }
  if (a.nStatus == 404 && p->bHtmlForUnknown) {
    a.nStatus = 200;
    a.pszType = "text/html";
    a.body = kHtmlPage;
    return a;
  }
  if (a.nStatus == 404) a.body = "404 Not Found\n";
  if (a.nStatus == 200 && a.nLogDevice == 0 && a.nGenBytes < 0 &&
      (!f.frontLines.empty() || !f.backLines.empty())) {
    const std::string e = a.body.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    std::string front, back;
    for (const std::string &l : f.frontLines) front += l + e;
    for (const std::string &l : f.backLines) back += l + e;
    a.body = front + a.body + back;
  }
  return a;
}

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

std::string RequestPath(const std::string &req) {
  size_t e = req.find('\n');
  std::string line = req.substr(0, e);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.rfind("GET ", 0) != 0) return "";
  size_t s = 4, sp = line.find(' ', s);
  return line.substr(s, sp == std::string::npos ? std::string::npos : sp - s);
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
  if (f.bKeepOpen) {
    WaitClientClose(p, fd, -1);
    return;
  }
  // Let the client read everything before the close: half-close, then wait
  // for its close so that unread request bytes cannot turn into a reset.
  shutdown(fd, SHUT_WR);
  WaitClientClose(p, fd, kDrainTimeoutMs);
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
    if (SendAll(p, fd, f.raw.data(), f.raw.size())) {
      if (f.bKeepOpen) {
        WaitClientClose(p, fd, -1);
        return;
      }
      shutdown(fd, SHUT_WR);
      WaitClientClose(p, fd, kDrainTimeoutMs);
    }
    return;
  }
  if (f.bStall && f.nStallAfter < 0) {
    WaitClientClose(p, fd, -1);
    return;
  }
  std::string head;
  for (int i = 0; i < f.nInterim; i++) head += "HTTP/1.1 100 Continue\r\n\r\n";
  char status[128];
  snprintf(status, sizeof status, "HTTP/1.0 %d %s\r\nContent-Type: %s\r\n", a.nStatus,
           StatusText(a.nStatus), a.pszType);
  head += status;
  if (!f.coding.empty()) head += "Content-Encoding: " + f.coding + "\r\n";
  if (f.nChunk > 0) head += "Transfer-Encoding: chunked\r\n";
  Answer sent = a;
  if (f.nChunk > 0 || !f.coding.empty() || f.nDribbleMs > 0 ||
      ((a.nLogDevice > 0 || a.nGenBytes >= 0) && (!f.frontLines.empty() || !f.backLines.empty()))) {
    // The whole body first: it is compressed or framed as a whole.
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
      shutdown(fd, SHUT_WR);
      WaitClientClose(p, fd, kDrainTimeoutMs);
      return;
    }
    sent.body = body;
    sent.nLogDevice = 0;
    sent.nGenBytes = -1;
  } else {
    if (!p->cfg.bNoContentLength) head += "Content-Length: " + std::to_string(BodyLength(p, a)) + "\r\n";
    for (const std::string &l : f.headers) head += l + "\r\n";
    head += "\r\n";
  }
  if (!SendAll(p, fd, head.data(), head.size())) return;
  SendBody(p, fd, sent);
}

void AcceptLoop(SimServer *p) {
  while (!Stopping(p)) {
    {
      // Reap finished connections; wait while the table is full.
      std::lock_guard<std::mutex> lk(p->mtx);
      for (auto it = p->conns.begin(); it != p->conns.end();) {
        if ((*it)->bDone.load()) {
          (*it)->th.join();
          it = p->conns.erase(it);
        } else {
          ++it;
        }
      }
    }
    size_t nActive;
    {
      std::lock_guard<std::mutex> lk(p->mtx);
      nActive = p->conns.size();
    }
    if (nActive >= static_cast<size_t>(kMaxConns)) {
      Nap(p, kPollMs);
      continue;
    }
    pollfd pfd{p->fdListen, POLLIN, 0};
    int r = poll(&pfd, 1, kPollMs);
    if (r <= 0) continue;
    int fd = accept(p->fdListen, nullptr, nullptr);
    if (fd < 0) continue;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<SimServer::Conn>();
    SimServer::Conn *pc = c.get();
    {
      std::lock_guard<std::mutex> lk(p->mtx);
      p->conns.push_back(std::move(c));
      pc->th = std::thread([p, fd, pc] {
        Serve(p, fd);
        close(fd);
        pc->bDone.store(true);
      });
    }
  }
}

Fault &FaultOf(SimServer *p, const std::string &path) { return p->faults[path]; }

}  // namespace

SimServer *SimStart(const SimConfig &cfg, int nPort) {
  auto p = std::make_unique<SimServer>();
  p->cfg = cfg;
  p->bHtmlForUnknown = cfg.bHtmlForUnknown;
  if (p->cfg.nKind != 2) p->cfg.nKind = 1;
  if (p->cfg.nKind == 2) p->cfg.devices = {1};
  if (!ParseTime(cfg.firstTime, &p->llFirst)) return nullptr;
  for (int n : p->cfg.devices) {
    DeviceLog &l = p->logs[n];
    l.nEnd = std::max(0L, cfg.nRecords);
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(nPort));
  if (nPort < 0 || nPort > 65535 || inet_pton(AF_INET, cfg.bindAddress.c_str(), &sa.sin_addr) != 1)
    return nullptr;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 64) != 0) {
    close(fd);
    return nullptr;
  }
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  p->fdListen = fd;
  p->nPort = ntohs(sa.sin_port);
  SimServer *raw = p.release();
  raw->accepter = std::thread(AcceptLoop, raw);
  return raw;
}

int SimPort(SimServer *p) { return p ? p->nPort : 0; }

void SimStop(SimServer *p) {
  if (!p) return;
  p->bStop.store(true);
  if (p->accepter.joinable()) p->accepter.join();
  // No new connections now; every handler sees the stop within kPollMs.
  std::list<std::unique_ptr<SimServer::Conn>> conns;
  {
    std::lock_guard<std::mutex> lk(p->mtx);
    conns.swap(p->conns);
  }
  for (auto &c : conns) c->th.join();
  close(p->fdListen);
  delete p;
}

void SimSetStatus(SimServer *p, const std::string &path, int nStatus) {
  std::lock_guard<std::mutex> lk(p->mtx);
  FaultOf(p, path).nStatus = nStatus;
}

void SimSetSlowBody(SimServer *p, const std::string &path, int nChunk, int nDelayMs) {
  std::lock_guard<std::mutex> lk(p->mtx);
  Fault &f = FaultOf(p, path);
  f.nSlowChunk = nChunk;
  f.nSlowDelayMs = nDelayMs;
}

void SimSetKeepOpen(SimServer *p, const std::string &path) {
  std::lock_guard<std::mutex> lk(p->mtx);
  FaultOf(p, path).bKeepOpen = true;
}

void SimSetStallBody(SimServer *p, const std::string &path, long nAfterBytes) {
  std::lock_guard<std::mutex> lk(p->mtx);
  Fault &f = FaultOf(p, path);
  f.bStall = true;
  f.nStallAfter = nAfterBytes;
}

void SimSetCutBody(SimServer *p, const std::string &path, long nAfterBytes, bool bReset) {
  std::lock_guard<std::mutex> lk(p->mtx);
  Fault &f = FaultOf(p, path);
  f.bCut = true;
  f.nCutAfter = std::max(0L, nAfterBytes);
  f.bCutReset = bReset;
}

void SimSetBody(SimServer *p, const std::string &path, const std::string &body) {
  std::lock_guard<std::mutex> lk(p->mtx);
  Fault &f = FaultOf(p, path);
  f.bBody = true;
  f.body = body;
  f.nGenerated = -1;
}

void SimSetRawResponse(SimServer *p, const std::string &path, const std::string &raw) {
  std::lock_guard<std::mutex> lk(p->mtx);
  Fault &f = FaultOf(p, path);
  f.bRaw = true;
  f.raw = raw;
}

void SimSetGeneratedBody(SimServer *p, const std::string &path, long nBytes) {
  std::lock_guard<std::mutex> lk(p->mtx);
  Fault &f = FaultOf(p, path);
  f.bBody = false;
  f.body.clear();
  f.nGenerated = std::max(0L, nBytes);
}

void SimSetChunked(SimServer *p, const std::string &path, int nChunk, bool bExtensions, bool bTrailer) {
  std::lock_guard<std::mutex> lk(p->mtx);
  Fault &f = FaultOf(p, path);
  f.nChunk = std::max(0, nChunk);
  f.bChunkExt = bExtensions;
  f.bChunkTrailer = bTrailer;
}

void SimSetContentEncoding(SimServer *p, const std::string &path, const std::string &coding) {
  std::lock_guard<std::mutex> lk(p->mtx);
  FaultOf(p, path).coding = coding;
}

void SimSetExtraHeaders(SimServer *p, const std::string &path, const std::vector<std::string> &lines) {
  std::lock_guard<std::mutex> lk(p->mtx);
  FaultOf(p, path).headers = lines;
}

void SimSetInterim(SimServer *p, const std::string &path, int nCount) {
  std::lock_guard<std::mutex> lk(p->mtx);
  FaultOf(p, path).nInterim = std::max(0, nCount);
}

void SimSetDribble(SimServer *p, const std::string &path, int nMs) {
  std::lock_guard<std::mutex> lk(p->mtx);
  FaultOf(p, path).nDribbleMs = std::max(0, nMs);
}

void SimSetExtraLines(SimServer *p, const std::string &path, const std::vector<std::string> &lines,
                      bool bFront) {
  std::lock_guard<std::mutex> lk(p->mtx);
  (bFront ? FaultOf(p, path).frontLines : FaultOf(p, path).backLines) = lines;
}

void SimSetHtmlForUnknown(SimServer *p, bool bOn) {
  std::lock_guard<std::mutex> lk(p->mtx);
  p->bHtmlForUnknown = bOn;
}

void SimClearFaults(SimServer *p, const std::string &path) {
  std::lock_guard<std::mutex> lk(p->mtx);
  if (path.empty())
    p->faults.clear();
  else
    p->faults.erase(path);
}

std::vector<std::string> SimRequests(SimServer *p) {
  std::lock_guard<std::mutex> lk(p->mtx);
  return std::vector<std::string>(p->requests.begin(), p->requests.end());
}

std::vector<std::string> SimRequestPaths(SimServer *p) {
  std::vector<std::string> v;
  for (const std::string &r : SimRequests(p)) v.push_back(RequestPath(r));
  return v;
}

void SimClearRequests(SimServer *p) {
  std::lock_guard<std::mutex> lk(p->mtx);
  p->requests.clear();
}

std::string SimLogBody(SimServer *p, int nDevice) {
  long nFrom, nTo;
  {
    std::lock_guard<std::mutex> lk(p->mtx);
    auto it = p->logs.find(nDevice);
    if (it == p->logs.end()) return "";
    nFrom = it->second.nFirst;
    nTo = it->second.nEnd;
  }
  std::string s = LogHeader(p->cfg);
  for (long i = nFrom; i < nTo; i++) s += RecordLine(p->cfg, p->llFirst, nDevice, i);
  return s;
}

long SimLogRecords(SimServer *p, int nDevice) {
  std::lock_guard<std::mutex> lk(p->mtx);
  auto it = p->logs.find(nDevice);
  return it == p->logs.end() ? -1 : it->second.nEnd - it->second.nFirst;
}

int SimDeleteCount(SimServer *p, int nDevice) {
  std::lock_guard<std::mutex> lk(p->mtx);
  auto it = p->logs.find(nDevice);
  return it == p->logs.end() ? 0 : it->second.nDeletes;
}

void SimAdvance(SimServer *p, long nMinutes) {
  std::lock_guard<std::mutex> lk(p->mtx);
  for (auto &kv : p->logs) kv.second.nEnd += std::max(0L, nMinutes);
}

long SimRecordBytes(const SimConfig &cfg) {
  long long llFirst = 0;
  if (!ParseTime(cfg.firstTime, &llFirst)) return 0;
  return static_cast<long>(RecordLine(cfg, llFirst, 1, 0).size());
}

long SimHeaderBytes(const SimConfig &cfg) { return static_cast<long>(LogHeader(cfg).size()); }

std::string SimRecordLine(const SimConfig &cfg, int nDevice, long nIndex) {
  long long llFirst = 0;
  if (!ParseTime(cfg.firstTime, &llFirst)) return "";
  return RecordLine(cfg, llFirst, nDevice, nIndex);
}

std::string SimRecordTime(const SimConfig &cfg, long nIndex) {
  long long llFirst = 0;
  if (!ParseTime(cfg.firstTime, &llFirst)) return "";
  return FormatTime(llFirst + static_cast<long long>(nIndex) * 60);
}

std::string SimHeaderLine(int nLen) {
  std::string s = "X-Padding: ";
  if (nLen > static_cast<int>(s.size())) s.append(static_cast<size_t>(nLen) - s.size(), 'a');
  s.resize(static_cast<size_t>(std::max(0, nLen)));
  return s;
}

std::vector<std::string> SimBadStampLines(const SimConfig &cfg, int nDevice) {
  const std::string day = cfg.firstTime.substr(0, 10);
  const std::string year = cfg.firstTime.substr(0, 4);
  std::vector<std::string> v;
  const char *stamps[] = {"%D 12:60:00", "%D 12:00:61", "%D 24:00:00", "%Y-02-30 12:00:00",
                          "%Y-13-01 12:00:00", "1969-12-31 23:59:00", "2107-01-01 00:00:00"};
  for (const char *st : stamps) {
    std::string t = st;
    if (t.rfind("%D", 0) == 0) t = day + t.substr(2);
    if (t.rfind("%Y", 0) == 0) t = year + t.substr(2);
    std::string line = SimRecordLine(cfg, nDevice, 0);
    // Keep the record's values, put the bad time in front of them.
    size_t c = line.find(',');
    std::string rest = c == std::string::npos ? "" : line.substr(c);
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.pop_back();
    if (cfg.cTimeQuote) t = cfg.cTimeQuote + t + cfg.cTimeQuote;
    v.push_back(t + rest);
  }
  return v;
}

std::string SimOddDeviceList(const SimConfig &cfg, const std::string &kind) {
  const std::string e = Eol(cfg.bCrlfConfig);
  std::string s = "Modbus ID,DeviceName,DeviceType,DeviceClass,Log File URL" + e;
  auto line = [](int n) {
    char buf[256];
    snprintf(buf, sizeof buf,
             "%03d,\"Meter %d\",\"Energy meter, three phase, E330\",2,"
             "<a href=/setup/logexport.cgi?MB=%d>mb-%03d.log</a>",
             n, n, n, n);
    return std::string(buf);
  };
  std::vector<int> devs = cfg.nKind == 2 ? std::vector<int>{1} : cfg.devices;
  if (kind == "sub") {
    for (size_t i = 0; i < devs.size(); i++) {
      std::string l = line(devs[i]);
      if (i == 0) l.insert(l.find(',') + 1, "\x1a");
      s += l + e;
    }
  } else if (kind == "wrap") {
    s += "4294967297,\"Wraps to 1\",\"x\",2,none" + e;
    for (int n : devs) s += line(n) + e;
  } else if (kind == "long") {
    // The last device appears only inside the long line; the others are
    // listed as usual.
    std::string l = "999,\"Long\",\"";
    while (l.size() < 3000) {
      const size_t nNext = l.size() < 1023 ? 1023 : l.size() < 2046 ? 2046 : 3000;
      l.append(nNext - l.size(), 'x');
      if (nNext < 3000 && !devs.empty()) l += std::to_string(devs.back()) + ",";
    }
    l.resize(2999);
    l += "\"";
    s += l + e;
    for (size_t i = 0; i + 1 < devs.size(); i++) s += line(devs[i]) + e;
  } else if (kind == "dup") {
    for (int n : devs) s += line(n) + e;
    for (int n : devs) s += line(n) + e;
  } else if (kind == "nodevice") {
    s += "# no devices configured" + e;
  } else if (kind == "signs") {
    for (const char *t : {"+2", "-1", "1e2", "0x3", "2.5", "3x", "00000000000000000004"})
      s += std::string(t) + ",\"Odd\",\"x\",2,none" + e;
    for (int n : devs) s += line(n) + e;
  } else {
    return "";
  }
  return s;
}

std::string SimSerialCommentLine(int nLen, const std::string &fake) {
  std::string s = "; ";
  const std::string key = "SERIALNUMBER=" + fake;
  while (static_cast<int>(s.size()) < nLen) {
    if (s.size() % 255 == 0 && s.size() > 0 && static_cast<int>(s.size() + key.size()) <= nLen)
      s += key;
    else
      s += '-';
  }
  return s;
}

struct SimBlackHole {
  int fdListen = -1;
  int nPort = 0;
  std::vector<int> fillers;
};

SimBlackHole *SimStartBlackHole(const std::string &bindAddress) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  if (inet_pton(AF_INET, bindAddress.c_str(), &sa.sin_addr) != 1) return nullptr;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 0) != 0) {
    close(fd);
    return nullptr;
  }
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  auto *h = new SimBlackHole;
  h->fdListen = fd;
  h->nPort = ntohs(sa.sin_port);
  // Fill the accept queue with connections nobody accepts; once it is full
  // the kernel drops further handshakes, and a connect waits in vain. A
  // handshake on loopback takes microseconds, so one that has not completed
  // within a second was dropped.
  for (int i = 0; i < 16; i++) {
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (c < 0) break;
    connect(c, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    pollfd pfd{c, POLLOUT, 0};
    if (poll(&pfd, 1, 1000) <= 0) {
      close(c);
      break;
    }
    h->fillers.push_back(c);
  }
  return h;
}

int SimBlackHolePort(SimBlackHole *h) { return h ? h->nPort : 0; }

void SimStopBlackHole(SimBlackHole *h) {
  if (!h) return;
  for (int c : h->fillers) close(c);
  close(h->fdListen);
  delete h;
}

std::string SimBase64(const std::string &text) {
  static const char *k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < text.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(text[i]) << 16) |
                 (static_cast<unsigned char>(text[i + 1]) << 8) | static_cast<unsigned char>(text[i + 2]);
    out += k[(v >> 18) & 63];
    out += k[(v >> 12) & 63];
    out += k[(v >> 6) & 63];
    out += k[v & 63];
  }
  size_t r = text.size() - i;
  if (r == 1) {
    unsigned v = static_cast<unsigned char>(text[i]) << 16;
    out += k[(v >> 18) & 63];
    out += k[(v >> 12) & 63];
    out += "==";
  } else if (r == 2) {
    unsigned v = (static_cast<unsigned char>(text[i]) << 16) | (static_cast<unsigned char>(text[i + 1]) << 8);
    out += k[(v >> 18) & 63];
    out += k[(v >> 12) & 63];
    out += k[(v >> 6) & 63];
    out += '=';
  }
  return out;
}
