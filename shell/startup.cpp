// Start-up and shutdown: the command line, the error log, the main window's
// class, the socket layer, the main window's modal run, and the end of the
// process.
#include <cstdint>
#include <cstring>
#include <string>

#include "daslist/daslist.h"
#include "download/download.h"
#include "log/errorlog.h"
#include "log/summary.h"
#include "platform/file.h"
#include "platform/sock.h"
#include "platform/system.h"
#include "platform/window.h"
#include "shell/app.h"
#include "shell/options.h"
#include "util/text.h"

namespace {

// How long the end of the run waits for cancelled workers to wind down:
// 100 steps of 100 ms.
const int kOutcomeWaitSteps = 100;
const unsigned kOutcomeWaitStepMs = 100;

// Beside daslist.txt: held for the whole run, so that two runs never work
// on the same list, temporary files and logs at once.
const char LockFileName[] = "tandreldl.lock";

const char VersionText[] = APP_TITLE " " APP_VERSION "\n";

const char NoDisplayText[] = "No desktop display is available for the main window.\n";

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

// Takes the directory's run lock, or ends the process with status 1 when
// another run holds it (or it cannot be had at all), before anything of the
// directory has been read or written besides the error log.
void LockDirectoryOrEnd() {
  long lHolder = 0;
  int nLock = PlatLockFile(LockFileName, &lHolder);
  if (nLock == 1) return;
  int nErr = PlatErrno();
  char szText[512];
  if (nLock == 0) {
    char szHolder[32];
    if (lHolder > 0)
      FormatString(szHolder, sizeof szHolder, "process %ld", lHolder);
    else
      CopyString(szHolder, "process id unknown", sizeof szHolder);
    LogError("main", __LINE__, "Another run (%s) holds %s in this directory, this run ends",
             szHolder, LockFileName);
    FormatString(szText, sizeof szText,
                 "tandreldl: another run (%s) is working in this directory; nothing done\n",
                 szHolder);
  } else {
    LogFileError("main", __LINE__, "creating file", LockFileName, nErr);
    FormatString(szText, sizeof szText, "tandreldl: cannot lock %s: %s; nothing done\n",
                 LockFileName, PlatStrError(nErr));
  }
  PlatStderr(szText);
  PlatExitProcess(1);
}

// The desktop's display is gone in the middle of the run: no window can be
// shown or closed any more, so the run ends here, with an entry that says
// why (no box: there is nowhere to show it) and the units noted so far. A
// download that was cut off is taken up by the next run.
void DisplayLost() {
  OpenErrorLog(1);
  LogError("main", __LINE__, "The connection to the desktop display was lost, the program ends");
  if (AutoRun) SummaryPrint();
  EndProcess();
}

// SIGTERM, SIGINT, SIGHUP (or the console's events): the run ends as if
// every download were cancelled. What is being merged is finished (the wait
// at the end of AppMain), the summary tells what became of every unit, and
// the exit status says the night did not go well.
void RunStopped(int nSignal) {
  StopErrorBoxes();
  LogError("main", __LINE__, "Run stopped by signal %d", nSignal);
  StopAllDownloads();
  StopMainWindow();
}

// Asked for help or the version: answers on standard output and gives 1
// (the run then ends), display or not.
int AnsweredWithoutRunning(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    if (!argv[i]) continue;
    // "/?" as every Windows program takes it, on every system alike.
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 ||
        std::strcmp(argv[i], "/?") == 0) {
      PlatStdout(VersionText);
      PlatStdout(PlatUsageText());
      return 1;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      PlatStdout(VersionText);
      return 1;
    }
  }
  return 0;
}

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
  wc.hIcon = LoadIcon(hInstance, "ICON_MAIN");
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<std::intptr_t>(COLOR_MENU + 1));
  wc.lpszMenuName = nullptr;
  wc.lpszClassName = "DLG_DASLIST";
  return RegisterClassEx(&wc);
}

int AppMain(int argc, char **argv) {
  if (AnsweredWithoutRunning(argc, argv)) return 0;

  // A bad value is told before anything is read or written: the run would
  // otherwise go on with a width or a limit nobody asked for.
  char szOptionError[256];
  if (!ParseRunOptions(argc, argv, szOptionError, sizeof szOptionError)) {
    PlatStderr(szOptionError);
    PlatStderr(PlatUsageText());
    return 2;
  }

  std::string cmdLine = JoinArguments(argc, argv);
  CheckCommandLine(PlatGetInstance(), cmdLine.c_str());

  // The interactive program needs a desktop; without one, say how to use
  // it rather than sit in an invisible window nobody can close. The
  // unattended run shows its windows where a desktop exists and runs
  // without one.
  if (!PlatUiInit(1) && !AutoRun) {
    PlatStderr(VersionText);
    PlatStderr(NoDisplayText);
    PlatStderr(PlatUsageText());
    return 2;
  }

  OpenErrorLog(AutoRun);
  LockDirectoryOrEnd();
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

  PlatSetDisplayLostHandler(DisplayLost);
  PlatSetStopHandler(RunStopped);
  // The window's downloads take no limit: the operator has the Cancel button.
  if (AutoRun) StartUnitTimeLimit(RunOptions.nUnitTimeLimitS);
  if (DialogBoxParam(InstanceHandle, "DLG_DASLIST", nullptr, MainWindowProc, 0) == -1) {
    // A session without a desktop (a service, a scheduler's session): the
    // main window could not be made, so no unit was looked at. That is a
    // failed run, not an empty one (the error entry sets the status).
    LogError("main", __LINE__, "Error creating the main window DLG_DASLIST, no unit downloaded");
    SummaryNoteProblem("The main window could not be created: no unit downloaded");
  }

  // A download the operator cancelled has closed its dialog at once, but
  // its worker may still be merging what arrived: let it finish and note
  // its unit, within reason, before the process ends under it.
  for (int i = 0; i < kOutcomeWaitSteps && DownloadOutcomesPending() > 0; i++)
    PlatSleep(kOutcomeWaitStepMs);
  StopUnitTimeLimit();

  PlatSockCleanup();
  LogInfo("main", __LINE__, "Software exiting.");
  // Every unit has been noted by now (a worker notes its unit before it
  // closes its dialog, and the wait above covers those the operator
  // cancelled), so the summary is whole even if the last worker is still
  // in its final wait.
  if (AutoRun) SummaryPrint();
  // A download worker may still be in its final wait: end here, at once,
  // without running static destructors under it.
  EndProcess();
}
