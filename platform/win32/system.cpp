// Clock, sleeping, threads and process exit on Windows (the standard
// streams: console.cpp).
#include "platform/system.h"

#include <process.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

std::time_t PlatTime() { return std::time(nullptr); }

void PlatLocalTime(std::time_t t, struct std::tm *pTm) { localtime_s(pTm, &t); }

void PlatSleep(unsigned int nMs) { ::Sleep(nMs); }

std::uint64_t PlatTickMs() { return ::GetTickCount64(); }

namespace {

struct ThreadStart {
  void (*fn)(void *);
  void *pArg;
};

unsigned __stdcall ThreadMain(void *p) {
  ThreadStart start = *static_cast<ThreadStart *>(p);
  delete static_cast<ThreadStart *>(p);
  start.fn(start.pArg);
  return 0;
}

}  // namespace

std::uintptr_t PlatBeginThread(void (*fn)(void *), void *pArg) {
  // _beginthreadex rather than CreateThread: the thread uses the C runtime.
  auto *pStart = new ThreadStart{fn, pArg};
  unsigned nId = 0;
  std::uintptr_t h = _beginthreadex(nullptr, 0, ThreadMain, pStart, 0, &nId);
  if (!h) {
    delete pStart;
    return 0;
  }
  // Detached: nobody waits for the thread.
  ::CloseHandle(reinterpret_cast<HANDLE>(h));
  return nId ? nId : 1;
}

void PlatExitProcess(int nStatus) {
  std::fflush(nullptr);
  // Workers may still sleep in their final wait: ExitProcess ends them
  // first, and no static destructor of the program runs under them.
  ::ExitProcess(static_cast<UINT>(nStatus));
}

// The desktop is the system's and does not go away under the program.
void PlatSetDisplayLostHandler(void (*)()) {}


namespace {

std::atomic<int> g_nStopEvents{0};
std::atomic<void (*)(int)> g_pfnStop{nullptr};

// The console's control events as the signal numbers of the other systems:
// Ctrl-C is SIGINT (2), everything else asks the program to end (SIGTERM,
// 15).
int EventSignal(DWORD dwEvent) { return dwEvent == CTRL_C_EVENT ? 2 : 15; }

BOOL WINAPI OnConsoleEvent(DWORD dwEvent) {
  int nSignal = EventSignal(dwEvent);
  if (g_nStopEvents.fetch_add(1) > 0) ::ExitProcess(static_cast<UINT>(128 + nSignal));
  // The system calls this on a thread of its own: the handler may run here.
  void (*pfn)(int) = g_pfnStop.load();
  if (pfn) pfn(nSignal);
  // After a close, logoff or shutdown the system ends the process as soon
  // as this returns: wait here while the run ends by itself (the system
  // gives a few seconds).
  if (dwEvent != CTRL_C_EVENT && dwEvent != CTRL_BREAK_EVENT) ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void PlatSetStopHandler(void (*pfnHandler)(int)) {
  g_pfnStop.store(pfnHandler);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}
