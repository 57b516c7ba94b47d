// Start-up: the command line, the main window's class and the whole run.
#pragma once
#include "log/appstate.h"
#include "platform/types.h"

void CheckCommandLine(HINSTANCE hInstance, const char *pszCmdLine);
unsigned short RegisterMainWindowClass(HINSTANCE hInstance);
// The whole run: start-up, main window, shutdown. Returns the exit status.
int AppMain(int argc, char **argv);
