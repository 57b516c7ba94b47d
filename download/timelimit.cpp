// The time limit of one unit in an unattended run: a watchdog thread that
// stops a download still running at its limit, the way the operator's cancel
// stops it, so that one unit that dribbles its bytes (slowly enough never to
// time out) cannot keep the rest of the night waiting.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "download/download.h"
#include "platform/system.h"
#include "platform/window.h"

namespace {

// The race between the limit and the worker's end is settled once per job:
// whichever side moves nTimeLimit away from TIME_LIMIT_OPEN first decides
// whether the unit counts as stopped at its limit. A hit is told to the
// worker once (TIME_LIMIT_TOLD), so that the unit gets one entry.
enum { TIME_LIMIT_OPEN = 0, TIME_LIMIT_HIT = 1, TIME_LIMIT_SETTLED = 2, TIME_LIMIT_TOLD = 3 };

const unsigned kScanMs = 250;

struct Watchdog {
  std::mutex mx;
  std::condition_variable cv;
  int bEnd = 0;
  std::atomic<unsigned> nLimitS{0};
  std::thread thread;
};
// Never destroyed: the process ends without running destructors.
Watchdog &Dog() {
  static Watchdog *p = new Watchdog;
  return *p;
}

struct Scan {
  std::uint64_t ullNowMs;
  std::uint64_t ullLimitMs;
  std::vector<HWND> dialogs;  // of the jobs stopped, to close after the scan
};

void CheckJob(void *pCtx, DownloadJob *pJob) {
  Scan &scan = *static_cast<Scan *>(pCtx);
  std::uint64_t ullStart = pJob->ullStartMs.load();
  if (!ullStart || scan.ullNowMs - ullStart < scan.ullLimitMs) return;
  if (!JobRunning(pJob)) return;  // cancelled, failed or done already
  int nOpen = TIME_LIMIT_OPEN;
  if (!pJob->nTimeLimit.compare_exchange_strong(nOpen, TIME_LIMIT_HIT)) return;
  CancelJob(pJob);
  if (pJob->hDlg) scan.dialogs.push_back(pJob->hDlg);
}

void WatchJobs() {
  Watchdog &dog = Dog();
  std::unique_lock<std::mutex> lk(dog.mx);
  while (!dog.bEnd) {
    dog.cv.wait_for(lk, std::chrono::milliseconds(kScanMs));
    if (dog.bEnd) break;
    Scan scan{PlatTickMs(), static_cast<std::uint64_t>(dog.nLimitS.load()) * 1000, {}};
    lk.unlock();
    ForEachLiveJob(CheckJob, &scan);
    // Posted once the jobs' lock is let go; a dialog that has ended in the
    // meantime takes no message.
    for (HWND hDlg : scan.dialogs) PostMessage(hDlg, WM_CLOSE, 0, kCloseForJob);
    lk.lock();
  }
}

}  // namespace

void StartUnitTimeLimit(unsigned nSeconds) {
  Watchdog &dog = Dog();
  if (!nSeconds || dog.thread.joinable()) return;
  dog.nLimitS.store(nSeconds);
  dog.bEnd = 0;
  try {
    dog.thread = std::thread(WatchJobs);
  } catch (const std::system_error &) {
    dog.nLimitS.store(0);
  }
}

void StopUnitTimeLimit() {
  Watchdog &dog = Dog();
  if (!dog.thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lk(dog.mx);
    dog.bEnd = 1;
  }
  dog.cv.notify_all();
  dog.thread.join();
}

unsigned JobStoppedAtTimeLimit(DownloadJob *pJob) {
  int nOpen = TIME_LIMIT_OPEN;
  if (pJob->nTimeLimit.compare_exchange_strong(nOpen, TIME_LIMIT_SETTLED)) return 0;
  int nHit = TIME_LIMIT_HIT;
  if (!pJob->nTimeLimit.compare_exchange_strong(nHit, TIME_LIMIT_TOLD)) return 0;
  return Dog().nLimitS.load();
}
