// Which backend the window layer presents its windows with: the desktop one
// when the build has it and an X display is there, else the headless one.
#include <cstdlib>

#include "platform/ui/backend.h"
#include "platform/window.h"

#ifdef TANDREL_HAVE_FLTK
const UiBackend *FltkBackendOpen();
#endif

int PlatHasDisplay() {
  const char *p = std::getenv("DISPLAY");
  return p && *p ? 1 : 0;
}

const UiBackend *UiDesktopBackend() {
#ifdef TANDREL_HAVE_FLTK
  if (PlatHasDisplay()) return FltkBackendOpen();
#endif
  return nullptr;
}
