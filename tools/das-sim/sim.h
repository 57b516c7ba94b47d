// A simulated DAS unit: a small HTTP/1.0 server on the loopback interface
// that answers the requests the download tool makes, for tests, benchmarks
// and the demo. It is a tool, not part of the program.
//
// Behaviour in short:
//  - one request per connection; the request header is read up to its empty
//    line (CR LF or bare LF); every request is recorded raw;
//  - "Authorization: Basic <base64 of admin:password>" is required, anything
//    else is answered 401 with a small body;
//  - the answer is "HTTP/1.0 <code> <text>\r\n", "Content-Type: text/plain\r\n",
//    "Content-Length: <n>\r\n" (unless bNoContentLength), "\r\n", the body, then
//    the connection is closed (the body ends there);
//  - kind 1 (multi-device) serves:
//      /setup/logexport.cgi?CFG=loggerconfig.ini   unit configuration
//      /setup/logexport.cgi?MB=0                   device list
//      /setup/logexport.cgi?MB=<n>                 log of device n
//      /setup/logexport.cgi?CFG=mb-<nnn>.ini       configuration of device n
//      /setup/statlog.cgi?DELMBZIPLOG=<n>          delete device n's log data
//    kind 2 (single meter) answers 404 to everything under /setup/ and serves
//      /loggerconfig.ini, /mb-001.log, /mb-001.ini, /deletelog.cgi
//    anything else is 404;
//  - a delete request removes the records that the last log download of that
//    device handed over (records added later by SimAdvance stay); with no
//    earlier download nothing is removed.
//
// Log bodies are generated on the fly from a record index, so a log of
// millions of records costs no memory. Every record line has the same
// length (SimRecordBytes), which lets a benchmark ask for a body size.
//
// All functions are thread-safe; the faults apply to every later request of
// the path (path and query exactly as sent in the request line) until
// cleared with SimClearFaults.
#pragma once
#include <string>
#include <vector>

struct SimConfig {
  int nKind = 1;                        // 1 multi-device, 2 single meter
  std::string serial = "DAS000000001";  // SERIALNUMBER value, served as is
  std::string name = "Sim unit";        // LOOPNAME value, served as is
  std::string password = "qexal";       // only admin:<password> is accepted
  std::vector<int> devices = {1, 2};    // Modbus IDs listed (multi); single: 1
  long nRecords = 1440;                 // one-minute records per device log
  std::string firstTime = "2026-12-01 00:00:00";  // time of record 0 (UTC)
  bool bCrlfConfig = false;  // configuration files and device list with CR LF
  bool bCrlfLog = false;     // log files with CR LF
  char cTimeQuote = 0;       // if set, time stamps are wrapped in this char
  std::string bindAddress = "127.0.0.1";  // tests: always loopback
  bool bNoContentLength = false;  // leave Content-Length out, as older units do
  bool bVerbose = false;  // one line per request on stderr ("GET path -> 200")
  // Unknown paths (and, on a single meter, everything under /setup/) are
  // answered 200 with an HTML page, as many web servers' default sites do.
  bool bHtmlForUnknown = false;
};

struct SimServer;

// Starts serving on bindAddress:nPort (0 = any free port). Null on failure
// (bad address, port taken, bad firstTime).
SimServer *SimStart(const SimConfig &cfg, int nPort = 0);
int SimPort(SimServer *pSim);
// Stops serving, ends every connection (stalled and slow bodies included),
// joins all threads and frees the server. Null is allowed.
void SimStop(SimServer *pSim);

// --- faults, by request path (path+query as sent) ---
// Answer with this status (401, 404, 500, ...); the body is a short text
// unless SimSetBody gave one. 0 removes the override.
void SimSetStatus(SimServer *pSim, const std::string &path, int nStatus);
// Send the body in pieces of nChunk bytes with nDelayMs between them.
void SimSetSlowBody(SimServer *pSim, const std::string &path, int nChunk, int nDelayMs);
// After nAfterBytes of body, send nothing more but keep the connection open
// (until the client closes it or the server stops). A negative count stalls
// before the response header: the request is read and never answered.
void SimSetStallBody(SimServer *pSim, const std::string &path, long nAfterBytes);
// After the whole answer, keep the connection open until the client closes
// it, as a server that keeps connections alive does.
void SimSetKeepOpen(SimServer *pSim, const std::string &path);
// After nAfterBytes of body, close the connection (bReset: abortive close,
// the client sees a connection reset instead of a normal end).
void SimSetCutBody(SimServer *pSim, const std::string &path, long nAfterBytes,
                   bool bReset = false);
// Serve this body (status 200 unless SimSetStatus says otherwise), also for a
// path the unit does not know.
void SimSetBody(SimServer *pSim, const std::string &path, const std::string &body);
// Send exactly these bytes (header and body, anything at all) and close.
// Wins over every other setting of the path; auth is still checked first.
void SimSetRawResponse(SimServer *pSim, const std::string &path, const std::string &raw);
// Serve a generated log body of about nBytes (whole record lines, the header
// line first, at least nBytes) at this path, streamed in large writes.
void SimSetGeneratedBody(SimServer *pSim, const std::string &path, long nBytes);
// --- how an answer travels (apply to every answer of the path) ---
// Transfer-Encoding: chunked, in chunks of nChunk bytes varied to odd sizes
// (nChunk, 1, 3 * nChunk + 7, 13, ...); with bExtensions some chunk sizes
// carry extensions (";ext=1", ";name=\"a b\""), with bTrailer the last chunk
// is followed by a trailer field. No Content-Length. nChunk 0: off.
void SimSetChunked(SimServer *pSim, const std::string &path, int nChunk, bool bExtensions = false,
                   bool bTrailer = false);
// Content-Encoding: "gzip" and "deflate" (a zlib stream) compress the body;
// any other value is only announced, the body goes unchanged (a coding the
// client cannot know). Empty: off.
void SimSetContentEncoding(SimServer *pSim, const std::string &path, const std::string &coding);
// Header lines added after the unit's own (sent as given, each followed by
// CR LF; a line may hold any byte, NUL included).
void SimSetExtraHeaders(SimServer *pSim, const std::string &path,
                        const std::vector<std::string> &lines);
// nCount interim answers "HTTP/1.1 100 Continue" (each with its empty line)
// before the real status line.
void SimSetInterim(SimServer *pSim, const std::string &path, int nCount);
// The whole answer, status line included, one byte every nMs ms (0: off).
void SimSetDribble(SimServer *pSim, const std::string &path, int nMs);
// Lines added to a body the unit generates (configuration, device list,
// log): before its first line (bFront) or after its last. Each line is sent
// as given plus the body's line end.
void SimSetExtraLines(SimServer *pSim, const std::string &path, const std::vector<std::string> &lines,
                      bool bFront = false);
// Answer unknown paths with 200 and an HTML page (see SimConfig).
void SimSetHtmlForUnknown(SimServer *pSim, bool bOn);
// Removes every fault and override of the path; an empty path clears all.
void SimClearFaults(SimServer *pSim, const std::string &path);

// --- observation ---
// Raw request bytes (up to and including the empty line), one entry per
// connection, in the order the requests were complete. A connection that
// closed before its empty line is recorded with what arrived. At most the
// last 10000 are kept.
std::vector<std::string> SimRequests(SimServer *pSim);
// The request targets of SimRequests ("/setup/logexport.cgi?MB=0"; "" when
// no request line arrived).
std::vector<std::string> SimRequestPaths(SimServer *pSim);
void SimClearRequests(SimServer *pSim);
// The device's current log body as it would be served now ("" for an
// unknown device).
std::string SimLogBody(SimServer *pSim, int nDevice);
// Number of records the device's log holds now (-1 for an unknown device).
long SimLogRecords(SimServer *pSim, int nDevice);
// Number of delete requests answered 200 for the device.
int SimDeleteCount(SimServer *pSim, int nDevice);
// Time passes on the unit: every device's log gains nMinutes records.
void SimAdvance(SimServer *pSim, long nMinutes);

// --- pure helpers (no server needed) ---
// Bytes of one record line, line end included.
long SimRecordBytes(const SimConfig &cfg);
// Bytes of the log header line, line end included.
long SimHeaderBytes(const SimConfig &cfg);
// The record line with index nIndex (0 = firstTime) for device nDevice,
// line end included, exactly as served.
std::string SimRecordLine(const SimConfig &cfg, int nDevice, long nIndex);
// "YYYY-MM-DD hh:mm:ss" of record nIndex (no quotes).
std::string SimRecordTime(const SimConfig &cfg, long nIndex);
// A header line of exactly nLen bytes (CR LF not counted), "X-Padding: aaa...".
std::string SimHeaderLine(int nLen);
// Log lines of device nDevice whose time stamps are out of range: minute 60,
// second 61, hour 24, February 30, month 13, before 1970 and after 2106. The
// first five fall on the day of firstTime and would, read leniently, land on
// the times of real records.
std::vector<std::string> SimBadStampLines(const SimConfig &cfg, int nDevice);
// A device list of the unit's devices with a fault (the header line first):
//  "sub"      a 0x1A byte inside the first device's line
//  "wrap"     a device number 4294967297 (2^32 + 1) before the real devices
//  "long"     a 3000-byte line that carries the last device's number at
//             bytes 1023 and 2046 (the starts of 1023-byte pieces), then
//             lines for every device but the last
//  "dup"      every device listed twice
//  "nodevice" the header line and a comment only
//  "signs"    numbers with sign, exponent, hex, fraction or trailing text
//             ("+2", "-1", "1e2", "0x3", "2.5", "3x") and a 4 with twenty
//             digits, before the real devices
// Empty for an unknown kind.
std::string SimOddDeviceList(const SimConfig &cfg, const std::string &kind);
// A comment line of nLen bytes for a configuration file that carries
// "SERIALNUMBER=<fake>" at every multiple of 255 bytes, where a reader that
// splits long lines into 255-byte pieces would see a line of its own.
std::string SimSerialCommentLine(int nLen, const std::string &fake);

// A port that takes no connection: a listening socket whose accept queue is
// full and never served, so a connect waits until the client gives up.
struct SimBlackHole;
SimBlackHole *SimStartBlackHole(const std::string &bindAddress = "127.0.0.1");
// One on each address given, all at once in about the time of one (empty
// on failure).
std::vector<SimBlackHole *> SimStartBlackHoles(const std::vector<std::string> &bindAddresses);
int SimBlackHolePort(SimBlackHole *pHole);
void SimStopBlackHole(SimBlackHole *pHole);

// Many units in one process, as a site's whole list of units: each unit is
// a SimServer of its own (port, logs, deletes, faults, requests; the calls
// above work on it as on any), but one thread waits on all their ports
// (epoll) instead of one per unit, so that thousands of idle units cost
// nothing. Every connection still gets a thread of its own while it lasts.
struct SimFleet;
SimFleet *SimStartFleet();
// A unit served by the fleet; null on failure as SimStart. It belongs to
// the fleet: SimStopFleet stops it (never SimStop).
SimServer *SimFleetAdd(SimFleet *pFleet, const SimConfig &cfg, int nPort = 0);
// Stops every unit of the fleet, as SimStop does one, and frees it all.
void SimStopFleet(SimFleet *pFleet);

// Base64 of the text (standard alphabet, padded).
std::string SimBase64(const std::string &text);
