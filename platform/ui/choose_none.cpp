// The desktop backends of a build without any: the window layer is headless.
#include "platform/ui/backend.h"

const UiDesktopEntry UiDesktopBackends[] = {{nullptr, nullptr}};
