// Dial-out: dials a unit's phone number through the dial-up service for one
// download job, shows the progress in the job's status line and waits until
// the connection stands or has failed.
#include "download/dialout.h"
#include "download/dialout_int.h"

#include <atomic>
#include <chrono>

#include "download/download.h"
#include "log/errorlog.h"
#include "platform/system.h"
#include "platform/window.h"
#include "util/text.h"

static const char MODULE[] = "dialout";

// The status line holds at most 63 characters whatever its buffer's size.
enum { STATUS_CAP = 64, TEXT_CAP = 512 };

std::atomic<unsigned> g_nDialoutPollMs{DIALOUT_POLL_MS};
std::atomic<unsigned> g_nDialoutGiveUpMs{DIALOUT_GIVEUP_MS};

// Every way out of a failed dial hangs up a handle the service has handed
// out, so that each connection is hung up exactly once, here or by the
// worker, and the worker never sees a handle of a dead line.
static int FailDial(HRASCONN *phConn) {
  if (*phConn) {
    RasHangUp(*phConn);
    *phConn = nullptr;
  }
  return 0;
}

// The wait for the connection has ended without one.
static int WaitFailed(DownloadJob *pJob, HRASCONN *phConn) {
  FormatString(pJob->szFilename, STATUS_CAP, "Dialout: failed");
  RefreshJob(pJob);
  return FailDial(phConn);
}

int Dialout(DownloadJob *pJob, HRASCONN *phConn) {
  DasRecord *pDas = pJob->pDas;
  char szText[TEXT_CAP];

  RASDIALPARAMS params{};
  params.dwSize = sizeof params;
  CopyString(params.szPhoneNumber, pDas->phone, 129);
  CopyString(params.szUserName, "admin", 257);
  CopyString(params.szPassword, pDas->password, 257);

  FormatString(pJob->szFilename, STATUS_CAP, "dialing %s", pDas->phone);
  RefreshJob(pJob);

  unsigned long nResult = RasDial(nullptr, nullptr, &params, 0, DialCallback, phConn);
  if (nResult != 0) {
    RasGetErrorString(nResult, szText, TEXT_CAP);
    FormatString(pJob->szFilename, STATUS_CAP, "Dialout: failed, %s", szText);
    RefreshJob(pJob);
    LogError(MODULE, __LINE__, "RasDial failed, got: (%d) %s", (int)nResult, szText);
    return FailDial(phConn);
  }

  // The service dials on by itself; we look at the line once a second. The
  // wait ends when the line stands, when the service reports an error, when
  // the operator cancels the job (the dialog is gone by then, so nobody would
  // see the dial come to its end) and, because a modem that neither
  // connects nor fails would otherwise keep the job for ever, after a
  // total time without a connection.
  auto tStart = std::chrono::steady_clock::now();
  for (;;) {
    PlatSleep(g_nDialoutPollMs);
    if (pJob->cState != JOB_RUNNING) {
      return WaitFailed(pJob, phConn);
    }

    RASCONNSTATUS status{};
    status.dwSize = sizeof status;
    if (RasGetConnectStatus(*phConn, &status) != 0) {
      return WaitFailed(pJob, phConn);
    }

    if (status.dwError != 0)
      RasGetErrorString(status.dwError, szText, TEXT_CAP);
    else
      RasStateText(szText, TEXT_CAP, status.rasconnstate);
    FormatString(pJob->szFilename, STATUS_CAP, "Dialout: %s", szText);
    RefreshJob(pJob);

    if (status.dwError == 0 && status.rasconnstate == RASCS_Connected) {
      LogInfo(MODULE, __LINE__, "Dialout: Connected");
      FormatString(pJob->szFilename, STATUS_CAP, "Dialout: connected");
      RefreshJob(pJob);
      return 1;
    }

    // The service has given up on this dial; it will not recover. The error
    // itself was logged by DialCallback and has just been shown.
    if (status.dwError != 0) {
      pJob->nErrorsElsewhere++;  // on the service's thread
      return WaitFailed(pJob, phConn);
    }

    auto nWaited = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - tStart)
                       .count();
    if (nWaited >= (long long)g_nDialoutGiveUpMs) {
      LogError(MODULE, __LINE__, "Dialout: no connection to %s after %u seconds, giving up",
               pDas->phone, (unsigned)(g_nDialoutGiveUpMs / 1000));
      return WaitFailed(pJob, phConn);
    }
  }
}

void DialCallback(unsigned int, int nState, unsigned long dwError) {
  char szText[TEXT_CAP];
  if (dwError != 0) {
    RasGetErrorString(dwError, szText, TEXT_CAP);
    LogError(MODULE, __LINE__, "DialCallback: Dialout failed, got: %d, (state=%d) %s",
             (int)dwError, nState, szText);
    return;
  }
  RasStateText(szText, TEXT_CAP, nState);
  LogInfo(MODULE, __LINE__, "DialCallback state: %s", szText);
  // Give the modems time to settle before the service goes on to
  // authenticate.
  if (nState == RASCS_DeviceConnected) PlatSleep(2000);
}
