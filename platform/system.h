// Clock, sleeping, threads and the end of the process.
#pragma once
#include <cstdint>
#include <ctime>

// Calendar time in seconds.
std::time_t PlatTime();
// Local broken-down time (the platform's time zone), thread-safe.
void PlatLocalTime(std::time_t t, struct std::tm *pTm);
void PlatSleep(unsigned int nMs);
// Milliseconds of a clock that only goes forward (not the calendar time).
std::uint64_t PlatTickMs();
// Starts a detached thread running fn(arg). Returns a non-zero handle value,
// or 0 when the thread could not be started.
std::uintptr_t PlatBeginThread(void (*fn)(void *), void *pArg);
// Ends the process at once with the given status. Worker threads that still
// sleep are not waited for and no static destructor runs under them.
[[noreturn]] void PlatExitProcess(int nStatus);
// The desktop's display went away under the program (its X server ended):
// no window can be shown or closed any more. The desktop backend calls
// PlatDisplayLost on the UI thread, which runs the handler set here; the
// handler must end the process (PlatExitProcess). Without a handler, or if
// it returns, the process ends with status 1. Either way no static
// destructor runs under a download worker that still writes its files.
// The Windows desktop does not go away under a program: there the handler
// is never run, and PlatDisplayLost does not exist.
void PlatSetDisplayLostHandler(void (*pfnHandler)());
[[noreturn]] void PlatDisplayLost();
// Asks for the run to be stopped from outside: SIGTERM, SIGINT and SIGHUP
// (on Windows the console's Ctrl-C, given as 2, and Ctrl-Break, close,
// logoff and shutdown, given as 15). The first one calls pfnHandler with
// that number on a thread of the platform's own, never inside the signal
// itself, so the handler may log, lock and post; it should return soon,
// the run then ends by itself. A second one ends the process at once with
// status 128 + its number (what was written before is taken up by the next
// run, as after a crash). Set once, before the main window.
void PlatSetStopHandler(void (*pfnHandler)(int nSignal));
// Writes text to standard error (one write).
void PlatStderr(const char *pszText);
// POSIX only (the headless backend's live line): 1 when standard error is
// a terminal, and that terminal's width in characters (0 when unknown or
// not a terminal).
int PlatStderrIsTerminal();
int PlatStderrColumns();
// Writes text to standard output (one write).
void PlatStdout(const char *pszText);
// The program's usage in this system's own terms (its paths, its scheduler).
const char *PlatUsageText();
