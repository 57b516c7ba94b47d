// Units with a phone number, end to end: through the progress dialog and the
// worker in this process (default and scripted dial-up service), and through
// the real program in its unattended run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "download/dialout.h"
#include "download/download.h"
#include "download/testhooks.h"
#include "log/errorlog.h"
#include "log/testhooks.h"
#include "platform/dialup.h"
#include "platform/dialup_script.h"
#include "platform/window.h"
#include "tests/support/program.h"
#include "tests/support/testutil.h"
#include "tools/das-sim/sim.h"
#include "util/text.h"

namespace {

// The messages of the log, without time stamp, as "module,message".
std::vector<std::string> LogMessages(const std::string &path) {
  std::vector<std::string> out;
  for (const LogEntry &e : ReadLogEntries(path)) out.push_back(e.module + "," + e.message);
  return out;
}

bool Has(const std::vector<std::string> &log, const std::string &entry) {
  for (const auto &e : log)
    if (e == entry) return true;
  return false;
}

bool HasPrefix(const std::vector<std::string> &log, const std::string &prefix) {
  for (const auto &e : log)
    if (e.rfind(prefix, 0) == 0) return true;
  return false;
}

size_t IndexOf(const std::vector<std::string> &log, const std::string &entry) {
  for (size_t i = 0; i < log.size(); i++)
    if (log[i] == entry) return i;
  return log.size();
}

const char kNoDevice[] =
    "The modem (or other connecting device) is already in use or is not configured properly.";

// ---- In this process: progress dialog, worker, dial-out ----

class DialoutDownload : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { PlatUiInit(0); }
  void SetUp() override {
    dir_ = std::make_unique<TempDir>();
    OpenErrorLog(1);
    DownloadFinalWaitMs = 50;
    SimConfig cfg;
    cfg.serial = "DAS000000777";
    cfg.devices = {1};
    cfg.nRecords = 10;
    sim_ = SimStart(cfg);
    ASSERT_NE(sim_, nullptr);
  }
  void TearDown() override {
    SimStop(sim_);
    RasUseDefault();
    EXPECT_EQ(RasWaitIdle(10000), 1);
    DownloadFinalWaitMs = 3000;
    ResetErrorLog();
    dir_.reset();
  }

  // Runs one download of a unit served by the simulated unit, as the main
  // window does, and waits until its worker has freed the job.
  void Download(const char *pszPhone) {
    DasRecord das{};
    CopyString(das.serialnumber, "DAS000000777", sizeof das.serialnumber);
    CopyString(das.phone, pszPhone, sizeof das.phone);
    FormatString(das.ipaddress, sizeof das.ipaddress, "127.0.0.1:%d", SimPort(sim_));
    CopyString(das.password, "qexal", sizeof das.password);
    InitDownloadDASProcess(&das, nullptr);
    for (int i = 0; i < 400 && DownloadJobsAlive() > 0; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(DownloadJobsAlive(), 0) << "the worker did not end";
  }

  std::unique_ptr<TempDir> dir_;
  SimServer *sim_ = nullptr;
};

TEST_F(DialoutDownload, NoDialUpDeviceMeansNoRequest) {
  RasUseDefault();
  Download("5551234");

  EXPECT_TRUE(SimRequestPaths(sim_).empty());
  auto log = LogMessages("errorlog.txt");
  size_t nRequired = IndexOf(log, "download,Dialout required for DAS000000777, calling 5551234");
  size_t nFailed = IndexOf(log, std::string("dialout,RasDial failed, got: (633) ") + kNoDevice);
  size_t nEnd = IndexOf(log, "download,Dialout terminating for DAS000000777");
  ASSERT_LT(nRequired, log.size());
  ASSERT_LT(nFailed, log.size());
  ASSERT_LT(nEnd, log.size());
  EXPECT_LT(nRequired, nFailed);
  EXPECT_LT(nFailed, nEnd);
  EXPECT_FALSE(FileExists("DAS000000777"));
}

TEST_F(DialoutDownload, TwoCharacterPhoneUsesTheLan) {
  Download("12");

  EXPECT_FALSE(SimRequestPaths(sim_).empty());
  auto log = LogMessages("errorlog.txt");
  EXPECT_TRUE(Has(log, "download,Dialout not configured for DAS000000777, using LAN"));
  EXPECT_FALSE(HasPrefix(log, "dialout,"));
  EXPECT_FALSE(HasPrefix(log, "download,Dialout terminating"));
  EXPECT_EQ(RasDialCalls(), 0);
  EXPECT_TRUE(FileExists("DAS000000777/mb-001.log"));
}

TEST_F(DialoutDownload, ConnectedLineCarriesTheDownloadAndIsHungUpOnce) {
  const RasScriptStep steps[] = {
      {RASCS_ConnectDevice, 0, 0},
      {RASCS_Connected, 0, 100},
  };
  RasUseScript(steps, 2);
  Download("5551234");

  auto log = LogMessages("errorlog.txt");
  EXPECT_TRUE(Has(log, "dialout,Dialout: Connected"));
  EXPECT_TRUE(Has(log, "download,Dialout terminating for DAS000000777"));
  EXPECT_TRUE(FileExists("DAS000000777/mb-001.log"));
  EXPECT_EQ(RasDialCalls(), 1);
  EXPECT_EQ(RasHangUpCalls(), 1);
  EXPECT_EQ(RasHangUpsDone(), 1);
}

TEST_F(DialoutDownload, ErrorDuringTheDialEndsTheJobWithoutRequest) {
  const RasScriptStep steps[] = {
      {RASCS_ConnectDevice, 0, 0},
      {RASCS_ConnectDevice, ERROR_LINE_BUSY, 100},
  };
  RasUseScript(steps, 2);
  Download("5551234");

  EXPECT_TRUE(SimRequestPaths(sim_).empty());
  auto log = LogMessages("errorlog.txt");
  EXPECT_TRUE(
      Has(log, "dialout,DialCallback: Dialout failed, got: 676, (state=2) The phone line is busy."));
  EXPECT_TRUE(Has(log, "download,Dialout terminating for DAS000000777"));
  EXPECT_EQ(RasHangUpsDone(), 1);
  EXPECT_EQ(RasHangUpCalls(), 1);  // the worker did not hang up a second time
}

// Units side by side share the one dial-up line: of three units with a
// phone number and two on the network, downloaded four at a time, no two
// dialled units hold the line at once, and every unit is downloaded.
TEST_F(DialoutDownload, UnitsSideBySideDialOneAtATime) {
  const RasScriptStep steps[] = {
      {RASCS_ConnectDevice, 0, 0},
      {RASCS_Connected, 0, 100},
  };
  RasUseScript(steps, 2);
  std::vector<std::unique_ptr<SimServer, void (*)(SimServer *)>> sims;
  std::vector<DasRecord> records(5);
  std::vector<DasRecord *> units;
  for (int i = 0; i < 5; i++) {
    SimConfig cfg;
    cfg.serial = "DAS00000010" + std::to_string(i);
    cfg.devices = {1};
    cfg.nRecords = 10;
    sims.emplace_back(SimStart(cfg), SimStop);
    ASSERT_NE(sims.back().get(), nullptr);
    DasRecord &das = records[i];
    CopyString(das.serialnumber, cfg.serial.c_str(), sizeof das.serialnumber);
    CopyString(das.phone, i % 2 ? "" : "5551234", sizeof das.phone);
    FormatString(das.ipaddress, sizeof das.ipaddress, "127.0.0.1:%d", SimPort(sims.back().get()));
    CopyString(das.password, "qexal", sizeof das.password);
    units.push_back(&das);
  }
  EXPECT_EQ(DownloadUnitsSideBySide(units.data(), units.size(), 4, nullptr, nullptr, nullptr), 5u);
  for (int i = 0; i < 400 && DownloadJobsAlive() > 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(DownloadJobsAlive(), 0) << "a worker did not end";
  EXPECT_EQ(RasDialCalls(), 3);
  EXPECT_EQ(RasMostLive(), 1);
  EXPECT_EQ(RasHangUpsDone(), 3);
  for (DasRecord *pDas : units)
    EXPECT_TRUE(FileExists(std::string(pDas->serialnumber) + "/mb-001.log")) << pDas->serialnumber;
  EXPECT_EQ(ErrorLogErrorCount(), 0);
}

// ---- The real program, unattended ----

TEST(DialoutAutoRun, DialUnitFailsAndTheNextUnitIsDownloaded) {
  TempDir dir;
  SimConfig cfgDial, cfgLan;
  cfgDial.serial = "DAS000000111";
  cfgLan.serial = "DAS000000222";
  cfgDial.devices = cfgLan.devices = {1};
  cfgDial.nRecords = cfgLan.nRecords = 10;
  SimServer *pDial = SimStart(cfgDial);
  SimServer *pLan = SimStart(cfgLan);
  ASSERT_NE(pDial, nullptr);
  ASSERT_NE(pLan, nullptr);
  // The list keeps its units sorted by their text: the dial-up unit first.
  std::string list = "serialnumber,name,phone,ipaddress,deletelog,password\r\n";
  list += "DAS000000111,Dial unit,\"5551234\",127.0.0.1:" + std::to_string(SimPort(pDial)) +
          ",NO,qexal\r\n";
  list += "DAS000000222,Lan unit,\"12\",127.0.0.1:" + std::to_string(SimPort(pLan)) +
          ",NO,qexal\r\n";
  WriteFileBytes("daslist.txt", list);

  int nExit = RunProgram(dir.Path(), {"/AUTO"}, 60);
  std::vector<std::string> dialPaths = SimRequestPaths(pDial);
  std::vector<std::string> lanPaths = SimRequestPaths(pLan);
  SimStop(pDial);
  SimStop(pLan);

  EXPECT_NE(nExit, -1) << "the program did not end by itself, or could not be started";
  EXPECT_TRUE(dialPaths.empty());
  EXPECT_FALSE(lanPaths.empty());
  EXPECT_TRUE(FileExists("DAS000000222/mb-001.log"));
  EXPECT_FALSE(FileExists("DAS000000111"));

  auto log = LogMessages("errorlog.txt");
  size_t nRequired =
      IndexOf(log, "download,Dialout required for DAS000000111, calling 5551234");
  size_t nFailed = IndexOf(log, std::string("dialout,RasDial failed, got: (633) ") + kNoDevice);
  size_t nEnd = IndexOf(log, "download,Dialout terminating for DAS000000111");
  size_t nLan = IndexOf(log, "download,Dialout not configured for DAS000000222, using LAN");
  EXPECT_LT(nRequired, nFailed);
  EXPECT_LT(nFailed, nEnd);
  EXPECT_LT(nEnd, log.size());
  EXPECT_LT(nRequired, nLan);
  EXPECT_LT(nLan, log.size());
}

}  // namespace
