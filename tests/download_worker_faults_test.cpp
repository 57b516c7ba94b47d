// Units and what stands in front of them misbehaving as they do in the field:
// bodies chunked or compressed, long or odd header lines, interim answers,
// web pages for unknown paths, odd device lists, odd addresses, a peer that
// sends a byte now and then. One grouped test per family, each a whole
// download against the simulated unit.
#include <gtest/gtest.h>

#include <cstring>
#include <zlib.h>

#include <filesystem>
#include <functional>

#include "download/download.h"
#include "download/testhooks.h"
#include "log/testhooks.h"
#include "merge/merge.h"
#include "tests/support/download_fixture.h"
#include "tests/support/compress.h"

namespace fs = std::filesystem;

namespace {

const std::string S = "DAS000000001";
const std::string kCgi = "/setup/logexport.cgi?";
const std::string kIdentity = kCgi + "CFG=loggerconfig.ini";
const std::string kList = kCgi + "MB=0";

class DownloadFaults : public DownloadWorkerTest {
 protected:
  std::vector<std::string> AllPaths() {
    return {kIdentity, kList, kCgi + "MB=1", kCgi + "MB=2", kCgi + "CFG=mb-001.ini",
            kCgi + "CFG=mb-002.ini", "/setup/statlog.cgi?DELMBZIPLOG=1",
            "/setup/statlog.cgi?DELMBZIPLOG=2"};
  }
};

// How one answer of the unit travels, set for a path.
using PathFault = std::function<void(SimServer *, const std::string &)>;

PathFault Chunked(int nChunk) {
  return [=](SimServer *p, const std::string &path) { SimSetChunked(p, path, nChunk, true, true); };
}
PathFault Coded(const char *pszCoding) {
  return [=](SimServer *p, const std::string &path) { SimSetContentEncoding(p, path, pszCoding); };
}
PathFault KeptOpen(PathFault also = nullptr) {
  return [=](SimServer *p, const std::string &path) {
    SimSetKeepOpen(p, path);
    if (also) also(p, path);
  };
}
PathFault Both(PathFault a, PathFault b) {
  return [=](SimServer *p, const std::string &path) {
    a(p, path);
    b(p, path);
  };
}
PathFault Headers(const std::vector<std::string> &lines) {
  return [=](SimServer *p, const std::string &path) { SimSetExtraHeaders(p, path, lines); };
}
// The configuration of device 1 as a real server may send it (its text is
// what the unit serves), every other answer as the unit sends it.
PathFault Device1Ini(const std::string &head, const std::string &body) {
  return [=](SimServer *p, const std::string &path) {
    if (path == kCgi + "CFG=mb-001.ini")
      SimSetRawResponse(p, path, "HTTP/1.0 200 OK\r\n" + head + "\r\n\r\n" + body);
  };
}

// However the answers travel (chunked, compressed, with long or odd header
// lines, after interim answers, without a length, on a connection kept
// open), a whole download stores every file as served and lets the unit
// delete its logs. A server that keeps its connections open ends nothing by
// a close: the length or the last chunk must do (a receive timeout would
// fail them all).
TEST_F(DownloadFaults, WholeBodiesAreStoredAsServedHoweverTheyTravel) {
  DownloadLimits limits(kConnectTimeoutMs, kSlowWindowMs, 2000);
  // The text of device 1's configuration, in two parts.
  const std::string a = "MODBUSID=1\nDEVICENAME=Meter 1\n", b = "DEVICETYPE=Energy meter\nBAUD=9600\n";
  const std::string nul("\0X-After-Nul: 1", 15);
  SimConfig noLength;
  noLength.bNoContentLength = true;
  struct Row {
    const char *pszName;
    PathFault set;
    SimConfig cfg;
  } rows[] = {
      {"chunked", Chunked(7), {}},
      {"chunked, one-byte chunks", Chunked(1), {}},
      {"gzip", Coded("gzip"), {}},
      {"deflate", Coded("deflate"), {}},
      {"gzip, chunked", Both(Coded("gzip"), Chunked(100)), {}},
      {"kept open", KeptOpen(), {}},
      {"kept open, chunked", KeptOpen(Chunked(7)), {}},
      {"kept open, gzip", KeptOpen(Coded("gzip")), {}},
      {"kept open, gzip, chunked", KeptOpen(Both(Coded("gzip"), Chunked(100))), {}},
      // Forms real servers produce besides the plain ones: a gzip body of
      // two members, "deflate" without its zlib wrapper, codings named in
      // capitals.
      {"gzip of two members", Device1Ini("Content-Encoding: gzip", Compress(a) + Compress(b)), {}},
      {"raw deflate", Device1Ini("Content-Encoding: deflate", Compress(a + b, ZipForm::Raw)), {}},
      {"codings in capitals",
       Device1Ini("Content-Encoding: GZIP\r\nTransfer-Encoding: Chunked", ChunkBody(Compress(a + b))),
       {}},
      {"header line of 254", Headers({SimHeaderLine(254)}), {}},
      {"header line of 255", Headers({SimHeaderLine(255)}), {}},
      {"header line of 256", Headers({SimHeaderLine(256)}), {}},
      {"header line of 3000", Headers({SimHeaderLine(3000), "Via: 1.1 proxy"}), {}},
      {"NUL in a header line", Headers({nul, SimHeaderLine(509)}), {}},
      {"100 Continue first", [](SimServer *p, const std::string &path) { SimSetInterim(p, path, 2); },
       {}},
      // Units that send no length are judged by the close alone.
      {"no length", [](SimServer *, const std::string &) {}, noLength},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.pszName);
    Start(row.cfg);
    const std::string list = Served(kList), cfg = Served(kIdentity);
    const std::string log1 = SimLogBody(sim->p, 1), log2 = SimLogBody(sim->p, 2);
    for (const std::string &path : AllPaths()) row.set(sim->p, path);
    Run();
    EXPECT_STREQ(das.serialnumber, S.c_str());
    EXPECT_STREQ(das.name, "Sim unit");
    EXPECT_EQ(ReadFileBytes(S + "/devlist.txt"), ToCrLf(list));
    EXPECT_EQ(ReadFileBytes(S + "/loggerconfig.ini"), ToCrLf(cfg));
    EXPECT_EQ(ReadFileBytes(S + "/mb-001.ini"), ToCrLf(a + b));
    EXPECT_EQ(ReadFileBytes(S + "/mb-001.log"), log1);
    EXPECT_EQ(ReadFileBytes(S + "/mb-002.log"), log2);
    EXPECT_EQ(SimDeleteCount(sim->p, 1), 1);
    EXPECT_EQ(SimDeleteCount(sim->p, 2), 1);
    EXPECT_EQ(ErrorLogErrorCount(), 0);
    EXPECT_TRUE(LogHas("Download Ordavan complete, serial " + S));
  }
}

// A header that never ends, a unit gone quiet, a challenge in a scheme this
// program does not speak, a status code too long to be one: each given up
// with an entry that says which.
TEST_F(DownloadFaults, EndlessHeadersStallsAndOddChallengesAreNamed) {
  DownloadLimits limits(kConnectTimeoutMs, 3000, 1000, 1000);
  const std::string cfg1 = kCgi + "CFG=mb-001.ini";
  std::vector<std::string> many(70, SimHeaderLine(1000));
  struct Case {
    std::string what;
    std::function<void(SimServer *)> set;
    std::string entry;
  } cases[] = {
      {"dribble", [&](SimServer *p) { SimSetDribble(p, cfg1, 100); },
       "given up: its header did not end within 1 s"},
      {"long", [&](SimServer *p) { SimSetExtraHeaders(p, cfg1, many); },
       "given up: its header went on for more than 65536 bytes"},
      {"stall", [&](SimServer *p) { SimSetStallBody(p, kCgi + "MB=1", 100); },
       "incomplete: no data for 1 s, 100 bytes arrived"},
      {"digest",
       [&](SimServer *p) {
         SimSetRawResponse(p, kIdentity,
                           "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"das\", "
                           "nonce=\"1\"\r\nContent-Length: 0\r\n\r\n");
       },
       "asks for Digest authentication, which this program does not speak)"},
      {"status", [&](SimServer *p) { SimSetRawResponse(p, kIdentity, "HTTP/1.0 4294967295 OK\r\n\r\n"); },
       "cannot be read: 4294967295"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    Start();
    k.set(sim->p);
    Run();
    EXPECT_TRUE(LogContains(k.entry));
    EXPECT_FALSE(LogContains("admin password incorrect"));
    EXPECT_FALSE(LogContains("HTTP -1"));
    EXPECT_GE(ErrorLogErrorCount(), 1);
  }
}

// A web server's page for the device list request, answered 200: the unit
// is a single meter behind such a server.
TEST_F(DownloadFaults, WebPageForUnknownPathsDoesNotMakeASingleMeterMultiDevice) {
  SimConfig c;
  c.nKind = 2;
  c.bHtmlForUnknown = true;
  Start(c);
  const std::string cfg = Served("/loggerconfig.ini"), ini = Served("/mb-001.ini");
  const std::string log1 = SimLogBody(sim->p, 1);
  Run();
  EXPECT_STREQ(das.serialnumber, S.c_str());
  EXPECT_EQ(ReadFileBytes(S + "/loggerconfig.ini"), ToCrLf(cfg));
  EXPECT_EQ(ReadFileBytes(S + "/mb-001.ini"), ToCrLf(ini));
  EXPECT_EQ(ReadFileBytes(S + "/mb-001.log"), log1);
  std::string list = ReadFileBytes(S + "/devlist.txt");
  EXPECT_EQ(list.rfind("Modbus ID,DeviceName,DeviceType,DeviceClass,Log File URL\r\n001,", 0), 0u);
  EXPECT_EQ(list.find("<html>"), std::string::npos);
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 1);
  EXPECT_EQ(ErrorLogErrorCount(), 0);
  EXPECT_TRUE(LogHas("Download Ordalet complete, serial " + S));

  // A server whose unknown-path page is plain text: the list names no
  // device, the unit's download fails and the stored copies stay.
}

// Answers that look like a unit's but are not: a server's login page for
// every path, a configuration without a serial number, log bodies that are
// web pages or whose lines cannot be read as records. One error entry,
// nothing merged, nothing deleted, no temporary file left to be taken up.
TEST_F(DownloadFaults, LookalikeAnswersAreNeitherMergedNorDeleted) {
  const std::string page = "<!DOCTYPE html>\n<html><body><form>Login</form></body></html>\n";
  const std::string kLog1 = kCgi + "MB=1";
  std::string log1;
  {
    SimUnit unit{SimConfig{}};
    log1 = SimLogBody(unit.p, 1);
  }
  std::string crOnly = log1;
  std::replace(crOnly.begin(), crOnly.end(), '\n', '\r');
  const std::string header = log1.substr(0, log1.find('\n') + 1);
  struct Case {
    const char *pszName;
    std::string path, raw, body;  // raw: the whole answer; else body as text/plain
    std::string entry;            // the error entry, after "... at <address> "
  } cases[] = {
      {"login page everywhere", "*", "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + page, "",
       "gave no serial number (its configuration file has no SERIALNUMBER= line)"},
      {"configuration without serial number", kIdentity, "", "LOOPNAME=Sim unit\nX=1\n",
       "gave no serial number (its configuration file has no SERIALNUMBER= line)"},
      {"log as text/html", kLog1, "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n" + log1,
       "", "is a web page (text/html), not a log"},
      {"log that is a page", kLog1, "", page,
       "is not a log: its first line is neither the log header nor a data line"},
      {"CR-only line ends", kLog1, "", crOnly, "is not a log: no record in it, its lines end in CR alone"},
      {"no time stamps", kLog1, "", header + "a,b,c\nd,e,f\n",
       "is not a log: no line in it begins with a time stamp"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.pszName);
    Start();
    CopyString(das.serialnumber, S.c_str(), sizeof das.serialnumber);
    std::vector<std::string> paths = AllPaths();
    for (const char *psz : {"/loggerconfig.ini", "/mb-001.log", "/deletelog.cgi"}) paths.push_back(psz);
    for (const std::string &path : paths) {
      if (k.path != "*" && path != k.path) continue;
      if (!k.raw.empty()) SimSetRawResponse(sim->p, path, k.raw);
      else SimSetBody(sim->p, path, k.body);
    }
    Run();
    const std::string unit = "DAS " + S + " at " + das.ipaddress + " ";
    EXPECT_TRUE(LogHas(unit + k.entry) || LogHas("Log file of device 1 from " + unit + k.entry));
    EXPECT_EQ(ErrorLogErrorCount(), 1);
    EXPECT_FALSE(FileExists(S + "/mb-001.log"));
    EXPECT_TRUE(!fs::exists(S + "/temp") || fs::is_empty(S + "/temp"));
    for (const std::string &p : SimRequestPaths(sim->p)) {
      EXPECT_EQ(p.find("DEL"), std::string::npos) << p;
      EXPECT_NE(p, "/deletelog.cgi");
    }
  }
}

// Zero-padded parts of an address are decimal: 127.000.000.010 is the unit
// at 127.0.0.10, not the one at 127.0.0.8 (octal 010). Anything but four
// plain numbers is refused before any request.
TEST_F(DownloadFaults, DottedAddressesAreReadAsDecimal) {
  StartLog();
  SimConfig ten, eight;
  ten.bindAddress = "127.0.0.10";
  eight.bindAddress = "127.0.0.8";
  eight.serial = "DAS000000008";
  SimServer *pTen = SimStart(ten);
  ASSERT_NE(pTen, nullptr);
  const std::string port = std::to_string(SimPort(pTen));
  SimServer *pEight = SimStart(eight, SimPort(pTen));
  ASSERT_NE(pEight, nullptr);
  std::memset(&das, 0, sizeof das);
  CopyString(das.password, "qexal", sizeof das.password);
  CopyString(das.ipaddress, ("127.000.000.010:" + port).c_str(), sizeof das.ipaddress);
  Run();
  EXPECT_STREQ(das.serialnumber, S.c_str());
  EXPECT_TRUE(SimRequestPaths(pEight).empty());
  EXPECT_EQ(ErrorLogErrorCount(), 0);
  SimClearRequests(pTen);
  for (const std::string &bad : {"127.0.0.0x0a:" + port, "127.10:" + port, "127.0.0.10." + port}) {
    SCOPED_TRACE(bad);
    StartLog();
    CopyString(das.ipaddress, bad.c_str(), sizeof das.ipaddress);
    Run();
    EXPECT_TRUE(LogHas("Address [" + bad + "] of DAS " + S +
                       " is not four decimal numbers from 0 to 255 (a.b.c.d or a.b.c.d:port); "
                       "the unit is not contacted"));
    EXPECT_EQ(ErrorLogErrorCount(), 1);
  }
  EXPECT_TRUE(SimRequestPaths(pTen).empty());
  EXPECT_TRUE(SimRequestPaths(pEight).empty());
  SimStop(pTen);
  SimStop(pEight);
}

TEST_F(DownloadFaults, OddDeviceListsFetchEachListedDeviceOnce) {
  struct Case {
    const char *pszKind;
    std::vector<int> devices;     // the unit's devices
    std::vector<int> fetched;     // the logs requested, in order
  } cases[] = {
      {"sub", {2, 3, 9}, {2, 3, 9}},     // 0x1A in the first line hides nothing
      {"wrap", {2, 3}, {2, 3}},          // 4294967297 is no device 1
      {"long", {2, 3, 9}, {2, 3}},       // 9 only inside a long line
      {"dup", {2, 3}, {2, 3}},           // each once
      {"signs", {5, 6}, {4, 5, 6}},      // only plain numbers (twenty digits for 4)
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.pszKind);
    SimConfig c;
    c.devices = k.devices;
    const std::string list = SimOddDeviceList(c, k.pszKind);
    c.devices.push_back(4);  // served, so a wrong fetch of it would succeed
    c.devices.push_back(1);
    Start(c);
    SimSetBody(sim->p, kList, list);
    Run();
    std::vector<std::string> logs;
    for (const std::string &p : SimRequestPaths(sim->p))
      if (p.rfind(kCgi + "MB=", 0) == 0 && p != kList) logs.push_back(p);
    std::vector<std::string> want;
    for (int n : k.fetched) want.push_back(kCgi + "MB=" + std::to_string(n));
    EXPECT_EQ(logs, want);
    EXPECT_EQ(ReadFileBytes(S + "/devlist.txt"), ToCrLf(list));  // stored as served
    EXPECT_EQ(ErrorLogErrorCount(), 0);
  }
}

// Transfers that creep: given up after a window in which less than a byte
// a second arrived.
TEST_F(DownloadFaults, CreepingTransfersAreGivenUp) {
  DownloadLimits limits(kConnectTimeoutMs, 3000);
  // A log body that creeps in at a byte every 1.5 s: given up, merged up to
  // its last whole line, not deleted.
  Start();
  SimSetSlowBody(sim->p, kCgi + "MB=1", 1, 1500);
  Run();
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
  EXPECT_TRUE(LogHas("Log file download incomplete, delete request not sent"));
  bool bFound = false;
  for (auto &e : ReadLogEntries())
    bFound |= e.message.find("incomplete: less than 1 byte per second arrived for 3 s") !=
              std::string::npos;
  EXPECT_TRUE(bFound);

  // A whole answer dribbling in, header included: given up as well.
  Start();
  SimSetDribble(sim->p, kCgi + "CFG=mb-001.ini", 1500);
  Run();
  EXPECT_FALSE(FileExists(S + "/mb-001.ini"));
  EXPECT_TRUE(LogHas("Unexpected server response, expected configfile.\nGot http result 0"));
  EXPECT_TRUE(LogHas("Answer of " + std::string(das.ipaddress) +
                     " given up: less than 1 byte per second arrived for 3 s"));
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 1);  // the log before it was whole
}

// Nights that fetch no whole log line still take up what is on this disk:
// a log cut inside its first line is merged as an empty download is, and a
// unit that cannot be reached gets its leftover downloads merged, which
// repairs a log cut inside an append by a kill.
TEST_F(DownloadFaults, NightsWithoutAWholeLineStillMergeWhatEarlierRunsLeft) {
  const std::string header = "time,kwh\r\n";
  const std::string a = "2026-01-01 00:01:00,1\r\n", b = "2026-01-01 00:02:00,2\r\n";
  // A local log edited out of order: the merge writes it back in order.
  for (long nCut : {-1L, 10L}) {
    SCOPED_TRACE(nCut < 0 ? "empty body" : "cut inside the first line");
    Start();
    fs::create_directories(S);
    WriteFileBytes(S + "/mb-001.log", header + b + a);
    if (nCut < 0)
      SimSetBody(sim->p, kCgi + "MB=1", "");
    else
      SimSetCutBody(sim->p, kCgi + "MB=1", nCut);
    Run();
    EXPECT_EQ(ReadFileBytes(S + "/mb-001.log"), header + a + b);
    EXPECT_TRUE(fs::is_empty(S + "/temp"));
  }

  // What a kill inside an append leaves: the log a merge wrote with part
  // of the new lines after it, the download they came from in temp. The
  // unit refuses the connection that night.
  Start();
  fs::create_directories(S + "/temp");
  char szStatus[64];
  WriteFileBytes("first.tmp", header + a);
  ASSERT_EQ(1, MergeLogFile(S.c_str(), 1, "first.tmp", szStatus, sizeof szStatus, nullptr));
  ASSERT_TRUE(FileExists(S + "/mb-001.state"));
  WriteFileBytes(S + "/temp/mb-001.0.tmp", header + b);
  std::string torn = ReadFileBytes(S + "/mb-001.log") + b.substr(0, 21);
  WriteFileBytes(S + "/mb-001.log", torn);
  std::memset(&das, 0, sizeof das);
  CopyString(das.serialnumber, S.c_str(), sizeof das.serialnumber);
  CopyString(das.ipaddress, "127.0.0.1:1", sizeof das.ipaddress);
  Run();
  EXPECT_EQ(ReadFileBytes(S + "/mb-001.log"), header + a + b);
  EXPECT_TRUE(fs::is_empty(S + "/temp"));
  EXPECT_TRUE(LogHas("Merging earlier downloads of device 1, serial " + S));
}

}  // namespace
