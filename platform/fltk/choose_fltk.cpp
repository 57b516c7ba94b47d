// The desktop backends of a build with FLTK.
#include "platform/fltk/fltk_backend.h"

const UiDesktopEntry UiDesktopBackends[] = {{"fltk", FltkBackendOpen}, {nullptr, nullptr}};
