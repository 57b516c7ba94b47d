// The Windows platform layer's test hooks.
#include "platform/testhooks.h"

std::uint32_t PlatInetAddr(const char *pszAddr) {
  if (!pszAddr) return 0xffffffffu;
  return static_cast<std::uint32_t>(::inet_addr(pszAddr));
}
