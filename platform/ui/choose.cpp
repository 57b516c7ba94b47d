// Which backend the window layer presents its windows with: the first
// desktop backend the build links in that opens on the display there is,
// else the headless one.
#include <cstdlib>
#include <iterator>

#include "platform/ui/backend.h"
#include "platform/window.h"

namespace {

// A desktop backend is only tried where a display is named.
bool DisplayNamed() {
  const char *p = std::getenv("DISPLAY");
  return p && *p;
}

// Filled before main runs (by the backends' registration objects) and read
// after: no lock. Zero before any constructor runs, whatever the order in
// which the objects' constructors run.
const UiDesktopEntry *g_desktops[4];
int g_nDesktops;

}  // namespace

void UiAddDesktopBackend(const UiDesktopEntry *pEntry) {
  if (pEntry && pEntry->pfnOpen && g_nDesktops < static_cast<int>(std::size(g_desktops)))
    g_desktops[g_nDesktops++] = pEntry;
}

const UiBackend *UiDesktopBackend() {
  if (!DisplayNamed()) return nullptr;
  for (int i = 0; i < g_nDesktops; i++)
    if (const UiBackend *pBackend = g_desktops[i]->pfnOpen()) return pBackend;
  return nullptr;
}
