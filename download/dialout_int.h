// Inside the dial-out: its timing, DIALOUT_POLL_MS and DIALOUT_GIVEUP_MS
// unless a test shortens them (download/testhooks.h). Not for use elsewhere.
#pragma once
#include <atomic>

extern std::atomic<unsigned> g_nDialoutPollMs;
extern std::atomic<unsigned> g_nDialoutGiveUpMs;
