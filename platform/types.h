// The Win32 API the program is written against: on Windows the system's own
// headers, elsewhere the layer's declarations of the same names
// (platform/<system>/platform.h, found through the include path).
#pragma once
#include "platform.h"
