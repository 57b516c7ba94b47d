// The download module's test hooks.
#include "download/testhooks.h"

#include "download/dialout_int.h"
#include "download/job_int.h"

int DownloadJobsAlive() { return g_nJobsAlive.load(); }

void DialoutSetTiming(unsigned nPollMs, unsigned nGiveUpMs) {
  if (nPollMs) g_nDialoutPollMs = nPollMs;
  if (nGiveUpMs) g_nDialoutGiveUpMs = nGiveUpMs;
}
