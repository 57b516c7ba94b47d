// Whole downloads against the simulated unit, the worker run on the test's
// thread without a dialog: stored files byte for byte, the requests in order
// and byte for byte, and the error log's entries in order. Also units the
// worker goes no further with: a wrong password, a serial number that
// cannot name a directory, a unit that cannot be reached, a cancel.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "download/download.h"
#include "download/testhooks.h"
#include "log/testhooks.h"
#include "platform/testhooks.h"
#include "platform/window.h"
#include "tests/support/compress.h"
#include "tests/support/download_fixture.h"

namespace fs = std::filesystem;

namespace {

const std::string S = "DAS000000001";
const std::string kCgi = "/setup/logexport.cgi?";
const std::string kIdentity = kCgi + "CFG=loggerconfig.ini";

class DownloadE2E : public DownloadWorkerTest {
 protected:
  // Every path a download of the default unit asks for.
  std::vector<std::string> AllPaths() {
    return {kIdentity, kCgi + "MB=0", kCgi + "MB=1", kCgi + "MB=2", kCgi + "CFG=mb-001.ini",
            kCgi + "CFG=mb-002.ini", "/setup/statlog.cgi?DELMBZIPLOG=1",
            "/setup/statlog.cgi?DELMBZIPLOG=2"};
  }
};

// The merged local log of a first download holds exactly what was served.
void ExpectMerged(const std::string &dev, const std::string &body) {
  EXPECT_EQ(ReadFileBytes(S + "/mb-" + dev + ".log"), body);
  EXPECT_FALSE(FileExists(S + "/mb-" + dev + ".new"));
  EXPECT_TRUE(fs::is_empty(S + "/temp"));  // the temporary file went with the merge
}

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
// open, with CR LF line ends), a whole download stores every file as
// served, asks for each file once and in order, and logs the same entries.
// A server that keeps its connections open ends nothing by a close: the
// length or the last chunk must do (a receive timeout would fail them all).
// With the deletes on, the merge of each device is complete before the unit
// is asked to delete its log, and the device's configuration comes after the
// delete; without them the unit keeps all its data.
TEST_F(DownloadE2E, MultiDeviceUnitHoweverItsAnswersTravel) {
  DownloadLimits limits(kConnectTimeoutMs, kSlowWindowMs, 2000);
  // The text of device 1's configuration, in two parts.
  const std::string a = "MODBUSID=1\nDEVICENAME=Meter 1\n";
  const std::string b = "DEVICETYPE=Energy meter\nBAUD=9600\n";
  const std::string nul("\0X-After-Nul: 1", 15);
  const PathFault none = [](SimServer *, const std::string &) {};
  SimConfig noLength, crlf;
  noLength.bNoContentLength = true;
  crlf.bCrlfConfig = true;
  struct Row {
    const char *pszName;
    PathFault set;
    SimConfig cfg;
    int bDelete;
  } rows[] = {
      {"plain", none, {}, 1},
      {"plain, without delete", none, {}, 0},
      {"chunked", Chunked(7), {}, 1},
      {"chunked, one-byte chunks", Chunked(1), {}, 1},
      {"gzip", Coded("gzip"), {}, 1},
      {"deflate", Coded("deflate"), {}, 1},
      {"gzip, chunked", Both(Coded("gzip"), Chunked(100)), {}, 1},
      {"kept open", KeptOpen(), {}, 1},
      {"kept open, chunked", KeptOpen(Chunked(7)), {}, 1},
      {"kept open, gzip", KeptOpen(Coded("gzip")), {}, 1},
      {"kept open, gzip, chunked", KeptOpen(Both(Coded("gzip"), Chunked(100))), {}, 1},
      // Forms real servers produce besides the plain ones: a gzip body of
      // two members, "deflate" without its zlib wrapper, codings named in
      // capitals.
      {"gzip of two members", Device1Ini("Content-Encoding: gzip", Compress(a) + Compress(b)), {},
       1},
      {"raw deflate", Device1Ini("Content-Encoding: deflate", Compress(a + b, ZipForm::Raw)), {},
       1},
      {"codings in capitals",
       Device1Ini("Content-Encoding: GZIP\r\nTransfer-Encoding: Chunked",
                  ChunkBody(Compress(a + b))),
       {}, 1},
      {"header line of 254", Headers({SimHeaderLine(254)}), {}, 1},
      {"header line of 255", Headers({SimHeaderLine(255)}), {}, 1},
      {"header line of 256", Headers({SimHeaderLine(256)}), {}, 1},
      {"header line of 3000", Headers({SimHeaderLine(3000), "Via: 1.1 proxy"}), {}, 1},
      {"NUL in a header line", Headers({nul, SimHeaderLine(509)}), {}, 1},
      {"100 Continue first",
       [](SimServer *p, const std::string &path) { SimSetInterim(p, path, 2); }, {}, 1},
      // Units that send no length are judged by the close alone.
      {"no length", none, noLength, 1},
      // The serial number is read without its CR, the device list's lines
      // too; a file stored as text keeps the CR before its CR LF.
      {"CR LF line ends", none, crlf, 1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.pszName);
    const int bDelete = row.bDelete;
    Start(row.cfg, bDelete);
    std::string list = Served(kCgi + "MB=0");
    std::string cfg = Served(kIdentity);
    std::string ini1 = Served(kCgi + "CFG=mb-001.ini");
    std::string ini2 = Served(kCgi + "CFG=mb-002.ini");
    std::string log1 = SimLogBody(sim->p, 1), log2 = SimLogBody(sim->p, 2);
    ASSERT_GT(log1.size(), 10000u);
    if (row.cfg.bCrlfConfig) {
      ASSERT_NE(list.find("\r\n"), std::string::npos);
    }
    for (const std::string &path : AllPaths()) row.set(sim->p, path);

    Run();

    EXPECT_STREQ(das.serialnumber, S.c_str());
    EXPECT_STREQ(das.name, "Sim unit");
    std::vector<std::string> paths = {kIdentity, kCgi + "MB=0"};
    std::vector<std::string> want = {"Download thread starting for .",
                                     "Dialout not configured for , using LAN"};
    Add(want, Fetch(kIdentity));
    Add(want, Fetch(kCgi + "MB=0"));
    Add(want, {"Download Ordavan manifest from " + S + " at " + A + ", serial " + S,
               "Save manifest file to " + S + "\\devlist.txt", "Finished manifest file download",
               "Read manifest file " + S + "\\devlist.txt"});
    for (int d = 1; d <= 2; ++d) {
      std::string n = std::to_string(d), nnn = "00" + n;
      paths.push_back(kCgi + "MB=" + n);
      Add(want, Fetch(kCgi + "MB=" + n));
      Add(want, {"Created temp file " + S + "\\temp\\mb-" + nnn + ".0.tmp",
                 "Log file download complete"});
      if (bDelete) {
        paths.push_back("/setup/statlog.cgi?DELMBZIPLOG=" + n);
        want.push_back("Request log file delete for device " + n + ", serial " + S);
        Add(want, Fetch("/setup/statlog.cgi?DELMBZIPLOG=" + n));
        want.push_back("Request log file delete complete");
      }
      paths.push_back(kCgi + "CFG=mb-" + nnn + ".ini");
      Add(want, Fetch(kCgi + "CFG=mb-" + nnn + ".ini"));
      want.push_back("Config file download complete");
    }
    paths.push_back(kIdentity);
    Add(want, Fetch(kIdentity));
    Add(want, {"Config file download complete", "Download Ordavan complete, serial " + S});
    ExpectRequests(paths);
    EXPECT_EQ(LogMessages("download"), want);
    EXPECT_EQ(SimDeleteCount(sim->p, 1), bDelete);
    EXPECT_EQ(SimDeleteCount(sim->p, 2), bDelete);
    EXPECT_EQ(SimLogRecords(sim->p, 1), bDelete ? 0 : 1440);

    EXPECT_EQ(ReadFileBytes(S + "/devlist.txt"), ToCrLf(list));
    EXPECT_EQ(ReadFileBytes(S + "/loggerconfig.ini"), ToCrLf(cfg));
    EXPECT_EQ(ReadFileBytes(S + "/mb-001.ini"), ToCrLf(ini1));
    EXPECT_EQ(ReadFileBytes(S + "/mb-002.ini"), ToCrLf(ini2));
    ExpectMerged("001", log1);
    ExpectMerged("002", log2);
    EXPECT_EQ(DirEntries(), (std::vector<std::string>{S, "errorlog.txt"}));

    auto all = ReadLogEntries();
    size_t iDelete = 0, iMerged = 0, iIni = 0;
    for (size_t i = 0; i < all.size(); ++i) {
      if (!iDelete && all[i].message.rfind("Request log file delete for", 0) == 0) iDelete = i;
      if (!iMerged && all[i].message == "Merge complete") iMerged = i;
      if (!iIni && all[i].message == "Sending URL request " + kCgi + "CFG=mb-001.ini") iIni = i;
    }
    EXPECT_GT(iMerged, 0u);
    EXPECT_LT(iMerged, iIni);
    if (bDelete) {
      EXPECT_LT(iMerged, iDelete);
      EXPECT_LT(iDelete, iIni);
    }
    EXPECT_EQ(ErrorLogErrorCount(), 0);
  }
}

// A single meter, with and without the deletes; also behind a web server
// whose page for unknown paths is answered 200: the page for the device list
// request does not make the meter a multi-device unit.
TEST_F(DownloadE2E, SingleMeterUnit) {
  for (int nRow : {0, 1, 2}) {
    const int bDelete = nRow > 0, bHtml = nRow == 2;
    SCOPED_TRACE(bHtml ? "web page for unknown paths" : bDelete ? "with delete" : "without delete");
    SimConfig c;
    c.nKind = 2;
    c.bHtmlForUnknown = bHtml;
    Start(c, bDelete);
    std::string cfg = Served("/loggerconfig.ini");
    std::string ini = Served("/mb-001.ini");
    std::string log = SimLogBody(sim->p, 1);

    Run();

    std::vector<std::string> paths = {kIdentity, "/loggerconfig.ini", kCgi + "MB=0", "/mb-001.log"};
    std::vector<std::string> want = {"Download thread starting for .",
                                     "Dialout not configured for , using LAN"};
    Add(want, Fetch(kIdentity));
    Add(want, Fetch("/loggerconfig.ini"));
    Add(want, Fetch(kCgi + "MB=0"));
    if (bHtml)
      Add(want, {"Download Ordavan manifest from " + S + " at " + A + ", serial " + S,
                 "Save manifest file to " + S + "\\devlist.txt",
                 "The device list request was answered with a web page; " + S +
                     " is taken as a single meter"});
    Add(want, {"Download Ordalet from " + S + " at " + A + ", serial " + S,
               "Save manifest file to " + S + "\\devlist.txt"});
    Add(want, Fetch("/mb-001.log"));
    Add(want, {"Created temp file " + S + "\\temp\\mb-001.0.tmp", "Log file download complete"});
    if (bDelete) {
      paths.push_back("/deletelog.cgi");
      want.push_back("Request log file delete for device [1], serial " + S);
      Add(want, Fetch("/deletelog.cgi"));
      want.push_back("Request log file delete complete");
    }
    Add(paths, {"/loggerconfig.ini", "/mb-001.ini"});
    Add(want, Fetch("/loggerconfig.ini"));
    want.push_back("Config file download complete");
    Add(want, Fetch("/mb-001.ini"));
    Add(want, {"Config file download complete", "Download Ordalet complete, serial " + S});
    ExpectRequests(paths);
    EXPECT_EQ(LogMessages("download"), want);
    EXPECT_EQ(ReadFileBytes(S + "/devlist.txt"),
              "Modbus ID,DeviceName,DeviceType,DeviceClass,Log File URL\r\n"
              "001,\"Sim unit\",\"Quorvin, Ordalet, pulse energy logger, Q4410\",15,"
              "<a href=/mb-001.log/" + S + "_1.txt>mb-001.log/" + S + "_1.txt</a>\r\n");
    EXPECT_EQ(ReadFileBytes(S + "/loggerconfig.ini"), ToCrLf(cfg));
    EXPECT_EQ(ReadFileBytes(S + "/mb-001.ini"), ToCrLf(ini));
    ExpectMerged("001", log);
    EXPECT_EQ(SimDeleteCount(sim->p, 1), bDelete);
    EXPECT_EQ(SimLogRecords(sim->p, 1), bDelete ? 0 : 1440);
    EXPECT_EQ(ErrorLogErrorCount(), 0);
  }
}

TEST_F(DownloadE2E, WrongPasswordStopsAfterTheIdentity) {
  Start();
  CopyString(das.password, "wrong", sizeof das.password);
  CopyString(das.serialnumber, S.c_str(), sizeof das.serialnumber);  // from an earlier run
  Run();
  // A unit that does not say who it is gets no further request; the 401
  // entry is the one error entry about it.
  ExpectRequests({kIdentity});
  const std::string k401 = "DAS responded with 401 Access Denied.\n(admin password incorrect)";
  std::vector<std::string> want = {"Download thread starting for " + S + ".",
                                   "Dialout not configured for " + S + ", using LAN"};
  Add(want, Fetch(kIdentity));
  want.push_back(k401);
  EXPECT_EQ(LogMessages("download"), want);
  EXPECT_EQ(ErrorLogErrorCount(), 1);
  EXPECT_STREQ(das.name, "[new]");
  EXPECT_EQ(DirEntries(), std::vector<std::string>{"errorlog.txt"});
}

// A serial number that could not name the unit's directory, or one that
// would escape the working directory or take the place of the error log,
// the list or a lock file (on Windows without regard to case or trailing
// dots), or that the list file could not hold: the unit is refused after
// its identity, the record keeps the serial number it held (none for a new
// row), and nothing is made on the disk.
TEST_F(DownloadE2E, RefusedSerialNumbersReplaceNothingAndMakeNoDirectory) {
  struct Row {
    std::string served, shown;  // shown: as the entry names it
  } rows[] = {
      {"\"ABC123\"", "ABC123"},  // not 12 characters
      {"", ""},
      {std::string(300, '7'), std::string(63, '7')},
      {"../escape123", "../escape123"},
      {"..", ".."},
      {".", "."},
      {"abc/defghijk", "abc/defghijk"},
      {"DAS/00000077", "DAS/00000077"},
      {"abc\\defghijk", "abc\\defghijk"},
      {"ABC\x01" "DEFGHIJK", "ABC?DEFGHIJK"},
      {"ABC\x1a" "DEFGHIJK", "ABC?DEFGHIJK"},
      {"DAS00000007\x01", "DAS00000007?"},
      {"DAS,00000077", "DAS,00000077"},
      {"DAS\"0000007", "DAS 0000007"},
      {"errorlog.txt", "errorlog.txt"},
      {"ERRORLOG.TXT", "ERRORLOG.TXT"},
      {"daslist.txt.", "daslist.txt."},
      {"DasList.TXT.", "DasList.TXT."},
      {"daslist.lock", "daslist.lock"},
      {"TANDREL.LOCK", "TANDREL.LOCK"},
  };
  const std::string parent = fs::path(dir.Path()).parent_path().string();
  for (const Row &row : rows) {
    for (const std::string kept : {"", "DAS000000042"}) {
      SCOPED_TRACE(row.shown + ", held " + kept);
      SimConfig c;
      c.serial = row.served;
      Start(c);
      CopyString(das.serialnumber, kept.c_str(), sizeof das.serialnumber);
      Run();
      ExpectRequests({kIdentity});
      EXPECT_EQ(std::string(das.serialnumber), kept);
      EXPECT_TRUE(LogHas("Unable to locate valid DAS serial number, abort download.  got [" +
                         row.shown + "]"));
      // Nothing was downloaded: one error entry says so, naming the unit.
      EXPECT_EQ(ErrorLogErrorCount(), 1);
      EXPECT_EQ(LogMessages("download").back(),
                "Download of DAS " + kept + " at " + A +
                    " did not complete: reported a serial number that cannot be used");
      EXPECT_EQ(DirEntries(), std::vector<std::string>{"errorlog.txt"});
      EXPECT_TRUE(fs::is_regular_file("errorlog.txt"));
      EXPECT_FALSE(fs::exists(parent + "/escape123"));
    }
  }
}

TEST_F(DownloadE2E, SerialNumbersThatOnlyResembleRefusedOnesAreTaken) {
  // Like the error log's name, but not it: a unit like any other.
  SimConfig c;
  c.serial = "errorlog.tx1";
  Start(c);
  Run();
  EXPECT_TRUE(fs::is_directory("errorlog.tx1"));
  // A long comment line with decoys where 255-byte pieces would start: the
  // real serial number is the one read.
  const std::string kept = "DAS000000042";
  Start();
  SimSetExtraLines(sim->p, kIdentity, {SimSerialCommentLine(900, "DAS0FAKE0000")}, true);
  CopyString(das.serialnumber, kept.c_str(), sizeof das.serialnumber);
  Run();
  EXPECT_STREQ(das.serialnumber, S.c_str());
  // The row takes the unit's serial number, and the log says so.
  EXPECT_TRUE(LogHas("Serial number of DAS at " + A + " changed from " + kept + " to " + S));
  EXPECT_FALSE(fs::exists("DAS0FAKE0000"));
  EXPECT_EQ(ErrorLogErrorCount(), 0);
}

// A name server that never answers (its helper thread is left waiting).
int UnansweredLookup(const char *, unsigned short, PlatAddrList *) {
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(60));
}

// A port that refuses the connection, one whose connects never complete and
// a name the resolver never answers for: given up at the connect (the name
// server at the same limit), that entry is the unit's error entry and
// nothing further is tried or made. The summary tells the three apart.
TEST_F(DownloadE2E, UnreachableUnitsAreGivenUpAtTheConnect) {
  DownloadLimits limits(1000, kSlowWindowMs);
  enum { REFUSED, BLACK_HOLE, NO_RESOLVER };
  for (int nCase : {REFUSED, BLACK_HOLE, NO_RESOLVER}) {
    SCOPED_TRACE(nCase);
    Start();
    SimBlackHole *pHole = nCase == BLACK_HOLE ? SimStartBlackHole() : nullptr;
    ASSERT_TRUE(pHole || nCase != BLACK_HOLE);
    if (nCase == NO_RESOLVER) PlatSetLookup(UnansweredLookup);
    const std::string addr = nCase == NO_RESOLVER ? std::string("das-1.site.example")
                             : "127.0.0.1:" + std::to_string(pHole ? SimBlackHolePort(pHole) : 1);
    CopyString(das.ipaddress, addr.c_str(), sizeof das.ipaddress);
    CopyString(das.serialnumber, S.c_str(), sizeof das.serialnumber);
    SummaryReset();
    Run();
    SimStopBlackHole(pHole);
    PlatSetLookup(nullptr);
    const std::string entry[] = {
        "connect socket failed to " + addr + " (connection refused)",
        "connect socket failed to " + addr + " (no answer within 1 s)",
        "Host name [" + addr + "] of DAS " + S + " not found: the resolver gave no answer within 1 s"};
    const std::string reason[] = {"connection refused", "no answer within 1 s", "name not found"};
    std::vector<std::string> want = {"Download thread starting for " + S + ".",
                                     "Dialout not configured for " + S + ", using LAN",
                                     "Connecting to " + addr, entry[nCase]};
    EXPECT_EQ(LogMessages("download"), want);
    EXPECT_EQ(ErrorLogErrorCount(), 1);
    EXPECT_NE(SummaryText().find(S + " [new]: failed: " + reason[nCase] + " (identity request)\n"),
              std::string::npos)
        << SummaryText();
    EXPECT_EQ(DirEntries(), std::vector<std::string>{"errorlog.txt"});
    EXPECT_TRUE(SimRequests(sim->p).empty());
  }
}

// A cancel that cuts the configuration inside its SERIALNUMBER line leaves
// the record as it was: no cut serial number to save, no directory for it.
TEST_F(DownloadE2E, CancelInsideTheIdentityKeepsTheRecord) {
  Start();
  CopyString(das.serialnumber, "DAS000000777", sizeof das.serialnumber);
  // "[General]\nSERIALNUMBER=DAS00" and then nothing more.
  SimSetStallBody(sim->p, kIdentity, 28);
  DownloadJob *pJob = AllocDownloadJob(&das, nullptr);
  pJob->cState.store(JOB_RUNNING);
  std::thread canceller([&] {
    WaitFor([&] { return !SimRequests(sim->p).empty(); }, 10000);
    // Time for the cut line to arrive; a cancel that comes earlier still
    // has to leave the record alone.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pJob->cState.store(JOB_CANCELLED);
    CloseJobSocket(pJob->sockQuery);
  });
  ReadDasIdentity(pJob);
  canceller.join();
  FreeDownloadJob(pJob);
  EXPECT_STREQ(das.serialnumber, "DAS000000777");
  EXPECT_EQ(DirEntries(), std::vector<std::string>{"errorlog.txt"});
}

TEST_F(DownloadE2E, CancelBeforeTheWorkerStartsStillCancels) {
  Start();
  CopyString(das.serialnumber, S.c_str(), sizeof das.serialnumber);
  DownloadFinalWaitMs.store(0);
  DownloadJob *pJob = AllocDownloadJob(&das, nullptr);
  CurrentJob = pJob;
  EXPECT_EQ(DownloadDialogProc(nullptr, WM_CLOSE, 0, 0), TRUE);
  EXPECT_EQ(pJob->cState.load(), JOB_CANCELLED);
  DownloadThread(pJob);  // frees the job
  CurrentJob = nullptr;
  EXPECT_EQ(DownloadJobsAlive(), 0);
  EXPECT_TRUE(SimRequests(sim->p).empty());
  EXPECT_EQ(LogMessages("download"),
            (std::vector<std::string>{"Download thread starting for " + S + ".",
                                      "Download of " + S + " cancelled"}));
  EXPECT_EQ(ErrorLogErrorCount(), 0);
}

}  // namespace
