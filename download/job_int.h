// Inside the download job: the count of jobs allocated and not yet freed,
// for download/job.cpp and the test hooks. Not for use elsewhere.
#pragma once
#include <atomic>

extern std::atomic<int> g_nJobsAlive;
