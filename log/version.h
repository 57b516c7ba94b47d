// The program's title and version: one definition for the code, the Windows
// resource script (its version information) and the packages. Macros only,
// so that the resource compiler can read this file too.
#pragma once

#define APP_TITLE "TandrelDL - DAS Download Tool"
#define APP_VERSION "v1.05.1208"
// APP_VERSION as the four numbers of a Windows file version.
#define APP_VERSION_NUMBERS 1, 5, 1208, 0
