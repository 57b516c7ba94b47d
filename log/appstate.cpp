// The process-wide state's storage; start-up (shell/) sets it.
#include "log/appstate.h"

HINSTANCE InstanceHandle = nullptr;
int AutoRun = 0;
RunOptionValues RunOptions{1, 0, 0};
