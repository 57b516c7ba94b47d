// When a body counts as whole, and what a body that is not whole may and may
// not do: the unit is told to delete only a log that arrived whole and is in
// the local log, stored copies are replaced only by whole ones, and a unit
// whose download did not complete leaves exactly one error entry.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "download/download.h"
#include "download/testhooks.h"
#include "log/testhooks.h"
#include "tests/support/compress.h"
#include "tests/support/download_fixture.h"

namespace fs = std::filesystem;

namespace {

const std::string S = "DAS000000001";
const std::string kCgi = "/setup/logexport.cgi?";
const std::string kIdentity = kCgi + "CFG=loggerconfig.ini";
const std::string kList = kCgi + "MB=0";
const std::string kLog1 = kCgi + "MB=1";

class DownloadComplete : public DownloadWorkerTest {};

// What the default unit serves at a path, from a unit of its own.
std::string ServedByDefault(const std::string &path) {
  SimUnit unit;
  return FetchBody(unit.Port(), path, unit.cfg.password);
}

// A gzip body that inflates far beyond any log text: the log's own header
// and one record over and over.
std::string InflationBomb(SimServer *p) {
  const SimConfig c;
  std::string body = SimLogBody(p, 1).substr(0, (std::size_t)SimHeaderBytes(c));
  const std::string rec = SimRecordLine(c, 1, 0);
  while (body.size() < (8u << 20)) body += rec;
  return Compress(body);
}

// A server that is reloaded, or a proxy that times out, ends a transfer with
// an ordinary close; a unit that fails mid-transfer resets the connection;
// what the body was sent in may be cut or not be readable; a length may be
// no plain number, or two may differ; a body may inflate without end or
// creep in at a byte now and then. Every
// time the log of device 1 is not whole: it is not deleted, only its whole
// lines are merged, the rest of the night goes on, and the next run brings
// the rest.
TEST_F(DownloadComplete, LogNotWholeIsNeitherDeletedNorMergedPastItsLastLine) {
  DownloadLimits limits(kConnectTimeoutMs, 3000);
  const std::string log1 = ServedByDefault(kLog1);
  const std::string cut5000 = "5000 of " + std::to_string(log1.size()) + " bytes arrived";
  using Fault = std::function<void(SimServer *)>;
  auto Raw = [&](const std::string &head) {
    return [=](SimServer *p) {
      SimSetRawResponse(p, kLog1, "HTTP/1.0 200 OK\r\n" + head + "\r\n\r\n" + log1.substr(0, 3000));
    };
  };
  auto Untrusted = [](const std::string &value) {
    return "announced a length that cannot be trusted (Content-Length: " + value +
           "), 0 bytes arrived";
  };
  struct Row {
    const char *pszName;
    Fault set;
    std::string why;  // what the unit's error entry says after "incomplete: "
    long nCutAt;      // a plain cut: the lines before it are stored; 0 none
    bool bNoFile;     // not even an empty local log
  } rows[] = {
      {"ordinary close", [](SimServer *p) { SimSetCutBody(p, kLog1, 5000); },
       "cut short, " + cut5000, 5000, false},
      {"connection reset", [](SimServer *p) { SimSetCutBody(p, kLog1, 5000, true); },
       "connection failed, " + cut5000, 5000, false},
      {"chunked, closed",
       [](SimServer *p) {
         SimSetChunked(p, kLog1, 50);
         SimSetCutBody(p, kLog1, 3000);
       },
       "the chunked body was cut short", 0, false},
      {"gzip, closed",
       [](SimServer *p) {
         SimSetContentEncoding(p, kLog1, "gzip");
         SimSetCutBody(p, kLog1, 3000);
       },
       "cut short, 3000 of ", 0, false},
      {"gzip without a length, closed",
       [&](SimServer *p) {
         SimSetRawResponse(p, kLog1,
                           "HTTP/1.0 200 OK\r\nContent-Encoding: gzip\r\n\r\n" +
                               Compress(log1).substr(0, 3000));
       },
       "the compressed body was cut short", 0, false},
      {"unknown content coding", [](SimServer *p) { SimSetContentEncoding(p, kLog1, "br"); },
       "sent in a content encoding this program cannot read (br), 0 bytes arrived", 0, true},
      {"length with a sign", Raw("Content-Length: +100"), Untrusted("+100"), 0, true},
      {"negative length", Raw("Content-Length: -5"), Untrusted("-5"), 0, true},
      {"hexadecimal length", Raw("Content-Length: 0x64"), Untrusted("0x64"), 0, true},
      {"endless length", Raw("Content-Length: " + std::string(30, '9')),
       Untrusted(std::string(30, '9')), 0, true},
      {"more than announced", Raw("Content-Length: 100"),
       "more than the 100 bytes announced arrived", 0, false},
      {"two lengths", Raw("Content-Length: 100\r\nContent-Length: 99999"),
       Untrusted("100 and 99999"), 0, true},
      {"inflation bomb",
       [](SimServer *p) {
         SimSetRawResponse(p, kLog1,
                           "HTTP/1.0 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + InflationBomb(p));
       },
       "the compressed body inflates to more than 100 times its size, ", 0, false},
      {"a byte every 1.5 s", [](SimServer *p) { SimSetSlowBody(p, kLog1, 1, 1500); },
       "less than 1 byte per second arrived for 3 s", 0, true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.pszName);
    Start();
    const std::string log2 = SimLogBody(sim->p, 2);
    row.set(sim->p);
    Run();

    // Device 2 and the configuration files still come; only device 2 is
    // told to delete.
    ExpectRequests({kIdentity, kList, kLog1, kCgi + "CFG=mb-001.ini", kCgi + "MB=2",
                    "/setup/statlog.cgi?DELMBZIPLOG=2", kCgi + "CFG=mb-002.ini", kIdentity});
    EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
    EXPECT_EQ(SimLogRecords(sim->p, 1), 1440);  // the unit keeps everything
    EXPECT_EQ(SimDeleteCount(sim->p, 2), 1);    // the other device was whole
    EXPECT_EQ(ReadFileBytes(S + "/mb-002.log"), log2);
    // Whole lines only: the cut one would stand as a short record for good.
    const std::string got = ReadFileBytes(S + "/mb-001.log");
    EXPECT_LT(got.size(), log1.size());
    EXPECT_EQ(got, log1.substr(0, got.size()));
    EXPECT_TRUE(got.empty() || got.back() == '\n');
    if (row.nCutAt) {
      EXPECT_EQ(got, log1.substr(0, log1.rfind('\n', row.nCutAt - 1) + 1));
    }
    EXPECT_EQ(FileExists(S + "/mb-001.log"), !row.bNoFile);
    EXPECT_TRUE(fs::is_empty(S + "/temp"));
    EXPECT_TRUE(LogContains("Log file of device 1 from DAS " + S + " at " + A +
                            " incomplete: " + row.why));
    EXPECT_TRUE(LogHas("Log file download incomplete, delete request not sent"));
    EXPECT_FALSE(LogHas("Download Ordavan complete, serial " + S));
    EXPECT_EQ(ErrorLogErrorCount(), 1);  // that entry names the unit: no second one

    // The next run brings the rest and then lets the unit delete it.
    SimClearFaults(sim->p, "");
    StartLog();
    Run();
    EXPECT_EQ(ReadFileBytes(S + "/mb-001.log"), log1);
    EXPECT_EQ(SimDeleteCount(sim->p, 1), 1);
    EXPECT_EQ(ErrorLogErrorCount(), 0);
    EXPECT_TRUE(fs::is_empty(S + "/temp"));
  }
}

// A configuration file or device list that did not arrive whole, or that
// this program cannot read, or a list that names no device: the stored
// copies stay as they were, nothing is left beside them, no device is taken
// from such a list, and the unit's download fails with one error entry.
TEST_F(DownloadComplete, StoredCopiesAreReplacedOnlyByWholeOnes) {
  const std::string kIni1 = kCgi + "CFG=mb-001.ini", kIni2 = kCgi + "CFG=mb-002.ini";
  const std::string nList = std::to_string(ServedByDefault(kList).size());
  const std::string nIni1 = std::to_string(ServedByDefault(kIni1).size());
  SimConfig single;
  single.nKind = 2;
  using Fault = std::function<void(SimServer *)>;
  struct Row {
    const char *pszName;
    SimConfig cfg;
    Fault set;
    std::vector<std::string> kept;      // stored copies that must stay
    std::string entry;                  // the unit's error entry, after "... at <address> "
    std::vector<std::string> requests;  // when given, all the unit was asked
  } rows[] = {
      {"configuration cut by a close", SimConfig{},
       [&](SimServer *p) { SimSetCutBody(p, kIni1, 10); },
       {"mb-001.ini"}, "incomplete: cut short, 10 of " + nIni1 + " bytes arrived", {}},
      {"configuration in an unknown coding", SimConfig{},
       [&](SimServer *p) { SimSetContentEncoding(p, kIni2, "zstd"); }, {"mb-002.ini"}, "", {}},
      {"list cut by a close", SimConfig{}, [](SimServer *p) { SimSetCutBody(p, kList, 20); },
       {"devlist.txt"}, "incomplete: cut short, 20 of " + nList + " bytes arrived", {}},
      {"list reset half-way", SimConfig{}, [](SimServer *p) { SimSetCutBody(p, kList, 150, true); },
       {"devlist.txt"}, "", {}},
      {"list in an unknown transfer coding", SimConfig{},
       [](SimServer *p) { SimSetExtraHeaders(p, kList, {"Transfer-Encoding: compress"}); },
       {"devlist.txt"},
       "incomplete: sent in a transfer encoding this program cannot read (compress), "
       "0 bytes arrived",
       {kIdentity, kList, kIdentity}},
      {"list without a device line", SimConfig{},
       [](SimServer *p) { SimSetBody(p, kList, SimOddDeviceList(SimConfig{}, "nodevice")); },
       {"devlist.txt", "loggerconfig.ini"}, "names no device", {kIdentity, kList}},
      // A server whose unknown-path page is plain text, in front of a
      // single meter.
      {"plain page for a single meter's list", single,
       [](SimServer *p) { SimSetBody(p, kList, "Welcome to this server\n"); },
       {"devlist.txt", "loggerconfig.ini"}, "names no device",
       {kIdentity, "/loggerconfig.ini", kList}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.pszName);
    Start(row.cfg);
    fs::create_directory(S);
    for (const char *psz : {"devlist.txt", "loggerconfig.ini", "mb-001.ini", "mb-002.ini"})
      WriteFileBytes(S + "/" + psz, std::string("good ") + psz + "\r\n");
    CopyString(das.serialnumber, S.c_str(), sizeof das.serialnumber);
    row.set(sim->p);
    Run();
    for (const std::string &name : row.kept) {
      EXPECT_EQ(ReadFileBytes(S + "/" + name), "good " + name + "\r\n") << name;
      EXPECT_FALSE(FileExists(S + "/" + name + ".new")) << name;
    }
    EXPECT_EQ(ErrorLogErrorCount(), 1);
    const std::string what = row.kept[0] == "devlist.txt" ? "Device list"
                                                          : "Config file " + S + "\\" + row.kept[0];
    if (!row.entry.empty()) {
      EXPECT_TRUE(LogHas(what + " from DAS " + S + " at " + A + " " + row.entry));
    }
    if (!row.requests.empty()) ExpectRequests(row.requests);
    if (row.kept[0] == "devlist.txt") {
      for (const std::string &p : SimRequestPaths(sim->p)) EXPECT_NE(p, kLog1);
      EXPECT_FALSE(LogContains("complete, serial " + S));
    }
  }
}

// Answers the worker does not act on end the unit's download with one error
// entry that says which unit and why; a scheduler sees a failed night. A log
// that is refused ends the device loop; a delete the unit refuses or leaves
// unanswered keeps the data on the unit, and the night is not complete.
TEST_F(DownloadComplete, AnswersNotActedOnAreOneErrorEntry) {
  const std::string kDel = "/setup/statlog.cgi?DELMBZIPLOG=1";
  const std::string kDelFailed = "Delete request for device 1 to DAS " + S + " at ";
  struct Row {
    std::string path;
    int nStatus;  // 0: the raw answer instead
    std::string raw;
    std::string reason;  // the summary's; the worker's entry unless a step wrote one:
    std::string entry, entryTail;  // the step's entry, the unit's address between them
    std::string name;              // the summary's name of the unit
    std::vector<std::string> requests;  // when given, all the unit was asked
    bool bLogStored;                    // device 1's log is in the local log
  } rows[] = {
      {kList, 500, "", "answered HTTP 500 to the device list request", "", "", "Sim unit", {},
       false},
      {kList, 302, "", "answered HTTP 302 to the device list request (a redirect)", "", "",
       "Sim unit", {}, false},
      {kList, 400, "", "answered HTTP 400 to the device list request (is this an HTTPS port?)", "",
       "", "Sim unit", {}, false},
      {kList, 0, "\x15\x03\x01\x00\x02\x02\x50", "gave no HTTP answer to the device list request",
       "", "", "Sim unit", {}, false},
      {kIdentity, 500, "", "answered HTTP 500 to the identity request", "", "", "[new]", {}, false},
      {kLog1, 404, "", "answered HTTP 404 to the log file request",
       "Unexpected server response, expected logfile.\nGot http result 404", "", "Sim unit",
       {kIdentity, kList, kLog1, kIdentity}, false},
      {kDel, 500, "", "answered HTTP 500 to the delete request for device 1", kDelFailed,
       " failed: the unit answered HTTP 500; its log data stays on it", "Sim unit", {}, true},
      {kDel, 0, "", "gave no HTTP answer to the delete request for device 1", kDelFailed,
       " failed: the unit gave no HTTP answer; its log data stays on it", "Sim unit", {}, true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.reason);
    Start();
    CopyString(das.serialnumber, S.c_str(), sizeof das.serialnumber);
    if (row.nStatus) SimSetStatus(sim->p, row.path, row.nStatus);
    else SimSetRawResponse(sim->p, row.path, row.raw);
    SummaryReset();
    Run();
    if (row.entry.empty())
      EXPECT_TRUE(LogHas("Download of DAS " + S + " at " + A + " did not complete: " + row.reason));
    else
      EXPECT_TRUE(LogHas(row.entry + (row.entryTail.empty() ? "" : A + row.entryTail)));
    EXPECT_EQ(ErrorLogErrorCount(), 1);
    EXPECT_EQ(SummaryText(), S + " " + row.name + ": failed: " + row.reason +
                                 "\n1 unit: 0 complete, 1 failed\n");
    EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
    if (!row.requests.empty()) ExpectRequests(row.requests);
    if (row.bLogStored)
      EXPECT_EQ(ReadFileBytes(S + "/mb-001.log"), SimLogBody(sim->p, 1));
    else
      EXPECT_FALSE(FileExists(S + "/temp") || FileExists(S + "/mb-001.log"));
  }
}

// Downloads that an earlier run stored but never merged (it was killed, or
// the disk was full) are merged by the next run, for devices the unit still
// lists and for those it no longer does; none is left behind.
TEST_F(DownloadComplete, DownloadsLeftByEarlierRunsAreMergedAndRemoved) {
  Start();
  const std::string log1 = SimLogBody(sim->p, 1);
  const std::string header = log1.substr(0, log1.find('\n') + 1);
  const std::string early = "2026-11-30 23:59:00,0,0,0,1,2,3,4,5,6,7\n";
  fs::create_directories(S + "/temp");
  WriteFileBytes(S + "/temp/mb-001.4.tmp", header + early);
  WriteFileBytes(S + "/temp/mb-007.0.tmp", header + early + "2026-12-01 00:00:00,cut");
  Run();
  EXPECT_EQ(ReadFileBytes(S + "/mb-001.log"), header + early + log1.substr(header.size()));
  // The cut last line of a leftover is not taken as a record.
  EXPECT_EQ(ReadFileBytes(S + "/mb-007.log"), header + early);
  EXPECT_TRUE(fs::is_empty(S + "/temp"));
  EXPECT_EQ(ErrorLogErrorCount(), 0);
}

}  // namespace
