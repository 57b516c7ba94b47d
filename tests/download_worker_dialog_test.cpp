// The progress dialog with its worker, on the headless window layer: the
// test's thread is the user-interface thread; a driver thread acts as the
// operator. Also Download All from the main window, unattended.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "daslist/daslist.h"
#include "download/download.h"
#include "download/testhooks.h"
#include "log/testhooks.h"
#include "platform/testhooks.h"
#include "platform/window.h"
#include "tests/support/download_fixture.h"

namespace fs = std::filesystem;

namespace {

const std::string S = "DAS000000001";
const std::string kLogPath = "/setup/logexport.cgi?MB=1";

std::string Text(HWND h, int nId) {
  char buf[256];
  GetDlgItemText(h, nId, buf, sizeof buf);
  return buf;
}

class ProgressDialog : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { PlatUiInit(0); }
  void SetUp() override {
    StartLog();
    InstanceHandle = PlatGetInstance();
    DownloadFinalWaitMs.store(50);
    sim = std::make_unique<SimUnit>(SimConfig{});
    std::memset(&das, 0, sizeof das);
    CopyString(das.ipaddress, sim->Address().c_str(), sizeof das.ipaddress);
    CopyString(das.password, "qexal", sizeof das.password);
  }
  void TearDown() override {
    EXPECT_TRUE(WaitFor([] { return DownloadJobsAlive() == 0; }, 20000)) << "job not freed";
    sim.reset();
    DownloadFinalWaitMs.store(3000);
    ResetErrorLog();
  }
  // Runs the download on this thread, the operator on another.
  void Run(const std::function<void(HWND)> &drive) {
    std::thread driver([&] {
      HWND h = WaitForWindow("DLG_DOWNLOAD", 10000);
      ASSERT_NE(h, nullptr);
      drive(h);
    });
    InitDownloadDASProcess(&das, nullptr);
    driver.join();
    EXPECT_EQ(DownloadRecord, nullptr);
    EXPECT_EQ(FindWindowByTemplate("DLG_DOWNLOAD"), nullptr);
  }

  TempDir dir;
  std::unique_ptr<SimUnit> sim;
  DasRecord das;
};

TEST_F(ProgressDialog, ClosesByItselfWhenTheDownloadIsDone) {
  Run([](HWND) {});
  EXPECT_EQ(LogMessages("download").back(), "Download Ordavan complete, serial " + S);
  EXPECT_TRUE(FileExists(S + "/mb-002.log"));
}

TEST_F(ProgressDialog, CancelDuringABodyClosesAtOnceAndTheWorkerUnwinds) {
  das.deletelog = 1;
  std::string log1 = SimLogBody(sim->p, 1);
  SimSetStallBody(sim->p, kLogPath, 10000);  // the unit stops sending, keeps the line open
  std::chrono::steady_clock::time_point tCancel;
  Run([&](HWND h) {
    std::string tmp = S + "/temp/mb-001.0.tmp";
    ASSERT_TRUE(WaitFor(
        [&] { return FileExists(tmp) && fs::file_size(tmp) == 10000; }, 10000));
    // The dialog shows the unit, what is going on and the bytes so far.
    ASSERT_TRUE(WaitFor([&] { return Text(h, IDC_DLFILE) == "Reading log data from " +
                                              std::string(das.ipaddress); }, 10000));
    EXPECT_EQ(Text(h, IDC_DLSERIAL), S + ", Sim unit");
    EXPECT_EQ(Text(h, IDC_DLBYTES).rfind("Downloaded ", 0), 0u);
    tCancel = std::chrono::steady_clock::now();
    SendMessage(h, WM_COMMAND, IDC_DLCANCEL, 0);
  });
  // InitDownloadDASProcess has returned: well before the 20 s timeout.
  EXPECT_LT(std::chrono::steady_clock::now() - tCancel, std::chrono::seconds(10));
  // The worker's blocked receive was woken by the cancel, not by the 20 s
  // receive timeout.
  ASSERT_TRUE(WaitFor([] { return DownloadJobsAlive() == 0; }, 10000));

  // Nothing after the stalled log: no delete, no further request.
  auto paths = SimRequestPaths(sim->p);
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(paths.back(), kLogPath);
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
  // The whole lines that arrived were merged; the cut one was not.
  std::string whole = log1.substr(0, log1.rfind('\n', 9999) + 1);
  EXPECT_EQ(ReadFileBytes(S + "/mb-001.log"), whole);
  // The operator's cancel is no failure: no error entry for the steps it
  // cut short, no "complete", one entry that says what happened.
  EXPECT_EQ(ErrorLogErrorCount(), 0);
  auto msgs = LogMessages("download");
  EXPECT_EQ(msgs.back(), "Download of " + S + " cancelled");
  for (const std::string &m : msgs) EXPECT_EQ(m.find("complete"), std::string::npos) << m;
}

TEST_F(ProgressDialog, ShutdownQueryCancelsLikeTheButton) {
  SimSetStallBody(sim->p, "/setup/logexport.cgi?CFG=loggerconfig.ini", -1);
  Run([&](HWND h) {
    ASSERT_TRUE(WaitFor([&] { return !SimRequests(sim->p).empty(); }, 10000));
    SendMessage(h, WM_QUERYENDSESSION, 0, 0);
  });
  ASSERT_TRUE(WaitFor([] { return DownloadJobsAlive() == 0; }, 20000));
  EXPECT_EQ(SimRequestPaths(sim->p).size(), 1u);
  // A cancelled header read is not an error of the unit.
  EXPECT_EQ(ErrorLogErrorCount(), 0);
}

// A cancel while the unit has not taken the connection yet: the waiting
// connect fails because of the cancel, which is no error of the unit.
TEST_F(ProgressDialog, CancelDuringTheConnectIsNoError) {
  SimBlackHole *pHole = SimStartBlackHole();
  ASSERT_NE(pHole, nullptr);
  const std::string addr = "127.0.0.1:" + std::to_string(SimBlackHolePort(pHole));
  CopyString(das.ipaddress, addr.c_str(), sizeof das.ipaddress);
  CopyString(das.serialnumber, S.c_str(), sizeof das.serialnumber);
  Run([&](HWND h) {
    ASSERT_TRUE(WaitFor([&] { return Text(h, IDC_DLFILE) == "connecting to " + addr; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // inside the connect
    SendMessage(h, WM_COMMAND, IDC_DLCANCEL, 0);
  });
  ASSERT_TRUE(WaitFor([] { return DownloadJobsAlive() == 0; }, 10000));
  SimStopBlackHole(pHole);
  EXPECT_EQ(ErrorLogErrorCount(), 0);
  EXPECT_EQ(LogMessages("download").back(), "Download of " + S + " cancelled");
}

TEST_F(ProgressDialog, EscapeAndOtherCommandsDoNothing) {
  SimSetStallBody(sim->p, "/setup/logexport.cgi?CFG=loggerconfig.ini", -1);
  Run([&](HWND h) {
    ASSERT_TRUE(WaitFor([&] { return !SimRequests(sim->p).empty(); }, 10000));
    // Compared whole: the Cancel id with a notification code is another
    // command, and IDCANCEL (Escape) is not handled.
    EXPECT_EQ(SendMessage(h, WM_COMMAND, IDCANCEL, 0), FALSE);
    EXPECT_EQ(SendMessage(h, WM_COMMAND, (1u << 16) | IDC_DLCANCEL, 0), FALSE);
    EXPECT_EQ(SendMessage(h, WM_COMMAND, (1u << 16) | CMD_PROGRESS_REFRESH, 0), FALSE);
    ASSERT_TRUE(WaitForIdle(10000));
    EXPECT_TRUE(IsWindow(h));
    SendMessage(h, WM_CLOSE, 0, 0);  // the close box
  });
}

TEST_F(ProgressDialog, BytesLineKeepsItsTextUntilTheFirstByte) {
  SimSetStallBody(sim->p, "/setup/logexport.cgi?CFG=loggerconfig.ini", -1);
  Run([&](HWND h) {
    ASSERT_TRUE(WaitFor([&] { return !SimRequests(sim->p).empty(); }, 10000));
    ASSERT_TRUE(WaitFor([&] { return Text(h, IDC_DLFILE).rfind("connected", 0) == 0; }, 10000));
    EXPECT_EQ(Text(h, IDC_DLBYTES), "Bytes transferred");
    EXPECT_EQ(Text(h, IDC_DLSERIAL), ", ");  // nothing known of the unit yet
    SendMessage(h, WM_COMMAND, IDC_DLCANCEL, 0);
  });
}

TEST(ProgressDialogEntry, NullRecordOpensNoDialog) {
  TempDir dir;
  StartLog();
  EXPECT_EQ(InitDownloadDASProcess(nullptr, nullptr), 0);
  EXPECT_EQ(LogMessages("download"),
            std::vector<std::string>{"InitDownloadDASProcess received NULL pointer, skipping download"});
  ResetErrorLog();
}

// Download All from the main window, unattended: the units one after the
// other in the list's order (sorted by their text), each complete.
TEST(DownloadAll, UnitsInListOrder) {
  PlatUiInit(0);
  TempDir dir;
  StartLog();
  InstanceHandle = PlatGetInstance();
  static bool bRegistered = RegisterMainWindowClass(InstanceHandle) != 0;
  ASSERT_TRUE(bRegistered);
  DownloadFinalWaitMs.store(50);
  SimConfig c1, c2;
  c1.serial = "DAS000000001";
  c1.name = "First unit";
  c2.serial = "DAS000000002";
  c2.name = "Second unit";
  c2.nKind = 2;
  SimUnit u1(c1), u2(c2);
  // The file lists the second unit first; the list sorts by serial number.
  WriteFileBytes("daslist.txt",
                 "serialnumber,name,phone,ipaddress,deletelog,password\r\n"
                 "DAS000000002,b,\"\"," + u2.Address() + ",NO,qexal\r\n"
                 "DAS000000001,a,\"\"," + u1.Address() + ",YES,qexal\r\n");
  AutoRun = 1;
  DialogBoxParam(InstanceHandle, "DLG_DASLIST", nullptr, MainWindowProc, 0);
  AutoRun = 0;
  ASSERT_TRUE(WaitFor([] { return DownloadJobsAlive() == 0; }, 20000));
  DownloadFinalWaitMs.store(3000);

  auto msgs = LogMessages("download");
  auto at = [&](const std::string &m) {
    return std::find(msgs.begin(), msgs.end(), m) - msgs.begin();
  };
  long n1 = at("Download thread starting for DAS000000001.");
  long e1 = at("Download Ordavan complete, serial DAS000000001");
  long n2 = at("Download thread starting for DAS000000002.");
  long e2 = at("Download Ordalet complete, serial DAS000000002");
  ASSERT_LT(e2, (long)msgs.size());
  EXPECT_LT(n1, e1);
  EXPECT_LT(e1, n2);
  EXPECT_LT(n2, e2);
  EXPECT_EQ(SimDeleteCount(u1.p, 1), 1);
  EXPECT_EQ(SimDeleteCount(u2.p, 1), 0);
  EXPECT_TRUE(FileExists("DAS000000001/mb-001.log"));
  EXPECT_TRUE(FileExists("DAS000000002/mb-001.log"));
  // The names the units reported were saved.
  std::string list = ReadFileBytes("daslist.txt");
  EXPECT_NE(list.find("DAS000000001,First unit,"), std::string::npos) << list;
  EXPECT_NE(list.find("DAS000000002,Second unit,"), std::string::npos) << list;
  EXPECT_EQ(ErrorLogErrorCount(), 0);
  ResetErrorLog();
}

}  // namespace
