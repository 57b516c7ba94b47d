// The process-wide state's storage; start-up (shell/) sets it.
#include "log/appstate.h"

HINSTANCE InstanceHandle = nullptr;
int AutoRun = 0;
