// Process-wide state set once at start-up and read by every module: the
// program's title and version, the module instance that dialog templates
// and the icon are loaded from, the auto-run flag ("/AUTO") and the
// unattended run's options. Kept below
// the start-up code so that the modules reading it need not include it.
#pragma once
#include "log/version.h"
#include "platform/types.h"

extern HINSTANCE InstanceHandle;
extern int AutoRun;

// The unattended run's options (shell/options.h reads them).
struct RunOptionValues {
  int nJobs;                 // units downloaded side by side, 1 by default
  unsigned nUnitTimeLimitS;  // seconds one unit may take; 0 = no limit
  int bQuiet;                // the summary lists only the failed units and the totals
};
extern RunOptionValues RunOptions;
