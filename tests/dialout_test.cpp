// Dial-out against the scripted dial-up service: the status lines the
// progress dialog gets to see, the log entries, the connection handle and
// the hang-ups; and the dial-up service itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
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
#include "tests/support/testutil.h"
#include "util/text.h"

namespace {

// ---- The state texts ----

std::string StateText(int nState, unsigned nCap = 512) {
  char sz[512];
  RasStateText(sz, nCap, nState);
  return sz;
}

TEST(RasStateText, TableEdges) {
  EXPECT_EQ(StateText(0), "The communication port is about to be opened.");
  EXPECT_EQ(StateText(3), "Call connected");
  EXPECT_EQ(StateText(23),
            "Multilink phone book entry: a subentry has been disconnected during the dialing "
            "process");
  EXPECT_EQ(StateText(4096), "RAS Paused, waiting for terminal");
  EXPECT_EQ(StateText(4099),
            "This state corresponds to the change password state supported by RASPHONE.EXE");
  EXPECT_EQ(StateText(8192), "Connection Successful");
  EXPECT_EQ(StateText(8193), "Disconnected");
}

TEST(RasStateText, StateEightKeepsItsTrailingBlank) {
  EXPECT_EQ(StateText(8), "The remote access server has requested a callback number. ");
}

TEST(RasStateText, ValuesOutsideTheTableAreNamed) {
  for (int n : {24, 4095, 4100, 8191, 8194, -1, 100000})
    EXPECT_EQ(StateText(n), "Unknown RAS Dialout state, got " + std::to_string(n)) << n;
}

TEST(RasStateText, CutToTheCapacity) {
  EXPECT_EQ(StateText(3, 5), "Call");
  EXPECT_EQ(StateText(4100, 12), "Unknown RAS");
  EXPECT_EQ(StateText(8192, 1), "");
}

// ---- The dial-up service ----

TEST(DialupService, DefaultBackendRefusesAtOnceWithoutHandle) {
  RasUseDefault();
  RASDIALPARAMS params{};
  params.dwSize = sizeof params;
  HRASCONN h = nullptr;
  EXPECT_EQ(RasDial(nullptr, nullptr, &params, 0, nullptr, &h), (unsigned long)ERROR_PORT_NOT_AVAILABLE);
  EXPECT_EQ(h, nullptr);
  char sz[512];
  EXPECT_EQ(RasGetErrorString(ERROR_PORT_NOT_AVAILABLE, sz, sizeof sz), 0u);
  EXPECT_STREQ(sz,
               "The modem (or other connecting device) is already in use or is not configured "
               "properly.");
  RASCONNSTATUS st{};
  st.dwSize = sizeof st;
  EXPECT_NE(RasGetConnectStatus(nullptr, &st), 0u);
}

TEST(DialupService, ScriptedConnectionReportsStatesAndDiesOnHangUp) {
  const RasScriptStep steps[] = {{RASCS_ConnectDevice, 0, 0}, {RASCS_Connected, 0, 0}};
  RasUseScript(steps, 2);
  RASDIALPARAMS params{};
  params.dwSize = sizeof params;
  HRASCONN h1 = nullptr, h2 = nullptr;
  ASSERT_EQ(RasDial(nullptr, nullptr, &params, 0, nullptr, &h1), 0u);
  ASSERT_EQ(RasWaitIdle(5000), 1);
  RASCONNSTATUS st{};
  st.dwSize = sizeof st;
  ASSERT_EQ(RasGetConnectStatus(h1, &st), 0u);
  EXPECT_EQ(st.rasconnstate, RASCS_Connected);
  EXPECT_EQ(st.dwError, 0u);

  EXPECT_EQ(RasHangUp(h1), 0u);
  EXPECT_NE(RasGetConnectStatus(h1, &st), 0u);
  EXPECT_NE(RasHangUp(h1), 0u);  // a second hang-up finds nothing
  EXPECT_EQ(RasHangUpCalls(), 2);
  EXPECT_EQ(RasHangUpsDone(), 1);

  ASSERT_EQ(RasDial(nullptr, nullptr, &params, 0, nullptr, &h2), 0u);
  EXPECT_NE(h2, h1);  // handles are never reused
  EXPECT_EQ(RasHangUp(h2), 0u);
  EXPECT_EQ(RasWaitIdle(5000), 1);
  RasUseDefault();
}

TEST(DialupService, UnknownCodeStillGetsAText) {
  char sz[16];
  RasGetErrorString(12345, sz, sizeof sz);
  EXPECT_STREQ(sz, "Remote access e");
}

// ---- Dial-out through a recording dialog ----

// One dial-out run. The dial runs on a thread of its own, as on the worker;
// the test thread runs a modal dialog whose procedure records the status
// line at each progress refresh, exactly where the progress dialog reads it.
struct DialRun {
  DasRecord das{};
  DownloadJob job{};
  HRASCONN hConn = nullptr;
  int nResult = -1;
  std::vector<std::string> status;
  // Cancel the job (as the dialog's close does) at the first status line
  // that equals this text.
  std::string cancelAt;
  // Hang the line up behind the dial-out's back at this status line.
  std::string dropAt;
  std::thread worker;
  double dSeconds = 0;
};

enum { IDC_TEST_DONE = 9001 };
DialRun *CurrentRun = nullptr;

INT_PTR RecorderProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  DialRun *pRun = CurrentRun;
  if (uMsg == WM_INITDIALOG) {
    pRun->job.hDlg = hDlg;
    pRun->worker = std::thread([pRun, hDlg] {
      auto t0 = std::chrono::steady_clock::now();
      pRun->nResult = Dialout(&pRun->job, &pRun->hConn);
      pRun->dSeconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      PostMessage(hDlg, WM_COMMAND, IDC_TEST_DONE, 0);
    });
    return TRUE;
  }
  if (uMsg == WM_COMMAND && wParam == CMD_PROGRESS_REFRESH) {
    std::string s = pRun->job.szFilename;
    pRun->status.push_back(s);
    if (!pRun->cancelAt.empty() && s == pRun->cancelAt) {
      unsigned char cRunning = JOB_RUNNING;
      pRun->job.cState.compare_exchange_strong(cRunning, JOB_CANCELLED);
    }
    if (!pRun->dropAt.empty() && s == pRun->dropAt && pRun->hConn) RasHangUp(pRun->hConn);
    return TRUE;
  }
  if (uMsg == WM_COMMAND && wParam == IDC_TEST_DONE) {
    EndDialog(hDlg, 1);
    return TRUE;
  }
  (void)lParam;
  return FALSE;
}

class DialoutTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { PlatUiInit(0); }
  void SetUp() override {
    dir_ = std::make_unique<TempDir>();
    OpenErrorLog(1);
  }
  void TearDown() override {
    EXPECT_EQ(RasWaitIdle(10000), 1);
    ResetErrorLog();
    RasUseDefault();
    DialoutSetTiming(DIALOUT_POLL_MS, DIALOUT_GIVEUP_MS);
    dir_.reset();
  }

  // Dials "5551234" with password "secret" and records everything.
  void Run(DialRun &run) {
    CopyString(run.das.serialnumber, "000011112222", sizeof run.das.serialnumber);
    CopyString(run.das.phone, "5551234", sizeof run.das.phone);
    CopyString(run.das.password, "secret", sizeof run.das.password);
    run.job.pDas = &run.das;
    run.job.cState = JOB_RUNNING;
    run.job.sockFile = INVALID_SOCKET;
    run.job.sockQuery = INVALID_SOCKET;
    CurrentRun = &run;
    INT_PTR r = DialogBoxParam(PlatGetInstance(), "DLG_DOWNLOAD", nullptr, RecorderProc,
                               (LPARAM)&run);
    if (run.worker.joinable()) run.worker.join();
    CurrentRun = nullptr;
    ASSERT_EQ(r, 1) << "the recording dialog did not run";
    ASSERT_EQ(RasWaitIdle(10000), 1);
  }

  // The messages of the log's "dialout" entries, in order.
  std::vector<std::string> DialoutLog() {
    std::vector<std::string> out;
    for (const LogEntry &e : ReadLogEntries())
      if (e.module == "dialout") out.push_back(e.message);
    return out;
  }

  std::unique_ptr<TempDir> dir_;
};

TEST_F(DialoutTest, SuccessfulDialShowsEachStateAndKeepsTheLine) {
  const RasScriptStep steps[] = {
      {RASCS_OpenPort, 0, 20},        {RASCS_PortOpened, 0, 20},
      {RASCS_ConnectDevice, 0, 20},   {RASCS_DeviceConnected, 0, 1500},
      {RASCS_Authenticate, 0, 20},    {RASCS_Authenticated, 0, 20},
      {RASCS_Connected, 0, 20},
  };
  RasUseScript(steps, 7);
  DialRun run;
  Run(run);

  EXPECT_EQ(run.nResult, 1);
  EXPECT_NE(run.hConn, nullptr);
  EXPECT_EQ(RasHangUpCalls(), 0);  // the line stays up for the download

  RASDIALPARAMS params;
  RasLastDialParams(&params);
  EXPECT_EQ(params.dwSize, 1052u);
  EXPECT_STREQ(params.szEntryName, "");
  EXPECT_STREQ(params.szPhoneNumber, "5551234");
  EXPECT_STREQ(params.szUserName, "admin");
  EXPECT_STREQ(params.szPassword, "secret");
  EXPECT_STREQ(params.szCallbackNumber, "");
  EXPECT_STREQ(params.szDomain, "");

  ASSERT_GE(run.status.size(), 4u);
  EXPECT_EQ(run.status.front(), "dialing 5551234");
  // One poll a second while the service works through the states; the
  // modem is calling for 1.5 s (each delay comes before its state), so at
  // least one poll sees that.
  bool bSawCalling = false;
  for (size_t i = 1; i + 2 < run.status.size(); i++) {
    EXPECT_EQ(run.status[i].rfind("Dialout: ", 0), 0u) << run.status[i];
    EXPECT_NE(run.status[i], "Dialout: Connection Successful");
    if (run.status[i] == "Dialout: Calling, waiting for connection") bSawCalling = true;
  }
  EXPECT_TRUE(bSawCalling) << ::testing::PrintToString(run.status);
  EXPECT_EQ(run.status[run.status.size() - 2], "Dialout: Connection Successful");
  EXPECT_EQ(run.status.back(), "Dialout: connected");

  // The notifier logs every state; the dial-out's own entry follows once the
  // line stands. (The notifier's last line and the poll that sees the
  // connection race each other, as with the real service.)
  std::vector<std::string> log = DialoutLog();
  std::vector<std::string> want;
  for (const auto &st : steps) want.push_back("DialCallback state: " + StateText(st.nState));
  std::vector<std::string> got;
  size_t nConnectedAt = log.size();
  for (size_t i = 0; i < log.size(); i++) {
    if (log[i] == "Dialout: Connected")
      nConnectedAt = i;
    else
      got.push_back(log[i]);
  }
  EXPECT_EQ(got, want);
  ASSERT_LT(nConnectedAt, log.size());
  EXPECT_GE(nConnectedAt, want.size() - 1);

  // The worker hangs up in its clean-up: once, and the line is gone.
  EXPECT_EQ(RasHangUp(run.hConn), 0u);
  EXPECT_EQ(RasHangUpsDone(), 1);
  RASCONNSTATUS st{};
  st.dwSize = sizeof st;
  EXPECT_NE(RasGetConnectStatus(run.hConn, &st), 0u);
}

TEST_F(DialoutTest, DialThatCannotStartFailsAtOnce) {
  RasUseDefault();
  DialRun run;
  Run(run);

  EXPECT_EQ(run.nResult, 0);
  EXPECT_EQ(run.hConn, nullptr);
  EXPECT_LT(run.dSeconds, 0.9);  // no poll was waited for
  // The service's text is longer than the status line: cut at 63.
  std::string full =
      "Dialout: failed, The modem (or other connecting device) is already in use or is not "
      "configured properly.";
  ASSERT_EQ(run.status.size(), 2u);
  EXPECT_EQ(run.status[0], "dialing 5551234");
  EXPECT_EQ(run.status[1], full.substr(0, 63));
  std::vector<std::string> log = DialoutLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0],
            "RasDial failed, got: (633) The modem (or other connecting device) is already in use "
            "or is not configured properly.");
}

TEST_F(DialoutTest, FailedStartHangsUpTheHandleTheServiceGave) {
  RasUseScript(nullptr, 0, ERROR_LINE_BUSY);
  DialRun run;
  Run(run);

  EXPECT_EQ(run.nResult, 0);
  EXPECT_EQ(run.hConn, nullptr);
  EXPECT_EQ(RasHangUpsDone(), 1);
  EXPECT_EQ(RasHangUpCalls(), 1);
  ASSERT_EQ(run.status.size(), 2u);
  EXPECT_EQ(run.status[1], "Dialout: failed, The phone line is busy.");
  std::vector<std::string> log = DialoutLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "RasDial failed, got: (676) The phone line is busy.");
}

TEST_F(DialoutTest, ErrorDuringTheDialEndsTheWait) {
  const RasScriptStep steps[] = {
      {RASCS_OpenPort, 0, 0},
      {RASCS_ConnectDevice, 0, 0},
      {RASCS_ConnectDevice, ERROR_NO_ANSWER, 1500},
  };
  RasUseScript(steps, 3);
  DialRun run;
  Run(run);

  EXPECT_EQ(run.nResult, 0);
  EXPECT_EQ(run.hConn, nullptr);
  EXPECT_EQ(RasHangUpsDone(), 1);
  ASSERT_GE(run.status.size(), 3u);
  EXPECT_EQ(run.status[1], "Dialout: Calling, waiting for connection");
  EXPECT_EQ(run.status[run.status.size() - 2], "Dialout: The remote computer did not respond.");
  EXPECT_EQ(run.status.back(), "Dialout: failed");
  // The service's error is shown once, then the wait is over.
  EXPECT_EQ(std::count(run.status.begin(), run.status.end(),
                       std::string("Dialout: The remote computer did not respond.")),
            1);

  std::vector<std::string> log = DialoutLog();
  std::vector<std::string> want = {
      "DialCallback state: The communication port is about to be opened.",
      "DialCallback state: Calling, waiting for connection",
      "DialCallback: Dialout failed, got: 678, (state=2) The remote computer did not respond.",
  };
  EXPECT_EQ(log, want);
}

TEST_F(DialoutTest, CancelDuringTheDialHangsUp) {
  const RasScriptStep steps[] = {
      {RASCS_ConnectDevice, 0, 0},
      {RASCS_Connected, 0, 60000},  // never reached: the operator cancels first
  };
  RasUseScript(steps, 2);
  DialRun run;
  run.cancelAt = "Dialout: Calling, waiting for connection";
  Run(run);

  EXPECT_EQ(run.nResult, 0);
  EXPECT_EQ(run.hConn, nullptr);
  EXPECT_EQ(RasHangUpsDone(), 1);
  EXPECT_LT(run.dSeconds, 10.0);
  ASSERT_GE(run.status.size(), 3u);
  EXPECT_EQ(run.status[run.status.size() - 2], "Dialout: Calling, waiting for connection");
  EXPECT_EQ(run.status.back(), "Dialout: failed");
}

TEST_F(DialoutTest, LineLostDuringTheDialFailsTheQuery) {
  const RasScriptStep steps[] = {
      {RASCS_ConnectDevice, 0, 0},
      {RASCS_Connected, 0, 60000},
  };
  RasUseScript(steps, 2);
  DialRun run;
  run.dropAt = "Dialout: Calling, waiting for connection";
  Run(run);

  EXPECT_EQ(run.nResult, 0);
  EXPECT_EQ(run.hConn, nullptr);
  EXPECT_EQ(run.status.back(), "Dialout: failed");
  EXPECT_EQ(RasHangUpsDone(), 1);  // the line went down once, nothing else
}

TEST_F(DialoutTest, UnknownStateIsShownAndLoggedByValue) {
  const RasScriptStep steps[] = {
      {4100, 0, 0},
      {RASCS_Connected, 0, 1500},
  };
  RasUseScript(steps, 2);
  DialRun run;
  Run(run);

  EXPECT_EQ(run.nResult, 1);
  ASSERT_GE(run.status.size(), 4u);
  EXPECT_EQ(run.status[1], "Dialout: Unknown RAS Dialout state, got 4100");
  std::vector<std::string> log = DialoutLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], "DialCallback state: Unknown RAS Dialout state, got 4100");
  EXPECT_EQ(RasHangUp(run.hConn), 0u);
}

TEST_F(DialoutTest, GivesUpWhenTheLineNeverComes) {
  DialoutSetTiming(100, 1000);
  const RasScriptStep steps[] = {
      {RASCS_ConnectDevice, 0, 0},
      {RASCS_Connected, 0, 60000},
  };
  RasUseScript(steps, 2);
  DialRun run;
  Run(run);

  EXPECT_EQ(run.nResult, 0);
  EXPECT_EQ(run.hConn, nullptr);
  EXPECT_EQ(RasHangUpsDone(), 1);
  EXPECT_GE(run.dSeconds, 1.0);
  EXPECT_LT(run.dSeconds, 10.0);
  EXPECT_EQ(run.status.back(), "Dialout: failed");
  std::vector<std::string> log = DialoutLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "Dialout: no connection to 5551234 after 1 seconds, giving up");
}

}  // namespace
