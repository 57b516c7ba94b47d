// For tests only (built into tandrel_testhooks, which the program never
// links): knobs on the error log's and the summary's process-wide state.
#pragma once
#include <ctime>
#include <string>

// A fixed clock for the entries' times (null: the system's again).
void SetErrorLogClock(std::time_t (*pfnClock)());
// Forgets the open log, its error count and its settings, so that the next
// OpenErrorLog starts afresh in the current directory.
void ResetErrorLog();

// The text SummaryPrint writes ("" when nothing was noted), quiet or not.
std::string SummaryText(int bQuiet = 0);
// Forgets every noted unit and problem.
void SummaryReset();
