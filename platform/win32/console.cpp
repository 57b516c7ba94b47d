// Standard output and error of a desktop program. The .exe is built for the
// desktop (no console window of its own opens beside the main window), so
// the system gives it no console. What it writes (the usage, the summary of
// an unattended run) must still reach whoever started it:
//   * output redirected to a file, a pipe or NUL (a scheduled task's
//     "> night.txt 2>&1", a script reading it): the handles it was given are
//     kept and written as they are;
//   * started from a console (cmd, PowerShell): the program joins that
//     console and writes there;
//   * started from Explorer, a shortcut or a task without redirection: there
//     is nowhere to write, and nothing is written.
// The console is joined only when there is something to write, so that the
// window of an interactive run started from a console does not end with
// that console when it is closed.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/system.h"

namespace {

// A handle the process was given and can write as it stands: a file, a pipe,
// a character device (NUL, a console it already has).
bool Given(HANDLE h) {
  return h && h != INVALID_HANDLE_VALUE && ::GetFileType(h) != FILE_TYPE_UNKNOWN;
}

void JoinParentConsole() {
  const bool bOut = Given(::GetStdHandle(STD_OUTPUT_HANDLE));
  const bool bErr = Given(::GetStdHandle(STD_ERROR_HANDLE));
  if (bOut && bErr) return;
  // Refused as "access denied" when the process is in a console already
  // (Wine puts a desktop program started from one there by itself): that
  // one is as good. Any other refusal: no console up the line.
  if (!::AttachConsole(ATTACH_PARENT_PROCESS) && ::GetLastError() != ERROR_ACCESS_DENIED) return;
  HANDLE hCon = ::CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (hCon == INVALID_HANDLE_VALUE) return;
  // Only the streams that were not redirected: "2>log.txt" stays a file.
  // The C runtime's streams too, for anything that writes through them.
  if (!bOut) {
    ::SetStdHandle(STD_OUTPUT_HANDLE, hCon);
    std::freopen("CONOUT$", "w", stdout);
  }
  if (!bErr) {
    ::SetStdHandle(STD_ERROR_HANDLE, hCon);
    std::freopen("CONOUT$", "w", stderr);
  }
}

// Once per process, before the first write or question about the streams
// (from whichever thread comes first).
void StreamsReady() {
  static const bool bReady = (JoinParentConsole(), true);
  (void)bReady;
}

void WriteStd(DWORD nWhich, const char *pszText) {
  StreamsReady();
  HANDLE h = ::GetStdHandle(nWhich);
  if (!h || h == INVALID_HANDLE_VALUE) return;
  DWORD n = static_cast<DWORD>(std::strlen(pszText));
  while (n > 0) {
    DWORD nDone = 0;
    if (!::WriteFile(h, pszText, n, &nDone, nullptr) || nDone == 0) return;
    pszText += nDone;
    n -= nDone;
  }
}

}  // namespace

void PlatStderr(const char *pszText) { WriteStd(STD_ERROR_HANDLE, pszText); }

void PlatStdout(const char *pszText) { WriteStd(STD_OUTPUT_HANDLE, pszText); }

const char *PlatUsageText() {
  return "Usage:\n"
         "  tandreldl.exe            edit the list of DAS units (daslist.txt) and\n"
         "                           download them\n"
         "  tandreldl.exe /AUTO      unattended: download every unit in daslist.txt of\n"
         "                           the current folder, then exit (/AUTO in capitals)\n"
         "  /AUTO options:\n"
         "    --jobs N               up to N units at once (1 to 256, default 1);\n"
         "                           units with a phone number dial one at a time\n"
         "    --unit-time-limit SECONDS\n"
         "                           a unit still running after SECONDS is stopped\n"
         "                           and counts as failed (0, the default: no limit)\n"
         "    --quiet                the summary lists only failed units and totals\n"
         "  tandreldl.exe /?         this text (also --help, -h)\n"
         "  tandreldl.exe --version  the title and version\n"
         "Everything happens in the current folder: daslist.txt, errorlog.txt,\n"
         "tandreldl.lock and one folder per unit (DAS000000001\\mb-001.log).\n"
         "One run at a time per folder.\n"
         "/AUTO prints one line per unit and a total on the console it was started\n"
         "from (or where its output is redirected) and exits with status 0 when it\n"
         "made no error entry, 1 otherwise. In cmd, \"start /wait tandreldl.exe /AUTO\"\n"
         "waits for the end and sets %ERRORLEVEL% (a batch file waits by itself).\n"
         "Every night with Task Scheduler: program tandreldl.exe, arguments /AUTO,\n"
         "\"Start in\" the folder that holds daslist.txt (C:\\DAS, say).\n";
}
