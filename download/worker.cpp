// The worker thread of one download: the way to the unit, its identity, the
// serial number check, the kind probe, the transfer sequence, and the
// clean-up that ends the dialog and frees the job.
#include <cstring>

#include "download/dialout.h"
#include "download/download.h"
#include "log/errorlog.h"
#include "log/summary.h"
#include "platform/system.h"
#include "platform/window.h"
#include "util/text.h"

namespace {
const std::size_t kMinDialoutPhone = 3;
}  // namespace

int UnitDialsOut(const DasRecord *pDas) { return std::strlen(pDas->phone) >= kMinDialoutPhone; }

namespace {

// The unit goes into the end-of-run summary before its dialog closes: once
// the last dialog has gone, an unattended run finds every unit noted.
void NoteUnit(DownloadJob *pJob, int nOutcome) {
  SummaryNoteUnit(pJob->pDas->serialnumber, pJob->pDas->name, nOutcome, pJob->szReason,
                  pJob->nDevices, pJob->lRecords, pJob->lListOrder);
  MarkJobNoted(pJob);
}
// Stopped like a cancel, but nobody chose it: a unit stopped at its time
// limit has failed, and that is what its entry and its summary line say,
// whatever its steps said before. 1 when it was (told once).
int SettleTimeLimit(DownloadJob *pJob) {
  unsigned nLimitS = JobStoppedAtTimeLimit(pJob);
  if (!nLimitS) return 0;
  pJob->nOutcome = UNIT_FAILED;
  FormatString(pJob->szReason, sizeof pJob->szReason, "stopped at its time limit of %u s",
               nLimitS);
  LogError("download", __LINE__, "Download of DAS %s at %s stopped at its time limit of %u s",
           pJob->pDas->serialnumber, pJob->pDas->ipaddress, nLimitS);
  return 1;
}

// An address that is not plainly four numbers, a host name or a bracketed
// IPv6 address would be read some other way by someone (a leading 0 as
// octal, "10.1" as 10.0.0.1) and could reach another unit, which would then
// be told to delete its data. 1 when the address can be used; otherwise
// the job has failed (reported).
int AddressUsable(DownloadJob *pJob) {
  DasRecord *pDas = pJob->pDas;
  UnitAddress ua;
  if (ParseUnitAddress(pDas->ipaddress, &ua)) return 1;
  if (ua.bBadPort) {
    LogError("download", __LINE__,
             "Port of address [%s] of DAS %s is not a number from 1 to 65535; the unit is not "
             "contacted",
             pDas->ipaddress, pDas->serialnumber);
    FailJob(pJob, "the port of its address [%s] cannot be used", pDas->ipaddress);
    return 0;
  }
  LogError("download", __LINE__,
           "Address [%s] of DAS %s is not four decimal numbers from 0 to 255, a host name or an "
           "IPv6 address in brackets (a.b.c.d, name or [v6], each with an optional :port); the "
           "unit is not contacted",
           pDas->ipaddress, pDas->serialnumber);
  FailJob(pJob, "its address [%s] cannot be used", pDas->ipaddress);
  return 0;
}

// Dials the unit when it is reached by telephone. 1 when the way to it is
// open; 0 when the dial failed, and then the unit has been noted and its
// dialog closed.
int OpenTheWay(DownloadJob *pJob, int bDialout, HRASCONN *phConn) {
  DasRecord *pDas = pJob->pDas;
  if (!bDialout) {
    LogInfo("download", __LINE__, "Dialout not configured for %s, using LAN", pDas->serialnumber);
    return 1;
  }
  LogInfo("download", __LINE__, "Dialout required for %s, calling %s", pDas->serialnumber,
          pDas->phone);
  if (Dialout(pJob, phConn)) return 1;
  // A failed dial ends the job like a cancel would, but it is a failure of
  // the unit's download, not the operator's choice.
  if (JobRunning(pJob)) {
    FailJob(pJob, "dial-out to %s failed", pDas->phone);
    // A killed run may have left downloads (and a log cut inside an append
    // that they repair); they need no line to the unit.
    MergeLeftoverLogs(pJob);
  }
  SettleTimeLimit(pJob);  // a dial that outlasted it
  NoteUnit(pJob, pJob->nOutcome == UNIT_FAILED ? UNIT_FAILED : UNIT_CANCELLED);
  SendMessage(pJob->hDlg, WM_CLOSE, 0, kCloseForJob);
  pJob->cState.store(JOB_CANCELLED);
  return 0;
}

// The identity read, the serial number check, the kind probe and the
// transfer sequence. 1 when the sequence ran (it takes up leftovers itself).
int DownloadReachedUnit(DownloadJob *pJob) {
  DasRecord *pDas = pJob->pDas;
  int bIdentity = ReadDasIdentity(pJob);
  CloseJobSocket(pJob->sockQuery);  // closed by the identity read already

  // The main window saves and shows what the identity read has put into
  // the record; the dialog shows it too.
  SendMessage(DownloadOwner.load(), WM_COMMAND, CMD_SAVE_REFRESH, 0);
  RefreshJob(pJob);

  if (!bIdentity) {
    // Reported at the end; no further request to a unit that did not say
    // who it is.
    return 0;
  }
  if (!IsValidSerialNumber(pDas->serialnumber) || pJob->bSerialRefused) {
    LogInfo("download", __LINE__,
            "Unable to locate valid DAS serial number, abort download.  got [%s]",
            pJob->bSerialRefused ? pJob->szRefusedSerial : pDas->serialnumber);
    FailJob(pJob, "reported a serial number that cannot be used");
    return 0;
  }
  int nHttpResult = 0;
  int nGot = HttpGet("/setup/logexport.cgi?MB=0", pJob, &pJob->sockQuery, &nHttpResult);
  if (nGot && nHttpResult == 404) {
    DownloadSingleMeterDas(pJob);
    return 1;
  }
  if (nGot && nHttpResult == 200) {
    DownloadMultiDeviceDas(pJob);
    return 1;
  }
  if (JobRunning(pJob)) FailRequest(pJob, "device list", nGot, nHttpResult);
  return 0;
}

// How the unit's download ended. A cancel by the operator is no failure and
// gets one information entry; a failure gets one error entry naming the
// unit, unless the step that failed has written one already.
void SettleOutcome(DownloadJob *pJob, long nErrorsBefore) {
  DasRecord *pDas = pJob->pDas;
  if (SettleTimeLimit(pJob)) return;
  int bCancelled = pJob->cState.load() != JOB_RUNNING && pJob->nOutcome != UNIT_FAILED;
  if (bCancelled) {
    pJob->nOutcome = UNIT_CANCELLED;
    LogInfo("download", __LINE__, "Download of %s cancelled", pDas->serialnumber);
  } else if (pJob->nOutcome == UNIT_FAILED) {
    if (ErrorLogThreadErrorCount() == nErrorsBefore && !pJob->nErrorsElsewhere)
      LogError("download", __LINE__, "Download of DAS %s at %s did not complete: %s",
               pDas->serialnumber, pDas->ipaddress, pJob->szReason);
  } else {
    pJob->nOutcome = UNIT_COMPLETE;
  }
}

}  // namespace

void DownloadThread(void *pParam) {
  DownloadJob *pJob = (DownloadJob *)pParam;
  if (!pJob) {
    LogError("download", __LINE__, "Download thread received null param data.");
    return;
  }
  DasRecord *pDas = pJob->pDas;

  // Created -> running, unless the dialog was closed before this thread got
  // going: that cancel has moved the job to 2 already and nothing is done.
  unsigned char cExpected = JOB_CREATED;
  pJob->cState.compare_exchange_strong(cExpected, JOB_RUNNING);
  pJob->ullStartMs.store(PlatTickMs());

  LogInfo("download", __LINE__, "Download thread starting for %s.", pDas->serialnumber);

  // Error entries made from here on are about this unit: the worker adds
  // its own entry for a failed download only when there is none.
  const long nErrorsBefore = ErrorLogThreadErrorCount();

  HRASCONN hConn = nullptr;
  int bNoted = 0;
  int bDialout = UnitDialsOut(pDas);
  if (JobRunning(pJob) && !AddressUsable(pJob)) bDialout = 0;
  if (JobRunning(pJob) && pJob->nOutcome != UNIT_FAILED && !OpenTheWay(pJob, bDialout, &hConn))
    bNoted = 1;

  int bSequence = 0;  // the transfer sequence ran (it takes up leftovers itself)
  if (JobRunning(pJob) && pJob->nOutcome != UNIT_FAILED) bSequence = DownloadReachedUnit(pJob);
  // A unit that could not be reached (or not downloaded): what killed runs
  // left of it is on this disk, and is merged all the same.
  if (!bSequence) MergeLeftoverLogs(pJob);

  SettleOutcome(pJob, nErrorsBefore);
  if (!bNoted) NoteUnit(pJob, pJob->nOutcome);

  CloseJobSocket(pJob->sockQuery);
  CloseJobSocket(pJob->sockFile);
  if (hConn) RasHangUp(hConn);
  // Still running: the work is done and the dialog is closed from here. A
  // cancel that got in first has closed it already.
  unsigned char cRunning = JOB_RUNNING;
  if (pJob->cState.compare_exchange_strong(cRunning, JOB_FINISHED))
    SendMessage(pJob->hDlg, WM_CLOSE, 0, kCloseForJob);
  pJob->cState.store(JOB_FINISHED);
  if (bDialout) LogInfo("download", __LINE__, "Dialout terminating for %s", pDas->serialnumber);
  // Nothing of the unit is left to do and its line is hung up: a dialog of
  // units side by side may start the next one. A dialog that has ended
  // takes no message.
  SendMessage(pJob->hDlg, WM_COMMAND, CMD_JOB_ENDED, reinterpret_cast<LPARAM>(pJob));

  // The dialog has ended; give anything that still holds the job (a late
  // message of the dialog) time to let go before it is freed.
  PlatSleep(DownloadFinalWaitMs.load());
  FreeDownloadJob(pJob);
}
