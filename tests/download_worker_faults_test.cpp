// Units and what stands in front of them misbehaving as they do in the field:
// bodies chunked or compressed, long or odd header lines, interim answers,
// web pages for unknown paths, odd device lists, odd serial numbers, a port
// that never answers a connect, a peer that sends a byte now and then. One
// grouped test per family, each a whole download against the simulated unit.
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

class DownloadFaults : public ::testing::Test {
 protected:
  void Start(const SimConfig &cfg) {
    StartLog();
    sim = std::make_unique<SimUnit>(cfg);
    ASSERT_NE(sim->p, nullptr);
    std::memset(&das, 0, sizeof das);
    CopyString(das.ipaddress, sim->Address().c_str(), sizeof das.ipaddress);
    CopyString(das.password, "qexal", sizeof das.password);
    das.deletelog = 1;
  }
  // What the unit serves at a path, fetched plainly before any fault is set.
  std::string Served(const std::string &path) {
    std::string body = FetchBody(sim->Port(), path, "qexal");
    SimClearRequests(sim->p);
    return body;
  }
  void Run() {
    RunWorker(&das);
    EXPECT_EQ(DownloadJobsAlive(), 0);
  }
  // Fresh working directory contents and log for the next case.
  void Reset() {
    sim.reset();
    std::error_code ec;
    for (auto &e : fs::directory_iterator(".")) fs::remove_all(e.path(), ec);
  }
  // A whole multi-device download of the default unit, every file as
  // served; the logs deleted on the unit.
  void ExpectWholeMultiDownload(const std::string &list, const std::string &cfg,
                                const std::string &log1, const std::string &log2) {
    EXPECT_STREQ(das.serialnumber, S.c_str());
    EXPECT_STREQ(das.name, "Sim unit");
    EXPECT_EQ(ReadFileBytes(S + "/devlist.txt"), ToCrLf(list));
    EXPECT_EQ(ReadFileBytes(S + "/loggerconfig.ini"), ToCrLf(cfg));
    EXPECT_EQ(ReadFileBytes(S + "/mb-001.ini"),
              ToCrLf("MODBUSID=1\nDEVICENAME=Meter 1\nDEVICETYPE=Energy meter\nBAUD=9600\n"));
    EXPECT_EQ(ReadFileBytes(S + "/mb-001.log"), log1);
    EXPECT_EQ(ReadFileBytes(S + "/mb-002.log"), log2);
    EXPECT_EQ(SimDeleteCount(sim->p, 1), 1);
    EXPECT_EQ(SimDeleteCount(sim->p, 2), 1);
    EXPECT_EQ(ErrorLogErrorCount(), 0);
    EXPECT_TRUE(LogHas("Download Ordavan complete, serial " + S));
  }
  std::vector<std::string> AllPaths() {
    return {kIdentity, kList, kCgi + "MB=1", kCgi + "MB=2", kCgi + "CFG=mb-001.ini",
            kCgi + "CFG=mb-002.ini", "/setup/statlog.cgi?DELMBZIPLOG=1",
            "/setup/statlog.cgi?DELMBZIPLOG=2"};
  }

  TempDir dir;
  std::unique_ptr<SimUnit> sim;
  DasRecord das;
};

// Shortened give-up limits for one test.
struct Limits {
  Limits(unsigned nConnectMs, unsigned nWindowMs, unsigned nRecvMs = kRecvTimeoutMs,
         unsigned nHeaderMs = kHeaderTimeoutMs) {
    DownloadConnectTimeoutMs.store(nConnectMs);
    DownloadSlowWindowMs.store(nWindowMs);
    DownloadRecvTimeoutMs.store(nRecvMs);
    DownloadHeaderTimeoutMs.store(nHeaderMs);
  }
  ~Limits() {
    DownloadConnectTimeoutMs.store(kConnectTimeoutMs);
    DownloadSlowWindowMs.store(kSlowWindowMs);
    DownloadRecvTimeoutMs.store(kRecvTimeoutMs);
    DownloadHeaderTimeoutMs.store(kHeaderTimeoutMs);
  }
};

// Some entry's message contains the text.
bool LogContains(const std::string &text) {
  for (auto &e : ReadLogEntries())
    if (e.message.find(text) != std::string::npos) return true;
  return false;
}

TEST_F(DownloadFaults, ChunkedAndCompressedBodiesAreStoredDecoded) {
  // A server that keeps its connections open ends nothing by a close: the
  // length or the last chunk must do (a receive timeout would fail them all).
  Limits limits(kConnectTimeoutMs, kSlowWindowMs, 2000);
  struct Case {
    const char *pszName;
    int nChunk;
    const char *pszCoding;
    bool bKeepOpen;
  } cases[] = {
      {"chunked", 7, "", false},          {"chunked, one-byte chunks", 1, "", false},
      {"gzip", 0, "gzip", false},         {"deflate", 0, "deflate", false},
      {"gzip, chunked", 100, "gzip", false},
      {"kept open", 0, "", true},         {"kept open, chunked", 7, "", true},
      {"kept open, gzip", 0, "gzip", true}, {"kept open, gzip, chunked", 100, "gzip", true},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.pszName);
    Start(SimConfig{});
    const std::string list = Served(kList), cfg = Served(kIdentity);
    const std::string log1 = SimLogBody(sim->p, 1), log2 = SimLogBody(sim->p, 2);
    for (const std::string &path : AllPaths()) {
      if (k.nChunk) SimSetChunked(sim->p, path, k.nChunk, true, true);
      if (*k.pszCoding) SimSetContentEncoding(sim->p, path, k.pszCoding);
      if (k.bKeepOpen) SimSetKeepOpen(sim->p, path);
    }
    Run();
    ExpectWholeMultiDownload(list, cfg, log1, log2);
    Reset();
  }
}

// Forms real servers produce besides the plain ones: a gzip body of two
// members, "deflate" without its zlib wrapper, codings named in capitals.
TEST_F(DownloadFaults, GzipMembersAndRawDeflateAreDecodedWhole) {
  const std::string a = "MODBUSID=1\nDEVICENAME=Meter 1\n", b = "DEVICETYPE=Energy meter\nBAUD=9600\n";

  struct Case {
    std::string head, body;
  } cases[] = {
      {"Content-Encoding: gzip", Compress(a) + Compress(b)},
      {"Content-Encoding: deflate", Compress(a + b, ZipForm::Raw)},
      {"Content-Encoding: GZIP\r\nTransfer-Encoding: Chunked", ChunkBody(Compress(a + b))},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.head);
    Start(SimConfig{});
    SimSetRawResponse(sim->p, kCgi + "CFG=mb-001.ini",
                      "HTTP/1.0 200 OK\r\n" + k.head + "\r\n\r\n" + k.body);
    Run();
    EXPECT_EQ(ReadFileBytes(S + "/mb-001.ini"), ToCrLf(a + b));
    EXPECT_EQ(ErrorLogErrorCount(), 0);
    Reset();
  }
}

TEST_F(DownloadFaults, BodiesInUnknownEncodingsOrCutInsideTheirEncodingAreRefused) {
  // A log whose coding cannot be undone: nothing stored or merged, no delete.
  Start(SimConfig{});
  const std::string log2 = SimLogBody(sim->p, 2);
  SimSetContentEncoding(sim->p, kCgi + "MB=1", "br");
  Run();
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
  EXPECT_EQ(SimLogRecords(sim->p, 1), 1440);
  EXPECT_FALSE(FileExists(S + "/mb-001.log"));  // not even an empty one
  EXPECT_TRUE(fs::is_empty(S + "/temp"));
  EXPECT_TRUE(LogHas("Log file of device 1 from DAS " + S + " at " + das.ipaddress +
                     " incomplete: sent in a content encoding this program cannot read (br), 0 "
                     "bytes arrived"));
  EXPECT_EQ(ReadFileBytes(S + "/mb-002.log"), log2);  // the other device is unaffected
  EXPECT_EQ(ErrorLogErrorCount(), 1);
  Reset();

  // An unknown transfer coding on the device list: no device is fetched
  // and the list is not stored.
  Start(SimConfig{});
  SimSetExtraHeaders(sim->p, kList, {"Transfer-Encoding: compress"});
  Run();
  EXPECT_FALSE(FileExists(S + "/devlist.txt"));
  EXPECT_EQ(SimRequestPaths(sim->p), (std::vector<std::string>{kIdentity, kList, kIdentity}));
  EXPECT_TRUE(LogHas("Device list from DAS " + S + " at " + das.ipaddress +
                     " incomplete: sent in a transfer encoding this program cannot read "
                     "(compress), 0 bytes arrived"));
  Reset();

  // A configuration file in an unknown coding keeps the stored copy.
  Start(SimConfig{});
  fs::create_directory(S);
  WriteFileBytes(S + "/mb-002.ini", "the good copy\r\n");
  SimSetContentEncoding(sim->p, kCgi + "CFG=mb-002.ini", "zstd");
  Run();
  EXPECT_EQ(ReadFileBytes(S + "/mb-002.ini"), "the good copy\r\n");
  EXPECT_FALSE(FileExists(S + "/mb-002.ini.new"));
  EXPECT_GE(ErrorLogErrorCount(), 1);
  Reset();

  // Chunked and compressed logs cut by an ordinary close: incomplete, whole
  // lines merged, no delete.
  for (int nChunk : {0, 50}) {
    SCOPED_TRACE(nChunk);
    Start(SimConfig{});
    const std::string log1 = SimLogBody(sim->p, 1);
    if (nChunk) SimSetChunked(sim->p, kCgi + "MB=1", nChunk);
    else SimSetContentEncoding(sim->p, kCgi + "MB=1", "gzip");
    SimSetCutBody(sim->p, kCgi + "MB=1", 3000);
    Run();
    EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
    std::string got = ReadFileBytes(S + "/mb-001.log");
    EXPECT_LT(got.size(), log1.size());
    EXPECT_EQ(got, log1.substr(0, got.size()));  // a head of the log, whole lines
    EXPECT_TRUE(got.empty() || got.back() == '\n');
    EXPECT_TRUE(LogHas("Log file download incomplete, delete request not sent"));
    Reset();
  }
}

// Lengths that are no plain number, or two that differ, before a body cut
// by a close: refused, nothing merged, no delete. A body inflating far
// beyond any log text is given up the same way.
TEST_F(DownloadFaults, UntrustworthyLengthsAndInflationBombsAreRefused) {
  const SimConfig c;
  struct Case {
    std::string head, body, why;
  } cases[] = {
      {"Content-Length: +100", "", "(Content-Length: +100)"},
      {"Content-Length: -5", "", "(Content-Length: -5)"},
      {"Content-Length: 0x64", "", "(Content-Length: 0x64)"},
      {"Content-Length: " + std::string(30, '9'), "", "(Content-Length: 999"},
      {"Content-Length: 100\r\nContent-Length: 99999", "", "(Content-Length: 100 and 99999)"},
      {"Content-Encoding: gzip", "bomb", "inflates to more than 100 times its size"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.head);
    Start(SimConfig{});
    std::string body = SimLogBody(sim->p, 1).substr(0, 3000);
    if (k.body == "bomb") {
      // The log's own lines, one record over and over.
      std::string all = SimLogBody(sim->p, 1);
      body = all.substr(0, (std::size_t)SimHeaderBytes(c));
      const std::string rec = SimRecordLine(c, 1, 0);
      while (body.size() < (8u << 20)) body += rec;
      body = Compress(body);
    }
    SimSetRawResponse(sim->p, kCgi + "MB=1", "HTTP/1.0 200 OK\r\n" + k.head + "\r\n\r\n" + body);
    Run();
    EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
    EXPECT_EQ(SimDeleteCount(sim->p, 2), 1);
    EXPECT_TRUE(LogContains("Log file of device 1 from DAS " + S + " at " + das.ipaddress +
                            " incomplete: "));
    EXPECT_TRUE(LogContains(k.why));
    EXPECT_LT(ReadFileBytes(S + "/mb-001.log").size(), 5u << 20);
    Reset();
  }
}

// A header that never ends, a unit gone quiet, a challenge in a scheme this
// program does not speak, a status code too long to be one: each given up
// with an entry that says which.
TEST_F(DownloadFaults, EndlessHeadersStallsAndOddChallengesAreNamed) {
  Limits limits(kConnectTimeoutMs, 3000, 1000, 1000);
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
    Start(SimConfig{});
    k.set(sim->p);
    Run();
    EXPECT_TRUE(LogContains(k.entry));
    EXPECT_FALSE(LogContains("admin password incorrect"));
    EXPECT_FALSE(LogContains("HTTP -1"));
    EXPECT_GE(ErrorLogErrorCount(), 1);
    Reset();
  }
}

TEST_F(DownloadFaults, LongAndOddHeaderLinesAndInterimAnswersLeaveTheBodyAlone) {
  const std::string nul("\0X-After-Nul: 1", 15);
  std::vector<std::vector<std::string>> headerSets = {
      {SimHeaderLine(254)}, {SimHeaderLine(255)}, {SimHeaderLine(256)},
      {SimHeaderLine(3000), "Via: 1.1 proxy"}, {nul, SimHeaderLine(509)}};
  for (size_t i = 0; i < headerSets.size(); ++i) {
    SCOPED_TRACE(i);
    Start(SimConfig{});
    const std::string list = Served(kList), cfg = Served(kIdentity);
    const std::string log1 = SimLogBody(sim->p, 1), log2 = SimLogBody(sim->p, 2);
    for (const std::string &path : AllPaths()) SimSetExtraHeaders(sim->p, path, headerSets[i]);
    Run();
    ExpectWholeMultiDownload(list, cfg, log1, log2);
    Reset();
  }
  // "100 Continue" before every answer.
  Start(SimConfig{});
  const std::string list = Served(kList), cfg = Served(kIdentity);
  const std::string log1 = SimLogBody(sim->p, 1), log2 = SimLogBody(sim->p, 2);
  for (const std::string &path : AllPaths()) SimSetInterim(sim->p, path, 2);
  Run();
  ExpectWholeMultiDownload(list, cfg, log1, log2);
}

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
  Reset();
  Start(c);
  SimSetHtmlForUnknown(sim->p, false);
  SimSetBody(sim->p, kList, "Welcome to this server\n");
  fs::create_directory(S);
  WriteFileBytes(S + "/devlist.txt", "good list\r\n");
  WriteFileBytes(S + "/loggerconfig.ini", "good config\r\n");
  CopyString(das.serialnumber, S.c_str(), sizeof das.serialnumber);
  Run();
  EXPECT_EQ(ReadFileBytes(S + "/devlist.txt"), "good list\r\n");
  EXPECT_EQ(ReadFileBytes(S + "/loggerconfig.ini"), "good config\r\n");
  EXPECT_TRUE(LogHas("Device list from DAS " + S + " at " + das.ipaddress + " names no device"));
  EXPECT_EQ(SimRequestPaths(sim->p),
            (std::vector<std::string>{kIdentity, "/loggerconfig.ini", kList}));
  EXPECT_EQ(ErrorLogErrorCount(), 1);
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
    Start(SimConfig{});
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
    Reset();
  }
}

// A delete the unit refuses or leaves unanswered keeps the data on the unit:
// the night is not complete.
TEST_F(DownloadFaults, FailedDeleteRequestFailsTheUnit) {
  const std::string kDel = "/setup/statlog.cgi?DELMBZIPLOG=1";
  for (int nStatus : {500, 0}) {
    SCOPED_TRACE(nStatus);
    Start(SimConfig{});
    if (nStatus) SimSetStatus(sim->p, kDel, nStatus);
    else SimSetRawResponse(sim->p, kDel, "");
    SummaryReset();
    Run();
    const std::string why = nStatus ? "answered HTTP 500" : "gave no HTTP answer";
    EXPECT_TRUE(LogHas("Delete request for device 1 to DAS " + S + " at " + das.ipaddress +
                       " failed: the unit " + why + "; its log data stays on it"));
    EXPECT_EQ(ErrorLogErrorCount(), 1);
    EXPECT_EQ(SummaryText(), S + " Sim unit: failed: " + why + " to the delete request for device 1\n"
                             "1 unit: 0 complete, 1 failed\n");
    EXPECT_EQ(ReadFileBytes(S + "/mb-001.log"), SimLogBody(sim->p, 1));  // stored all the same
    Reset();
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
    Reset();
  }

  // No device line, or a list reset half-way: the unit's download failed,
  // and the stored list stays.
  for (int bReset : {0, 1}) {
    SCOPED_TRACE(bReset);
    SimConfig c;
    Start(c);
    if (bReset)
      SimSetCutBody(sim->p, kList, 150, true);
    else
      SimSetBody(sim->p, kList, SimOddDeviceList(c, "nodevice"));
    fs::create_directory(S);
    WriteFileBytes(S + "/devlist.txt", "good list\r\n");
    Run();
    EXPECT_EQ(ReadFileBytes(S + "/devlist.txt"), "good list\r\n");
    for (const std::string &p : SimRequestPaths(sim->p))
      EXPECT_NE(p, kCgi + "MB=1");
    EXPECT_GE(ErrorLogErrorCount(), 1);
    EXPECT_FALSE(LogHas("Download Ordavan complete, serial " + S));
    Reset();
  }
}

TEST_F(DownloadFaults, RefusedSerialNumbersReplaceNothingAndMakeNoDirectory) {
  const std::string kept = "DAS000000042";
  for (const std::string &bad :
       {std::string("DAS,00000077"), std::string("DAS\"0000007"), std::string("DAS/00000077"),
        std::string(""), std::string(300, '7'), std::string("DAS00000007\x01")}) {
    SCOPED_TRACE(bad);
    SimConfig c;
    c.serial = bad;
    Start(c);
    CopyString(das.serialnumber, kept.c_str(), sizeof das.serialnumber);
    Run();
    EXPECT_STREQ(das.serialnumber, kept.c_str());
    EXPECT_EQ(SimRequestPaths(sim->p), std::vector<std::string>{kIdentity});
    std::vector<std::string> entries;
    for (auto &e : fs::directory_iterator(".")) entries.push_back(e.path().filename().string());
    EXPECT_EQ(entries, std::vector<std::string>{"errorlog.txt"});
    EXPECT_EQ(ErrorLogErrorCount(), 1);
    Reset();
  }
  // A long comment line with decoys where 255-byte pieces would start: the
  // real serial number is the one read.
  SimConfig c;
  Start(c);
  SimSetExtraLines(sim->p, kIdentity, {SimSerialCommentLine(900, "DAS0FAKE0000")}, true);
  CopyString(das.serialnumber, kept.c_str(), sizeof das.serialnumber);
  Run();
  EXPECT_STREQ(das.serialnumber, S.c_str());
  // The row takes the unit's serial number, and the log says so.
  EXPECT_TRUE(LogHas("Serial number of DAS at " + std::string(das.ipaddress) + " changed from " +
                     kept + " to " + S));
  EXPECT_FALSE(fs::exists("DAS0FAKE0000"));
  EXPECT_EQ(ErrorLogErrorCount(), 0);
}

TEST_F(DownloadFaults, UnansweredConnectAndCreepingTransfersAreGivenUp) {
  Limits limits(1000, 3000);
  // A port whose connects never complete.
  StartLog();
  SimBlackHole *pHole = SimStartBlackHole();
  ASSERT_NE(pHole, nullptr);
  std::memset(&das, 0, sizeof das);
  const std::string addr = "127.0.0.1:" + std::to_string(SimBlackHolePort(pHole));
  CopyString(das.ipaddress, addr.c_str(), sizeof das.ipaddress);
  CopyString(das.serialnumber, S.c_str(), sizeof das.serialnumber);
  Run();
  SimStopBlackHole(pHole);
  // Given up at the connect: that entry is the unit's error entry, and
  // nothing further is tried.
  EXPECT_EQ(LogMessages("download").back(), "connect socket failed to " + addr);
  EXPECT_EQ(ErrorLogErrorCount(), 1);

  // A log body that creeps in at a byte every 1.5 s: given up, merged up to
  // its last whole line, not deleted.
  Start(SimConfig{});
  SimSetSlowBody(sim->p, kCgi + "MB=1", 1, 1500);
  Run();
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
  EXPECT_TRUE(LogHas("Log file download incomplete, delete request not sent"));
  bool bFound = false;
  for (auto &e : ReadLogEntries())
    bFound |= e.message.find("incomplete: less than 1 byte per second arrived for 3 s") !=
              std::string::npos;
  EXPECT_TRUE(bFound);
  Reset();

  // A whole answer dribbling in, header included: given up as well.
  Start(SimConfig{});
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
    Start(SimConfig{});
    fs::create_directories(S);
    WriteFileBytes(S + "/mb-001.log", header + b + a);
    if (nCut < 0)
      SimSetBody(sim->p, kCgi + "MB=1", "");
    else
      SimSetCutBody(sim->p, kCgi + "MB=1", nCut);
    Run();
    EXPECT_EQ(ReadFileBytes(S + "/mb-001.log"), header + a + b);
    EXPECT_TRUE(fs::is_empty(S + "/temp"));
    Reset();
  }

  // What a kill inside an append leaves: the log a merge wrote with part
  // of the new lines after it, the download they came from in temp. The
  // unit refuses the connection that night.
  StartLog();
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
