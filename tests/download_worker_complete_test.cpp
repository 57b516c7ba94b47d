// When a body counts as whole, and what a body that is not whole may and may
// not do: the unit is told to delete only a log that arrived whole and is in
// the local log, stored copies are replaced only by whole ones, and a unit
// whose download did not complete leaves exactly one error entry.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "download/download.h"
#include "download/testhooks.h"
#include "tests/support/download_fixture.h"

namespace fs = std::filesystem;

namespace {

const std::string S = "DAS000000001";
const std::string kLog1 = "/setup/logexport.cgi?MB=1";

class DownloadComplete : public ::testing::Test {
 protected:
  void Start(const SimConfig &cfg) {
    StartLog();
    sim = std::make_unique<SimUnit>(cfg);
    std::memset(&das, 0, sizeof das);
    CopyString(das.ipaddress, sim->Address().c_str(), sizeof das.ipaddress);
    CopyString(das.password, "qexal", sizeof das.password);
    das.deletelog = 1;
  }
  void Run() {
    RunWorker(&das);
    EXPECT_EQ(DownloadJobsAlive(), 0);
  }
  TempDir dir;
  std::unique_ptr<SimUnit> sim;
  DasRecord das;
};

// A server that is reloaded, or a proxy that times out, ends a transfer with
// an ordinary close; a unit that fails mid-transfer resets the connection.
// Either way the announced length is what shows that the body is cut: the
// log is not deleted, only its whole lines are merged, the rest of the night
// goes on, and the next run brings the rest.
TEST_F(DownloadComplete, LogCutByACloseOrAResetIsNeitherDeletedNorMergedPastItsLastLine) {
  struct Row {
    const char *pszName;
    bool bReset;
    const char *pszHow;  // what the unit's error entry says happened
  } rows[] = {{"ordinary close", false, "cut short"}, {"connection reset", true, "connection failed"}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.pszName);
    Start(SimConfig{});
    const std::string log1 = SimLogBody(sim->p, 1);
    SimSetCutBody(sim->p, kLog1, 5000, row.bReset);
    Run();

    // Device 2 and the configuration files still come; only device 2 is
    // told to delete.
    EXPECT_EQ(SimRequestPaths(sim->p),
              (std::vector<std::string>{"/setup/logexport.cgi?CFG=loggerconfig.ini",
                                        "/setup/logexport.cgi?MB=0", kLog1,
                                        "/setup/logexport.cgi?CFG=mb-001.ini",
                                        "/setup/logexport.cgi?MB=2",
                                        "/setup/statlog.cgi?DELMBZIPLOG=2",
                                        "/setup/logexport.cgi?CFG=mb-002.ini",
                                        "/setup/logexport.cgi?CFG=loggerconfig.ini"}));
    EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
    EXPECT_EQ(SimLogRecords(sim->p, 1), 1440);  // the unit keeps everything
    EXPECT_EQ(SimDeleteCount(sim->p, 2), 1);    // the other device was whole
    // Whole lines only: the cut one would stand as a short record for good.
    EXPECT_EQ(ReadFileBytes(S + "/mb-001.log"), log1.substr(0, log1.rfind('\n', 4999) + 1));
    EXPECT_TRUE(LogHas("Log file of device 1 from DAS " + S + " at " + das.ipaddress +
                       " incomplete: " + row.pszHow + ", 5000 of " + std::to_string(log1.size()) +
                       " bytes arrived"));
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
    sim.reset();
    fs::remove_all(S);
    fs::remove("errorlog.txt");
  }
}

// Units that send no length are judged by the close alone, as before.
TEST_F(DownloadComplete, WithoutContentLengthTheCloseEndsAWholeBody) {
  SimConfig c;
  c.bNoContentLength = true;
  Start(c);
  const std::string log1 = SimLogBody(sim->p, 1);
  Run();
  EXPECT_EQ(ReadFileBytes(S + "/mb-001.log"), log1);
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 1);
  EXPECT_EQ(ErrorLogErrorCount(), 0);
  EXPECT_TRUE(LogHas("Download Ordavan complete, serial " + S));
}

TEST_F(DownloadComplete, CutConfigurationAndDeviceListKeepTheStoredCopies) {
  Start(SimConfig{});
  das.deletelog = 0;
  Run();  // a first, good download
  const std::string ini = ReadFileBytes(S + "/mb-001.ini");
  const std::string list = ReadFileBytes(S + "/devlist.txt");
  ASSERT_FALSE(ini.empty());

  SimSetCutBody(sim->p, "/setup/logexport.cgi?CFG=mb-001.ini", 10);
  StartLog();
  Run();
  EXPECT_EQ(ReadFileBytes(S + "/mb-001.ini"), ini);
  EXPECT_FALSE(FileExists(S + "/mb-001.ini.new"));
  EXPECT_EQ(ErrorLogErrorCount(), 1);

  SimClearFaults(sim->p, "");
  SimSetCutBody(sim->p, "/setup/logexport.cgi?MB=0", 20);
  StartLog();
  SimClearRequests(sim->p);
  Run();
  EXPECT_EQ(ReadFileBytes(S + "/devlist.txt"), list);
  EXPECT_FALSE(FileExists(S + "/devlist.txt.new"));
  EXPECT_EQ(ErrorLogErrorCount(), 1);
  EXPECT_TRUE(LogHas("Device list from DAS " + S + " at " + das.ipaddress +
                     " incomplete: cut short, 20 of " + std::to_string(list.size() - 3) +
                     " bytes arrived"));
  // No device is taken from a list that did not arrive whole.
  for (const std::string &p : SimRequestPaths(sim->p)) EXPECT_NE(p, kLog1);
}

// Answers the worker does not act on end the unit's download with one error
// entry that says which unit and why; a scheduler sees a failed night.
TEST_F(DownloadComplete, AnswersNotActedOnAreOneErrorEntry) {
  struct Case {
    std::string path;
    int nStatus;
    std::string raw;
    std::string why;
  } cases[] = {
      {"/setup/logexport.cgi?MB=0", 500, "", "answered HTTP 500 to the device list request"},
      {"/setup/logexport.cgi?MB=0", 302, "", "answered HTTP 302 to the device list request (a redirect)"},
      {"/setup/logexport.cgi?MB=0", 400, "",
       "answered HTTP 400 to the device list request (is this an HTTPS port?)"},
      {"/setup/logexport.cgi?MB=0", 0, "\x15\x03\x01\x00\x02\x02\x50",
       "gave no HTTP answer to the device list request"},
      {"/setup/logexport.cgi?CFG=loggerconfig.ini", 500, "",
       "answered HTTP 500 to the identity request"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.why);
    Start(SimConfig{});
    CopyString(das.serialnumber, S.c_str(), sizeof das.serialnumber);
    if (k.nStatus) SimSetStatus(sim->p, k.path, k.nStatus);
    else SimSetRawResponse(sim->p, k.path, k.raw);
    Run();
    EXPECT_EQ(ErrorLogErrorCount(), 1);
    EXPECT_TRUE(LogHas("Download of DAS " + S + " at " + das.ipaddress +
                       " did not complete: " + k.why));
    EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
    fs::remove_all(S);
    fs::remove("errorlog.txt");
  }
}

// Downloads that an earlier run stored but never merged (it was killed, or
// the disk was full) are merged by the next run, for devices the unit still
// lists and for those it no longer does; none is left behind.
TEST_F(DownloadComplete, DownloadsLeftByEarlierRunsAreMergedAndRemoved) {
  Start(SimConfig{});
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
