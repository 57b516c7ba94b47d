// Inside the error log: its process-wide state, for log/errorlog.cpp and the
// test hooks that fix its clock or forget it. Not for use elsewhere.
#pragma once
#include <atomic>
#include <ctime>

extern std::atomic<int> g_hLog;                         // -1 while no log is kept
extern std::atomic<int> g_bSuppressBoxes;
extern std::atomic<long> g_nErrors;                     // ErrorLogErrorCount
extern std::atomic<std::time_t (*)()> g_pfnClock;       // null: the system's clock
extern std::atomic<int> g_bSaid;                        // "no log" told on stderr
