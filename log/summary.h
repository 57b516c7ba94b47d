// The end-of-run summary of an unattended run: one line per unit, the failed
// ones first, and a total, on standard error, so that whatever a scheduler
// mails after a night says what happened without opening errorlog.txt.
#pragma once
// UNIT_NOT_STARTED: a unit the run did not reach because it was stopped.
enum { UNIT_COMPLETE = 1, UNIT_FAILED = 2, UNIT_CANCELLED = 3, UNIT_NOT_STARTED = 4, UNIT_OUTCOMES };

// One unit's result; thread-safe (workers call it). lOrder, when not 0, is
// the unit's place in the list (from 1): units downloaded side by side end
// in any order, and their lines are put back into the list's. Lines noted
// without one keep the order they were noted in, after those with one.
void SummaryNoteUnit(const char *pszSerial, const char *pszName, int nOutcome,
                     const char *pszReason, int nDevices, long lRecords, long lOrder = 0);
// A failure of the run outside any unit that the total would hide (the list
// file could not be saved): a line of its own before the total, once per
// text; thread-safe.
void SummaryNoteProblem(const char *pszLine);
// Writes the lines and the total to standard error (through the platform layer).
void SummaryPrint();
