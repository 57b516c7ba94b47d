// The options of an unattended run besides "/AUTO" itself: how many units
// at once, how long one unit may take, and how much the summary says.
#pragma once

// The most units an unattended run works on at once. Each holds a worker
// thread and up to two sockets; a fleet wider than this gains nothing on
// the one line to the site's network.
const int kMaxJobs = 256;

// Reads "--jobs N", "--unit-time-limit SECONDS" and "--quiet" (a value may
// also follow "=") into RunOptions. Other arguments are left alone, as the
// start-up has always done. 1 when every option read had a usable value;
// 0 otherwise, with a one-line message (ending in a line feed) in pszErr.
int ParseRunOptions(int argc, char **argv, char *pszErr, unsigned nErrCap);
