// Start-up and shutdown: the command line, the error log, the main window's
// class, the socket layer, the main window's modal run, and the end of the
// process.
#include <cstring>
#include <string>

#include "daslist/daslist.h"
#include "platform/sock.h"
#include "platform/system.h"
#include "platform/window.h"
#include "shell/app.h"
#include "shell/errorlog.h"

HINSTANCE InstanceHandle = nullptr;
int AutoRun = 0;

namespace {

const char UsageText[] =
    "TandrelDL - DAS Download Tool " APP_VERSION "\n"
    "No desktop display is available for the main window.\n"
    "Usage:\n"
    "  tandreldl          in a desktop session: edit the list of DAS units\n"
    "                     (daslist.txt) and download them\n"
    "  tandreldl /AUTO    unattended: download every unit in daslist.txt of the\n"
    "                     current directory, then exit (no display needed)\n";

// The program's command line as one text, the way the option is searched
// for: the arguments joined by blanks.
std::string JoinArguments(int argc, char **argv) {
  std::string s;
  for (int i = 1; i < argc; i++) {
    if (i > 1) s += ' ';
    if (argv[i]) s += argv[i];
  }
  return s;
}

// A scheduler reads the status: 0 when the run made no error entry.
[[noreturn]] void EndProcess() { PlatExitProcess(ErrorLogErrorCount() ? 1 : 0); }

}  // namespace

void CheckCommandLine(HINSTANCE hInstance, const char *pszCmdLine) {
  InstanceHandle = hInstance;
  // A plain substring search: "/AUTO" anywhere, even inside another word.
  if (pszCmdLine && std::strstr(pszCmdLine, "/AUTO")) AutoRun = 1;
}

unsigned short RegisterMainWindowClass(HINSTANCE hInstance) {
  WNDCLASSEX wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = MainWindowProc;
  wc.cbClsExtra = 0;
  wc.cbWndExtra = DLGWINDOWEXTRA;
  wc.hInstance = hInstance;
  wc.lpszIconName = "ICON_MAIN";
  wc.lpszCursor = nullptr;
  wc.hbrBackground = COLOR_MENU + 1;
  wc.lpszMenuName = nullptr;
  wc.lpszClassName = "DLG_DASLIST";
  return RegisterClassEx(&wc);
}

int AppMain(int argc, char **argv) {
  std::string cmdLine = JoinArguments(argc, argv);
  CheckCommandLine(PlatGetInstance(), cmdLine.c_str());

  // The interactive program needs a desktop; without one, say how to use
  // it rather than sit in an invisible window nobody can close. The
  // unattended run shows its windows where a desktop exists and runs
  // without one.
  if (!PlatUiInit(1) && !AutoRun) {
    PlatStderr(UsageText);
    return 2;
  }

  OpenErrorLog(AutoRun);
  LogInfo("main", __LINE__, "%s starting, version %s", APP_TITLE, APP_VERSION);
  if (AutoRun) LogInfo("main", __LINE__, "option /AUTO. Running automatic download");
  RegisterMainWindowClass(InstanceHandle);

  unsigned short nVersion = 0;
  if (PlatSockStartup(0x0202, &nVersion) != 0) {
    LogError("main", __LINE__, "No winsock found");
    EndProcess();
  }
  if ((nVersion & 0xff) != 2 || ((nVersion >> 8) & 0xff) != 2) {
    LogError("main", __LINE__, "Winsock version 2.2 or later not found");
    PlatSockCleanup();
    EndProcess();
  }

  DialogBoxParam(InstanceHandle, "DLG_DASLIST", nullptr, MainWindowProc, 0);

  PlatSockCleanup();
  LogInfo("main", __LINE__, "Software exiting.");
  // A download worker may still be in its final wait: end here, at once,
  // without running static destructors under it.
  EndProcess();
}
