// The simulated unit's inside, shared by its files (callers use sim.h):
//   unit.cpp    what the unit holds: calendar, configuration, device list,
//               record lines, and the helpers sim.h offers without a server;
//   faults.cpp  the fault setters and Decide, which picks each answer;
//   serve.cpp   one connection: request, auth, and the answer on the wire
//               (slow, stall, cut, chunked, compressed, dribbled);
//   server.cpp  start, accept loop, stop, observation, and the black hole;
//   fleet.cpp   many units behind one thread that waits on all their ports.
#pragma once
#include <atomic>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/das-sim/sim.h"

namespace sim {

constexpr int kPollMs = 50;  // every wait watches the stop flag this often

// What the setters of sim.h put on one path.
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

// unit.cpp
bool ParseTime(const std::string &text, long long *pllSecs);
std::string FormatTime(long long llSecs);
std::string Eol(bool bCrlf);
std::string UnitConfig(const SimConfig &c);
std::string DeviceConfig(const SimConfig &c, int n);
std::string DeviceList(const SimConfig &c);
std::string RecordLine(const SimConfig &c, long long llFirst, int nDevice, long nIndex);
std::string LogHeader(const SimConfig &c);
const char *StatusText(int n);
extern const char *const kHtmlPage;

}  // namespace sim

struct SimServer {
  SimConfig cfg;
  long long llFirst = 0;
  int fdListen = -1;
  int nPort = 0;
  std::atomic<bool> bStop{false};
  std::thread accepter;
  bool bHtmlForUnknown = false;  // guarded by mtx

  std::mutex mtx;  // guards everything below
  std::map<std::string, sim::Fault> faults;
  std::map<int, sim::DeviceLog> logs;
  std::deque<std::string> requests;
  struct Conn {
    std::thread th;
    std::atomic<bool> bDone{false};
  };
  std::list<std::unique_ptr<Conn>> conns;
};

namespace sim {

// faults.cpp. Picks the answer to path, with the lock held. Not only a
// look-up: a log download marks its records as handed over, and a delete
// removes the records the last download handed over.
Answer Decide(SimServer *p, const std::string &path, bool bAuthOk);

// server.cpp
// A unit listening on its port (non-blocking), with no thread yet; null on
// failure.
SimServer *OpenUnit(const SimConfig &cfg, int nPort);
// Joins the unit's finished connections.
void ReapConns(SimServer *p);
// Takes one waiting connection (if any) and starts its thread; false when
// the unit already has its most connections open, and nothing was taken.
bool AcceptConn(SimServer *p);
// Stops the unit's connections and frees it (its accepter, if any, has
// ended already).
void CloseUnit(SimServer *p);

// serve.cpp
// Reads one request on fd, records it and sends its answer (fd stays open).
void Serve(SimServer *p, int fd);
// The target of the request line ("" when there is none).
std::string RequestPath(const std::string &req);

}  // namespace sim
