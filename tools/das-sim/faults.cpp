// The fault catalogue of the simulated unit: the setters of sim.h, each of
// which puts one setting on a path, and Decide, which turns a request's path
// into its answer from the unit's own paths and those settings.
#include <algorithm>
#include <string>
#include <vector>

#include "tools/das-sim/sim_int.h"

namespace sim {

namespace {

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

// A log download hands over every record held now; a later delete of the
// device removes exactly those.
void ServeLog(SimServer *p, int nDev, Answer *pA) {
  DeviceLog &l = p->logs[nDev];
  pA->nLogDevice = nDev;
  pA->nFrom = l.nFirst;
  pA->nTo = l.nEnd;
  l.nHanded = l.nEnd;
}

void ServeDelete(SimServer *p, int nDev, Answer *pA) {
  DeviceLog &l = p->logs[nDev];
  l.nFirst = std::max(l.nFirst, l.nHanded);
  l.nDeletes++;
  pA->body = "Log data deleted\n";
}

// The paths of a multi-device unit; false for one it does not know.
bool RouteMulti(SimServer *p, const std::string &path, Answer *pA) {
  const SimConfig &c = p->cfg;
  const std::string exp = "/setup/logexport.cgi?";
  int n = 0;
  if (path == exp + "CFG=loggerconfig.ini") {
    pA->body = UnitConfig(c);
  } else if (path == exp + "MB=0") {
    pA->body = DeviceList(c);
  } else if (path.rfind(exp + "MB=", 0) == 0 && WholeNumber(path, exp.size() + 3, &n) &&
             p->logs.count(n)) {
    ServeLog(p, n, pA);
  } else if (path.rfind(exp + "CFG=mb-", 0) == 0 && path.size() == exp.size() + 14 &&
             path.compare(path.size() - 4, 4, ".ini") == 0 &&
             WholeNumber(path.substr(0, path.size() - 4), exp.size() + 7, &n) && p->logs.count(n)) {
    pA->body = DeviceConfig(c, n);
  } else if (path.rfind("/setup/statlog.cgi?DELMBZIPLOG=", 0) == 0 && WholeNumber(path, 31, &n) &&
             p->logs.count(n)) {
    ServeDelete(p, n, pA);
  } else {
    return false;
  }
  return true;
}

// The fixed names of a single meter (device 1); false for any other path.
bool RouteSingle(SimServer *p, const std::string &path, Answer *pA) {
  if (path == "/loggerconfig.ini")
    pA->body = UnitConfig(p->cfg);
  else if (path == "/mb-001.log")
    ServeLog(p, 1, pA);
  else if (path == "/mb-001.ini")
    pA->body = DeviceConfig(p->cfg, 1);
  else if (path == "/deletelog.cgi")
    ServeDelete(p, 1, pA);
  else
    return false;
  return true;
}

// Lines set for a text body the unit makes itself, in the body's line end.
void AddExtraLines(Answer *pA) {
  const Fault &f = pA->fault;
  if (f.frontLines.empty() && f.backLines.empty()) return;
  const std::string e = pA->body.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  std::string front, back;
  for (const std::string &l : f.frontLines) front += l + e;
  for (const std::string &l : f.backLines) back += l + e;
  pA->body = front + pA->body + back;
}

// Runs fn on the settings of path, under the server's lock.
template <class Fn>
void WithFault(SimServer *p, const std::string &path, Fn fn) {
  std::lock_guard<std::mutex> lk(p->mtx);
  fn(p->faults[path]);
}

}  // namespace

Answer Decide(SimServer *p, const std::string &path, bool bAuthOk) {
  Answer a;
  auto it = p->faults.find(path);
  if (it != p->faults.end()) a.fault = it->second;
  if (!bAuthOk) {  // no fault of the path applies before the password
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
  if (p->cfg.nKind == 1 ? RouteMulti(p, path, &a) : RouteSingle(p, path, &a)) {
    // A log is generated as it is sent; its added lines go in there.
    if (a.nLogDevice == 0) AddExtraLines(&a);
    return a;
  }
  if (p->bHtmlForUnknown) {
    a.pszType = "text/html";
    a.body = kHtmlPage;
    return a;
  }
  a.nStatus = 404;
  a.body = "404 Not Found\n";
  return a;
}

}  // namespace sim

using sim::Fault;
using sim::WithFault;

void SimSetStatus(SimServer *p, const std::string &path, int nStatus) {
  WithFault(p, path, [&](Fault &f) { f.nStatus = nStatus; });
}

void SimSetSlowBody(SimServer *p, const std::string &path, int nChunk, int nDelayMs) {
  WithFault(p, path, [&](Fault &f) {
    f.nSlowChunk = nChunk;
    f.nSlowDelayMs = nDelayMs;
  });
}

void SimSetKeepOpen(SimServer *p, const std::string &path) {
  WithFault(p, path, [](Fault &f) { f.bKeepOpen = true; });
}

void SimSetStallBody(SimServer *p, const std::string &path, long nAfterBytes) {
  WithFault(p, path, [&](Fault &f) {
    f.bStall = true;
    f.nStallAfter = nAfterBytes;
  });
}

void SimSetCutBody(SimServer *p, const std::string &path, long nAfterBytes, bool bReset) {
  WithFault(p, path, [&](Fault &f) {
    f.bCut = true;
    f.nCutAfter = std::max(0L, nAfterBytes);
    f.bCutReset = bReset;
  });
}

void SimSetBody(SimServer *p, const std::string &path, const std::string &body) {
  WithFault(p, path, [&](Fault &f) {
    f.bBody = true;
    f.body = body;
    f.nGenerated = -1;
  });
}

void SimSetRawResponse(SimServer *p, const std::string &path, const std::string &raw) {
  WithFault(p, path, [&](Fault &f) {
    f.bRaw = true;
    f.raw = raw;
  });
}

void SimSetGeneratedBody(SimServer *p, const std::string &path, long nBytes) {
  WithFault(p, path, [&](Fault &f) {
    f.bBody = false;
    f.body.clear();
    f.nGenerated = std::max(0L, nBytes);
  });
}

void SimSetChunked(SimServer *p, const std::string &path, int nChunk, bool bExtensions, bool bTrailer) {
  WithFault(p, path, [&](Fault &f) {
    f.nChunk = std::max(0, nChunk);
    f.bChunkExt = bExtensions;
    f.bChunkTrailer = bTrailer;
  });
}

void SimSetContentEncoding(SimServer *p, const std::string &path, const std::string &coding) {
  WithFault(p, path, [&](Fault &f) { f.coding = coding; });
}

void SimSetExtraHeaders(SimServer *p, const std::string &path, const std::vector<std::string> &lines) {
  WithFault(p, path, [&](Fault &f) { f.headers = lines; });
}

void SimSetInterim(SimServer *p, const std::string &path, int nCount) {
  WithFault(p, path, [&](Fault &f) { f.nInterim = std::max(0, nCount); });
}

void SimSetDribble(SimServer *p, const std::string &path, int nMs) {
  WithFault(p, path, [&](Fault &f) { f.nDribbleMs = std::max(0, nMs); });
}

void SimSetExtraLines(SimServer *p, const std::string &path, const std::vector<std::string> &lines,
                      bool bFront) {
  WithFault(p, path, [&](Fault &f) { (bFront ? f.frontLines : f.backLines) = lines; });
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
