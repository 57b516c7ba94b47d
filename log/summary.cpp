// The end-of-run summary. Workers note their unit just before their progress
// dialog closes, so by the time the main window has closed after the last
// unit every unit of the run is noted, even while the last worker still
// sits in its final wait.
#include "log/summary.h"
#include "log/summary_int.h"

#include <algorithm>
#include <climits>
#include <mutex>
#include <string>
#include <vector>

#include "log/appstate.h"
#include "platform/system.h"
#include "util/text.h"

namespace {

// "1 device", "3 devices".
std::string Count(long n, const char *pszOne, const char *pszMany) {
  char sz[64];
  FormatString(sz, sizeof sz, "%ld %s", n, n == 1 ? pszOne : pszMany);
  return sz;
}

// A field of the unit that may hold anything a unit reported: kept to one
// line so that the summary stays one line per unit.
std::string OneLine(const char *psz) {
  std::string s = psz ? psz : "";
  for (char &ch : s)
    if (ch == '\r' || ch == '\n') ch = ' ';
  return s;
}

}  // namespace

std::string SummaryBuildText(const std::vector<NotedUnit> &notedUnits,
                             const std::vector<std::string> &problems, int bQuiet) {
  std::string out;
  std::vector<NotedUnit> units = notedUnits;
  std::stable_sort(units.begin(), units.end(), [](const NotedUnit &a, const NotedUnit &b) {
    long x = a.lOrder > 0 ? a.lOrder : LONG_MAX, y = b.lOrder > 0 ? b.lOrder : LONG_MAX;
    return x < y;
  });
  if (units.empty()) {
    for (const std::string &p : problems) out += p + '\n';
    return out;
  }
  // Failed units first: the mail of a night with two failures among two
  // thousand units shows them at its top. Each group keeps the order
  // of the list (or in which its units were noted). The quiet summary leaves out all but them.
  long anCount[UNIT_OUTCOMES] = {};
  for (const NotedUnit &u : units)
    if (u.nOutcome == UNIT_FAILED) out += u.line + '\n';
  for (const NotedUnit &u : units) {
    anCount[u.nOutcome]++;
    if (u.nOutcome != UNIT_FAILED && !bQuiet) out += u.line + '\n';
  }
  // Before the total, which stays the last line.
  for (const std::string &p : problems) out += p + '\n';
  out += Count(static_cast<long>(units.size()), "unit", "units");
  out += ": " + std::to_string(anCount[UNIT_COMPLETE]) + " complete, " +
         std::to_string(anCount[UNIT_FAILED]) + " failed";
  if (anCount[UNIT_CANCELLED]) out += ", " + std::to_string(anCount[UNIT_CANCELLED]) + " cancelled";
  if (anCount[UNIT_NOT_STARTED])
    out += ", " + std::to_string(anCount[UNIT_NOT_STARTED]) + " not started";
  out += '\n';
  return out;
}

void SummaryNoteUnit(const char *pszSerial, const char *pszName, int nOutcome,
                     const char *pszReason, int nDevices, long lRecords, long lOrder) {
  std::string line = OneLine(pszSerial);
  std::string name = OneLine(pszName);
  if (!name.empty()) line += (line.empty() ? "" : " ") + name;
  line += ": ";
  if (nOutcome == UNIT_COMPLETE) {
    line += "complete, " + Count(nDevices, "device", "devices") + ", " +
            Count(lRecords, "record", "records");
  } else if (nOutcome == UNIT_CANCELLED) {
    line += "cancelled";
  } else if (nOutcome == UNIT_NOT_STARTED) {
    line += "not started";
  } else {
    // Anything that is neither complete nor cancelled did not go well.
    nOutcome = UNIT_FAILED;
    std::string reason = OneLine(pszReason);
    line += reason.empty() ? std::string("failed (see errorlog.txt)") : "failed: " + reason;
  }
  SummaryState &s = SummaryStateOf();
  std::lock_guard<std::mutex> lk(s.mx);
  s.units.push_back(NotedUnit{line, nOutcome, lOrder});
}

void SummaryPrint() {
  std::string text;
  {
    SummaryState &s = SummaryStateOf();
    std::lock_guard<std::mutex> lk(s.mx);
    text = SummaryBuildText(s.units, s.problems, RunOptions.bQuiet);
  }
  // One write, so the summary cannot be split by anything else on the stream.
  if (!text.empty()) PlatStderr(text.c_str());
}

void SummaryNoteProblem(const char *pszLine) {
  std::string line = OneLine(pszLine);
  SummaryState &s = SummaryStateOf();
  std::lock_guard<std::mutex> lk(s.mx);
  for (const std::string &p : s.problems)
    if (p == line) return;
  s.problems.push_back(line);
}
