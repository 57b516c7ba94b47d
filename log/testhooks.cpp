// The log module's test hooks.
#include "log/testhooks.h"

#include "log/errorlog_int.h"
#include "log/summary_int.h"
#include "platform/file.h"

void SetErrorLogClock(std::time_t (*pfnClock)()) { g_pfnClock = pfnClock; }

void ResetErrorLog() {
  int h = g_hLog.exchange(-1);
  if (h >= 0) PlatClose(h);
  g_bSuppressBoxes = 1;
  g_nErrors = 0;
  g_bSaid = 0;
}

std::string SummaryText(int bQuiet) {
  SummaryState &s = SummaryStateOf();
  std::lock_guard<std::mutex> lk(s.mx);
  return SummaryBuildText(s.units, s.problems, bQuiet);
}

void SummaryReset() {
  SummaryState &s = SummaryStateOf();
  std::lock_guard<std::mutex> lk(s.mx);
  s.units.clear();
  s.problems.clear();
}
