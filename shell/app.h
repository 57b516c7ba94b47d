// Process-wide state set once at start-up.
#pragma once
#include "platform/types.h"

#define APP_TITLE "TandrelDL - DAS Download Tool"
#define APP_VERSION "v1.05.1208"

extern HINSTANCE InstanceHandle;
extern int AutoRun;

void CheckCommandLine(HINSTANCE hInstance, const char *pszCmdLine);
unsigned short RegisterMainWindowClass(HINSTANCE hInstance);
// The whole run: start-up, main window, shutdown. Returns the exit status.
int AppMain(int argc, char **argv);
