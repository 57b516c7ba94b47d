// For tests only (built into tandrel_testhooks, which the program never
// links): the download module's counters and knobs.
#pragma once

// Number of jobs allocated and not yet freed.
int DownloadJobsAlive();
// Other poll and give-up times for the dial-out (0 keeps the current
// value; DIALOUT_POLL_MS and DIALOUT_GIVEUP_MS are the program's).
void DialoutSetTiming(unsigned nPollMs, unsigned nGiveUpMs);
