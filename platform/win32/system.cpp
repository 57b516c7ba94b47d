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

