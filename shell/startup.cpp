// Placeholder until start-up lands.
#include "shell/app.h"
HINSTANCE InstanceHandle = nullptr;
int AutoRun = 0;
int AppMain(int, char **) { return 0; }
