// Process-wide state set once at start-up and read by every module: the
// program's title and version, the module instance that dialog templates
// and the icon are loaded from, and the auto-run flag ("/AUTO"). Kept below
// the start-up code so that the modules reading it need not include it.
#pragma once
#include "platform/types.h"

#define APP_TITLE "TandrelDL - DAS Download Tool"
#define APP_VERSION "v1.05.1208"

extern HINSTANCE InstanceHandle;
extern int AutoRun;
