// What happens when the desktop's display goes away, the same on every
// system: the handler the shell set runs, then the process ends at once
// through the system's PlatExitProcess.
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
