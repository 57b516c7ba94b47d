// Inside the run's summary: what has been noted so far, for log/summary.cpp
// and the test hooks that read and forget it. Not for use elsewhere.
#pragma once
#include <mutex>
#include <string>
#include <vector>

struct NotedUnit {
  std::string line;
  int nOutcome;  // one of the UNIT_ values, anything else noted as failed
  long lOrder;   // the unit's place in the list, 0 when not given
};

struct SummaryState {
  std::mutex mx;
  std::vector<NotedUnit> units;
  std::vector<std::string> problems;
};

// Never destroyed: a late worker may note its unit while the process ends.
inline SummaryState &SummaryStateOf() {
  static SummaryState *p = new SummaryState;
  return *p;
}

// The text SummaryPrint writes ("" when nothing was noted): every unit, or
// with bQuiet only the failed ones, then the problems and the total. Lock
// held.
std::string SummaryBuildText(const std::vector<NotedUnit> &units,
                             const std::vector<std::string> &problems, int bQuiet);
