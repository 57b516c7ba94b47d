// What happens when the desktop's display (an X server) goes away: the
// handler the shell set runs, then the process ends at once through
// PlatExitProcess. POSIX only: on Windows the desktop stays.
#include "platform/system.h"

#include <atomic>

namespace {
std::atomic<void (*)()> g_pfnDisplayLost{nullptr};
}  // namespace

void PlatSetDisplayLostHandler(void (*pfnHandler)()) { g_pfnDisplayLost = pfnHandler; }

void PlatDisplayLost() {
  if (auto pfn = g_pfnDisplayLost.load()) pfn();
  PlatExitProcess(1);
}
