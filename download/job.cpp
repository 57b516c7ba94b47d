// The download job: allocation, the take-and-close of its socket slots and
// the progress convention (status line, then a synchronous refresh).
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <new>
#include <vector>

#include "download/download.h"
#include "download/job_int.h"
#include "platform/sock.h"
#include "platform/window.h"

std::atomic<unsigned> DownloadFinalWaitMs{3000};

std::atomic<int> g_nJobsAlive{0};

namespace {
std::atomic<int> nOutcomesPending{0};

// Every job from its allocation to its release, so that a stop of the whole
// run (or a unit's time limit) can reach the jobs at work. Never destroyed:
// a worker in its final wait may release its job while the process ends.
struct LiveJobs {
  std::mutex mx;
  std::vector<DownloadJob *> jobs;
  int bStopped = 0;
};
LiveJobs &Live() {
  static LiveJobs *p = new LiveJobs;
  return *p;
}

}  // namespace

int DownloadOutcomesPending() { return nOutcomesPending.load(); }

void MarkJobNoted(DownloadJob *pJob) {
  if (pJob->bUnnoted.exchange(0)) nOutcomesPending.fetch_sub(1);
}

DownloadJob *AllocDownloadJob(DasRecord *pDas, HWND hDlg) {
  DownloadJob *pJob = new (std::nothrow) DownloadJob{};
  if (!pJob) return nullptr;
  // The copy is taken here, on the thread that shows the list.
  if (pDas) {
    pJob->das = *pDas;
    pJob->pDas = &pJob->das;
    pJob->pListed = pDas;
  }
  pJob->hDlg = hDlg;
  pJob->nTempFile = -1;
  pJob->llContentLength = -1;
  pJob->sockFile.store(INVALID_SOCKET);
  pJob->sockQuery.store(INVALID_SOCKET);
  pJob->bUnnoted.store(1);
  {
    LiveJobs &live = Live();
    std::lock_guard<std::mutex> lk(live.mx);
    try {
      live.jobs.push_back(pJob);
    } catch (...) {
      delete pJob;
      return nullptr;
    }
    // A job made after the run was stopped starts stopped: its worker
    // sends no request.
    if (live.bStopped) pJob->cState.store(JOB_CANCELLED);
  }
  nOutcomesPending.fetch_add(1);
  g_nJobsAlive.fetch_add(1);
  return pJob;
}

void FreeDownloadJob(DownloadJob *pJob) {
  if (!pJob) return;
  MarkJobNoted(pJob);
  {
    LiveJobs &live = Live();
    std::lock_guard<std::mutex> lk(live.mx);
    for (std::size_t i = 0; i < live.jobs.size(); i++)
      if (live.jobs[i] == pJob) {
        live.jobs[i] = live.jobs.back();
        live.jobs.pop_back();
        break;
      }
  }
  delete pJob;
  g_nJobsAlive.fetch_sub(1);
}

void CloseJobSocket(std::atomic<SOCKET> &slot) {
  // Exchange first: whichever thread takes the socket out closes it, the
  // other finds INVALID_SOCKET and does nothing.
  SOCKET s = slot.exchange(INVALID_SOCKET);
  if (s != INVALID_SOCKET) PlatCloseSocket(s);
}

void CancelJob(DownloadJob *pJob) {
  // Mark the job first, then close its sockets: a worker woken by the
  // close, or one that puts a new socket into a slot just now, finds the
  // job stopped. A job whose worker has not started yet is cancelled too.
  unsigned char c = pJob->cState.load();
  while ((c == JOB_CREATED || c == JOB_RUNNING) &&
         !pJob->cState.compare_exchange_weak(c, JOB_CANCELLED)) {
  }
  CloseJobSocket(pJob->sockQuery);
  CloseJobSocket(pJob->sockFile);
}

void ForEachLiveJob(void (*pfnJob)(void *pCtx, DownloadJob *pJob), void *pCtx) {
  LiveJobs &live = Live();
  std::lock_guard<std::mutex> lk(live.mx);
  for (DownloadJob *pJob : live.jobs) pfnJob(pCtx, pJob);
}

void StopAllDownloads() {
  LiveJobs &live = Live();
  std::lock_guard<std::mutex> lk(live.mx);
  live.bStopped = 1;
  for (DownloadJob *pJob : live.jobs) {
    CancelJob(pJob);
    // The dialog closes as on the operator's cancel. Posted: the
    // user-interface thread may be waiting for this lock.
    if (pJob->hDlg) PostMessage(pJob->hDlg, WM_CLOSE, 0, kCloseForJob);
  }
}

int DownloadsStopped() {
  LiveJobs &live = Live();
  std::lock_guard<std::mutex> lk(live.mx);
  return live.bStopped;
}

void RefreshJob(DownloadJob *pJob) {
  // The job goes along: a dialog of units side by side shows the one that
  // refreshed.
  SendMessage(pJob->hDlg, WM_COMMAND, CMD_PROGRESS_REFRESH, reinterpret_cast<LPARAM>(pJob));
}

void RefreshJobContext(void *pJob) {
  auto *p = static_cast<DownloadJob *>(pJob);
  // A merge run without a dialog shows nothing.
  if (p->hDlg) RefreshJob(p);
}

void SetJobStatus(DownloadJob *pJob, const char *pszFormat, ...) {
  // Every writer of the status line keeps it to 63 characters, whatever
  // room the field has.
  va_list ap;
  va_start(ap, pszFormat);
  std::vsnprintf(pJob->szFilename, 64, pszFormat, ap);
  va_end(ap);
  RefreshJob(pJob);
}

int JobRunning(const DownloadJob *pJob) { return pJob->cState.load() == JOB_RUNNING; }

void FailJob(DownloadJob *pJob, const char *pszFormat, ...) {
  pJob->nOutcome = UNIT_FAILED;
  if (pJob->szReason[0]) return;  // the first cause is the one worth naming
  va_list ap;
  va_start(ap, pszFormat);
  std::vsnprintf(pJob->szReason, sizeof pJob->szReason, pszFormat, ap);
  va_end(ap);
}
