// The desktop backend's entry in the window layer's list of desktop
// backends, added before main runs. The window layer never names this
// backend; this file joins them. It is compiled into each program that
// links the window layer (an interface source of the library), not kept in
// the library, where the linker would leave out an object nothing names.
#include "platform/fltk/fltk_backend.h"

namespace {

const UiDesktopEntry FltkEntry = {"fltk", FltkBackendOpen};

struct Registration {
  Registration() { UiAddDesktopBackend(&FltkEntry); }
} g_registration;

}  // namespace
