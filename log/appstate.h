// Process-wide state set once at start-up and read by every module: the
// program's title and version, the module instance that dialog templates
// and the icon are loaded from, and the auto-run flag ("/AUTO"). Kept below
// the start-up code so that the modules reading it need not include it.
#pragma once
#include "log/version.h"
#include "platform/types.h"

extern HINSTANCE InstanceHandle;
extern int AutoRun;
