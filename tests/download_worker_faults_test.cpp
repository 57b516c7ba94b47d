// Units and what stands in front of them misbehaving as they do in the field:
// headers that never end, a unit gone quiet, odd challenges, answers that
// look like a unit's but are not, odd device lists, odd addresses, a peer
// that sends a byte now and then, nights that bring no whole line. One
// grouped test per family, each a whole download against the simulated unit.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "download/download.h"
#include "download/testhooks.h"
#include "log/testhooks.h"
#include "merge/merge.h"
#include "tests/support/download_fixture.h"

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
// plain numbers, a host name or a bracketed IPv6 address is refused before
// any request, and so is a port out of range.
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
    SummaryReset();
    Run();
    EXPECT_TRUE(LogHas("Address [" + bad + "] of DAS " + S +
                       " is not four decimal numbers from 0 to 255, a host name or an IPv6 "
                       "address in brackets (a.b.c.d, name or [v6], each with an optional "
                       ":port); the unit is not contacted"));
    EXPECT_EQ(ErrorLogErrorCount(), 1);
    EXPECT_NE(SummaryText().find(S + " Sim unit: failed: its address [" + bad + "] cannot be used\n"),
              std::string::npos)
        << SummaryText();
  }
  // A port out of range has an entry of its own.
  for (const std::string &bad : {std::string("127.0.0.10:0"), std::string("127.0.0.10:65536"),
                                 std::string("localhost:8o")}) {
    SCOPED_TRACE(bad);
    StartLog();
    CopyString(das.ipaddress, bad.c_str(), sizeof das.ipaddress);
    SummaryReset();
    Run();
    EXPECT_TRUE(LogHas("Port of address [" + bad + "] of DAS " + S +
                       " is not a number from 1 to 65535; the unit is not contacted"));
    EXPECT_EQ(ErrorLogErrorCount(), 1);
    EXPECT_NE(SummaryText().find(S + " Sim unit: failed: the port of its address [" + bad +
                                 "] cannot be used\n"),
              std::string::npos)
        << SummaryText();
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

// A whole answer dribbling in, header included: given up after a window in
// which less than a byte a second arrived.
TEST_F(DownloadFaults, CreepingAnswerIsGivenUp) {
  DownloadLimits limits(kConnectTimeoutMs, 3000);
  Start();
  SimSetDribble(sim->p, kCgi + "CFG=mb-001.ini", 1500);
  Run();
  EXPECT_FALSE(FileExists(S + "/mb-001.ini"));
  EXPECT_TRUE(LogHas("Unexpected server response, expected configfile.\nGot http result 0"));
  EXPECT_TRUE(LogHas("Answer of " + A + " given up: less than 1 byte per second arrived for 3 s"));
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
