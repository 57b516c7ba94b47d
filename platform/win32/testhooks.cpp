// The Windows platform layer's test hooks: the dotted address reader and a
// name look-up of the test's own in place of the system's resolver.
#include "platform/testhooks.h"
#include "platform/common/resolve.h"

std::uint32_t PlatInetAddr(const char *pszAddr) {
  if (!pszAddr) return 0xffffffffu;
  return static_cast<std::uint32_t>(::inet_addr(pszAddr));
}

void PlatSetLookup(PlatLookupFn pfnLookup) {
  ResolveLookup.store(pfnLookup ? pfnLookup : SystemLookup);
}
