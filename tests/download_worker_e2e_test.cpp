// Whole downloads against the simulated unit, the worker run on the test's
// thread without a dialog: stored files byte for byte, the requests in order
// and byte for byte, and the error log's entries in order.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "download/download.h"
#include "download/testhooks.h"
#include "log/testhooks.h"
#include "platform/window.h"
#include "tests/support/download_fixture.h"

namespace fs = std::filesystem;

namespace {

const std::string S = "DAS000000001";
const std::string kPass = "qexal";

class DownloadE2E : public ::testing::Test {
 protected:
  void Start(const SimConfig &cfg) {
    StartLog();
    sim = std::make_unique<SimUnit>(cfg);
    A = sim->Address();
    std::memset(&das, 0, sizeof das);
    CopyString(das.name, "[new]", sizeof das.name);
    CopyString(das.ipaddress, A.c_str(), sizeof das.ipaddress);
    CopyString(das.password, kPass.c_str(), sizeof das.password);
  }
  // What the unit serves now at a path (a request of its own, forgotten).
  std::string Served(const std::string &path) {
    std::string body = FetchBody(sim->Port(), path, kPass);
    SimClearRequests(sim->p);
    return body;
  }
  void Run() {
    RunWorker(&das);
    EXPECT_EQ(DownloadJobsAlive(), 0);
  }
  void ExpectRequests(const std::vector<std::string> &paths) {
    EXPECT_EQ(SimRequestPaths(sim->p), paths);
    auto raw = SimRequests(sim->p);
    for (size_t i = 0; i < raw.size() && i < paths.size(); ++i)
      EXPECT_EQ(raw[i], ExpectedRequest(paths[i], das.password)) << "request " << i;
  }
  std::vector<std::string> Fetch(const std::string &path) {
    return {"Connecting to " + A, "Sending URL request " + path};
  }
  static void Add(std::vector<std::string> &v, const std::vector<std::string> &more) {
    v.insert(v.end(), more.begin(), more.end());
  }
  // Only the entries in the working directory that the download made.
  static std::vector<std::string> DirEntries() {
    std::vector<std::string> v;
    for (auto &e : fs::directory_iterator(".")) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
  }

  TempDir dir;
  std::unique_ptr<SimUnit> sim;
  std::string A;
  DasRecord das;
};

// The merged local log of a first download holds exactly what was served.
void ExpectMerged(const std::string &dev, const std::string &body) {
  EXPECT_EQ(ReadFileBytes(S + "/mb-" + dev + ".log"), body);
  EXPECT_FALSE(FileExists(S + "/mb-" + dev + ".new"));
  EXPECT_TRUE(fs::is_empty(S + "/temp"));  // the temporary file went with the merge
}

TEST_F(DownloadE2E, MultiDeviceUnitWithDelete) {
  Start(SimConfig{});
  das.deletelog = 1;
  std::string list = Served("/setup/logexport.cgi?MB=0");
  std::string cfg = Served("/setup/logexport.cgi?CFG=loggerconfig.ini");
  std::string ini1 = Served("/setup/logexport.cgi?CFG=mb-001.ini");
  std::string ini2 = Served("/setup/logexport.cgi?CFG=mb-002.ini");
  std::string log1 = SimLogBody(sim->p, 1), log2 = SimLogBody(sim->p, 2);
  ASSERT_GT(log1.size(), 10000u);

  Run();

  EXPECT_STREQ(das.serialnumber, S.c_str());
  EXPECT_STREQ(das.name, "Sim unit");
  ExpectRequests({"/setup/logexport.cgi?CFG=loggerconfig.ini", "/setup/logexport.cgi?MB=0",
                  "/setup/logexport.cgi?MB=1", "/setup/statlog.cgi?DELMBZIPLOG=1",
                  "/setup/logexport.cgi?CFG=mb-001.ini", "/setup/logexport.cgi?MB=2",
                  "/setup/statlog.cgi?DELMBZIPLOG=2", "/setup/logexport.cgi?CFG=mb-002.ini",
                  "/setup/logexport.cgi?CFG=loggerconfig.ini"});
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 1);
  EXPECT_EQ(SimDeleteCount(sim->p, 2), 1);
  EXPECT_EQ(SimLogRecords(sim->p, 1), 0);

  EXPECT_EQ(ReadFileBytes(S + "/devlist.txt"), ToCrLf(list));
  EXPECT_EQ(ReadFileBytes(S + "/loggerconfig.ini"), ToCrLf(cfg));
  EXPECT_EQ(ReadFileBytes(S + "/mb-001.ini"), ToCrLf(ini1));
  EXPECT_EQ(ReadFileBytes(S + "/mb-002.ini"), ToCrLf(ini2));
  ExpectMerged("001", log1);
  ExpectMerged("002", log2);
  EXPECT_EQ(DirEntries(), (std::vector<std::string>{S, "errorlog.txt"}));

  std::vector<std::string> want = {"Download thread starting for .",
                                   "Dialout not configured for , using LAN"};
  Add(want, Fetch("/setup/logexport.cgi?CFG=loggerconfig.ini"));
  Add(want, Fetch("/setup/logexport.cgi?MB=0"));
  Add(want, {"Download Ordavan manifest from " + S + " at " + A + ", serial " + S,
             "Save manifest file to " + S + "\\devlist.txt", "Finished manifest file download",
             "Read manifest file " + S + "\\devlist.txt"});
  for (int d = 1; d <= 2; ++d) {
    std::string n = std::to_string(d), nnn = "00" + n;
    Add(want, Fetch("/setup/logexport.cgi?MB=" + n));
    Add(want, {"Created temp file " + S + "\\temp\\mb-" + nnn + ".0.tmp",
               "Log file download complete",
               "Request log file delete for device " + n + ", serial " + S});
    Add(want, Fetch("/setup/statlog.cgi?DELMBZIPLOG=" + n));
    want.push_back("Request log file delete complete");
    Add(want, Fetch("/setup/logexport.cgi?CFG=mb-" + nnn + ".ini"));
    want.push_back("Config file download complete");
  }
  Add(want, Fetch("/setup/logexport.cgi?CFG=loggerconfig.ini"));
  Add(want, {"Config file download complete", "Download Ordavan complete, serial " + S});
  EXPECT_EQ(LogMessages("download"), want);

  // The merge of each device is complete before the unit is asked to delete
  // its log, and the configuration file comes after the delete.
  auto all = ReadLogEntries();
  size_t iDelete = 0, iMerged = 0, iIni = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (!iDelete && all[i].message.rfind("Request log file delete for", 0) == 0) iDelete = i;
    if (!iMerged && all[i].message == "Merge complete") iMerged = i;
    if (!iIni && all[i].message == "Sending URL request /setup/logexport.cgi?CFG=mb-001.ini")
      iIni = i;
  }
  EXPECT_LT(iMerged, iDelete);
  EXPECT_LT(iDelete, iIni);
  EXPECT_EQ(ErrorLogErrorCount(), 0);
}

TEST_F(DownloadE2E, MultiDeviceUnitWithoutDeleteKeepsTheUnitsData) {
  Start(SimConfig{});
  Run();
  ExpectRequests({"/setup/logexport.cgi?CFG=loggerconfig.ini", "/setup/logexport.cgi?MB=0",
                  "/setup/logexport.cgi?MB=1", "/setup/logexport.cgi?CFG=mb-001.ini",
                  "/setup/logexport.cgi?MB=2", "/setup/logexport.cgi?CFG=mb-002.ini",
                  "/setup/logexport.cgi?CFG=loggerconfig.ini"});
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
  EXPECT_EQ(SimLogRecords(sim->p, 1), 1440);
  ExpectMerged("001", SimLogBody(sim->p, 1));
}

TEST_F(DownloadE2E, SingleMeterUnit) {
  SimConfig c;
  c.nKind = 2;
  Start(c);
  std::string cfg = Served("/loggerconfig.ini");
  std::string ini = Served("/mb-001.ini");
  std::string log = SimLogBody(sim->p, 1);

  Run();

  ExpectRequests({"/setup/logexport.cgi?CFG=loggerconfig.ini", "/loggerconfig.ini",
                  "/setup/logexport.cgi?MB=0", "/mb-001.log", "/loggerconfig.ini",
                  "/mb-001.ini"});
  EXPECT_EQ(ReadFileBytes(S + "/devlist.txt"),
            "Modbus ID,DeviceName,DeviceType,DeviceClass,Log File URL\r\n"
            "001,\"Sim unit\",\"Quorvin, Ordalet, pulse energy logger, Q4410\",15,"
            "<a href=/mb-001.log/" + S + "_1.txt>mb-001.log/" + S + "_1.txt</a>\r\n");
  EXPECT_EQ(ReadFileBytes(S + "/loggerconfig.ini"), ToCrLf(cfg));
  EXPECT_EQ(ReadFileBytes(S + "/mb-001.ini"), ToCrLf(ini));
  ExpectMerged("001", log);
  EXPECT_EQ(SimLogRecords(sim->p, 1), 1440);

  std::vector<std::string> want = {"Download thread starting for .",
                                   "Dialout not configured for , using LAN"};
  Add(want, Fetch("/setup/logexport.cgi?CFG=loggerconfig.ini"));
  Add(want, Fetch("/loggerconfig.ini"));
  Add(want, Fetch("/setup/logexport.cgi?MB=0"));
  Add(want, {"Download Ordalet from " + S + " at " + A + ", serial " + S,
             "Save manifest file to " + S + "\\devlist.txt"});
  Add(want, Fetch("/mb-001.log"));
  Add(want, {"Created temp file " + S + "\\temp\\mb-001.0.tmp", "Log file download complete"});
  Add(want, Fetch("/loggerconfig.ini"));
  want.push_back("Config file download complete");
  Add(want, Fetch("/mb-001.ini"));
  Add(want, {"Config file download complete", "Download Ordalet complete, serial " + S});
  EXPECT_EQ(LogMessages("download"), want);
}

TEST_F(DownloadE2E, SingleMeterUnitWithDelete) {
  SimConfig c;
  c.nKind = 2;
  Start(c);
  das.deletelog = 1;
  Run();
  ExpectRequests({"/setup/logexport.cgi?CFG=loggerconfig.ini", "/loggerconfig.ini",
                  "/setup/logexport.cgi?MB=0", "/mb-001.log", "/deletelog.cgi",
                  "/loggerconfig.ini", "/mb-001.ini"});
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 1);
  EXPECT_TRUE(LogHas("Request log file delete for device [1], serial " + S));
  EXPECT_TRUE(LogHas("Request log file delete complete"));
}

TEST_F(DownloadE2E, WrongPasswordStopsAfterTheIdentity) {
  Start(SimConfig{});
  CopyString(das.password, "wrong", sizeof das.password);
  CopyString(das.serialnumber, S.c_str(), sizeof das.serialnumber);  // from an earlier run
  Run();
  // A unit that does not say who it is gets no further request; the 401
  // entry is the one error entry about it.
  ExpectRequests({"/setup/logexport.cgi?CFG=loggerconfig.ini"});
  const std::string k401 = "DAS responded with 401 Access Denied.\n(admin password incorrect)";
  std::vector<std::string> want = {"Download thread starting for " + S + ".",
                                   "Dialout not configured for " + S + ", using LAN"};
  Add(want, Fetch("/setup/logexport.cgi?CFG=loggerconfig.ini"));
  want.push_back(k401);
  EXPECT_EQ(LogMessages("download"), want);
  EXPECT_EQ(ErrorLogErrorCount(), 1);
  EXPECT_STREQ(das.name, "[new]");
  EXPECT_EQ(DirEntries(), std::vector<std::string>{"errorlog.txt"});
}

TEST_F(DownloadE2E, LogAnswered404EndsTheDeviceLoop) {
  Start(SimConfig{});
  das.deletelog = 1;
  SimSetStatus(sim->p, "/setup/logexport.cgi?MB=1", 404);
  Run();
  ExpectRequests({"/setup/logexport.cgi?CFG=loggerconfig.ini", "/setup/logexport.cgi?MB=0",
                  "/setup/logexport.cgi?MB=1", "/setup/logexport.cgi?CFG=loggerconfig.ini"});
  EXPECT_TRUE(LogHas("Unexpected server response, expected logfile.\nGot http result 404"));
  EXPECT_EQ(ErrorLogErrorCount(), 1);
  EXPECT_FALSE(FileExists(S + "/temp"));
  EXPECT_FALSE(FileExists(S + "/mb-001.log"));
  EXPECT_TRUE(FileExists(S + "/loggerconfig.ini"));
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
}

TEST_F(DownloadE2E, SerialNumberOfWrongLengthIsRefused) {
  SimConfig c;
  c.serial = "\"ABC123\"";
  Start(c);
  CopyString(das.serialnumber, "DAS000000099", sizeof das.serialnumber);
  Run();
  ExpectRequests({"/setup/logexport.cgi?CFG=loggerconfig.ini"});
  // The refused serial number replaces nothing and names no directory.
  EXPECT_STREQ(das.serialnumber, "DAS000000099");
  EXPECT_TRUE(LogHas("Unable to locate valid DAS serial number, abort download.  got [ABC123]"));
  // Nothing was downloaded: one error entry says so, naming the unit.
  EXPECT_EQ(ErrorLogErrorCount(), 1);
  EXPECT_EQ(LogMessages("download").back(),
            "Download of DAS DAS000000099 at " + A +
                " did not complete: reported a serial number that cannot be used");
  EXPECT_FALSE(fs::exists("ABC123"));
  EXPECT_FALSE(fs::exists("DAS000000099"));
}

TEST_F(DownloadE2E, SerialNumberThatIsNoDirectoryNameIsRefused) {
  struct Case {
    std::string served, stored;
  } cases[] = {
      {"../escape123", "../escape123"},  // 12 characters
      {"..", ".."},
      {".", "."},
      {"abc/defghijk", "abc/defghijk"},
      {"abc\\defghijk", "abc\\defghijk"},
      {"ABC\x01" "DEFGHIJK", "ABC?DEFGHIJK"},
      {"ABC\x1a" "DEFGHIJK", "ABC?DEFGHIJK"},
  };
  std::string parent = fs::path(dir.Path()).parent_path().string();
  for (const Case &k : cases) {
    SCOPED_TRACE(k.stored);
    SimConfig c;
    c.serial = k.served;
    Start(c);
    Run();
    ExpectRequests({"/setup/logexport.cgi?CFG=loggerconfig.ini"});
    EXPECT_EQ(std::string(das.serialnumber), "");  // what the record held before
    EXPECT_TRUE(LogHas("Unable to locate valid DAS serial number, abort download.  got [" +
                       k.stored + "]"));
    EXPECT_EQ(ErrorLogErrorCount(), 1);
    ResetErrorLog();
    OpenErrorLog(1);
    EXPECT_EQ(DirEntries(), std::vector<std::string>{"errorlog.txt"});
    EXPECT_FALSE(fs::exists(parent + "/escape123"));
    fs::remove("errorlog.txt");
    sim.reset();
  }
}

TEST_F(DownloadE2E, SerialNumberNamingAFileOfTheProgramIsRefused) {
  // Twelve characters each: a directory of that name would take the place
  // of the error log, the list or a lock file (on Windows without regard to
  // case or trailing dots).
  for (std::string served : {"errorlog.txt", "ERRORLOG.TXT", "daslist.txt.", "DasList.TXT.",
                             "daslist.lock", "TANDREL.LOCK"}) {
    SCOPED_TRACE(served);
    SimConfig c;
    c.serial = served;
    Start(c);
    Run();
    ExpectRequests({"/setup/logexport.cgi?CFG=loggerconfig.ini"});
    EXPECT_EQ(std::string(das.serialnumber), "");  // what the record held before
    EXPECT_TRUE(LogHas("Unable to locate valid DAS serial number, abort download.  got [" +
                       served + "]"));
    EXPECT_EQ(ErrorLogErrorCount(), 1);
    ResetErrorLog();
    OpenErrorLog(1);
    EXPECT_EQ(DirEntries(), std::vector<std::string>{"errorlog.txt"});
    EXPECT_TRUE(fs::is_regular_file("errorlog.txt"));
    fs::remove("errorlog.txt");
    sim.reset();
  }
  // A serial number that only resembles one of them is a unit like any other.
  SimConfig c;
  c.serial = "errorlog.tx1";
  Start(c);
  Run();
  EXPECT_TRUE(fs::is_directory("errorlog.tx1"));
}

TEST_F(DownloadE2E, ConfigurationWithCrLfLineEnds) {
  SimConfig c;
  c.bCrlfConfig = true;
  Start(c);
  std::string cfg = Served("/setup/logexport.cgi?CFG=loggerconfig.ini");
  ASSERT_NE(cfg.find("\r\n"), std::string::npos);
  Run();
  EXPECT_STREQ(das.serialnumber, S.c_str());  // 12 characters, no CR
  EXPECT_STREQ(das.name, "Sim unit");
  EXPECT_TRUE(fs::is_directory(S));
  // The device list is read back without its CRs: both devices follow.
  auto paths = SimRequestPaths(sim->p);
  EXPECT_EQ(std::count(paths.begin(), paths.end(), "/setup/logexport.cgi?MB=2"), 1);
  // Stored as text: a CR that came with the line stays before the CR LF.
  EXPECT_EQ(ReadFileBytes(S + "/loggerconfig.ini"), ToCrLf(cfg));
  EXPECT_NE(ReadFileBytes(S + "/devlist.txt").find("\r\r\n"), std::string::npos);
}

TEST_F(DownloadE2E, UnreachableUnit) {
  Start(SimConfig{});
  CopyString(das.ipaddress, "127.0.0.1:1", sizeof das.ipaddress);
  CopyString(das.serialnumber, S.c_str(), sizeof das.serialnumber);
  Run();
  std::vector<std::string> want = {"Download thread starting for " + S + ".",
                                   "Dialout not configured for " + S + ", using LAN",
                                   "Connecting to 127.0.0.1:1",
                                   "connect socket failed to 127.0.0.1:1"};
  EXPECT_EQ(LogMessages("download"), want);
  EXPECT_EQ(DirEntries(), std::vector<std::string>{"errorlog.txt"});
  EXPECT_TRUE(SimRequests(sim->p).empty());
}

// A cancel that cuts the configuration inside its SERIALNUMBER line leaves
// the record as it was: no cut serial number to save, no directory for it.
TEST_F(DownloadE2E, CancelInsideTheIdentityKeepsTheRecord) {
  Start(SimConfig{});
  CopyString(das.serialnumber, "DAS000000777", sizeof das.serialnumber);
  // "[General]\nSERIALNUMBER=DAS00" and then nothing more.
  SimSetStallBody(sim->p, "/setup/logexport.cgi?CFG=loggerconfig.ini", 28);
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
  Start(SimConfig{});
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
