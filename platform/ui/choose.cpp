// Which backend the window layer presents its windows with: the first
// desktop backend the build links in that opens on the display there is,
// else the headless one.
#include <cstdlib>

#include "platform/ui/backend.h"
#include "platform/window.h"

int PlatHasDisplay() {
  const char *p = std::getenv("DISPLAY");
  return p && *p ? 1 : 0;
}

const UiBackend *UiDesktopBackend() {
  if (!PlatHasDisplay()) return nullptr;
  for (const UiDesktopEntry *p = UiDesktopBackends; p->pfnOpen; p++)
    if (const UiBackend *pBackend = p->pfnOpen()) return pBackend;
  return nullptr;
}
