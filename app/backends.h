// The backend for the session the program runs in, chosen once at start.
#pragma once

#include <memory>

#include "platform.h"

namespace aks {

// Opens the keyboard of the session the environment names: on Linux, the X
// server in DISPLAY, or the text console where no display is named. When
// that fails, returns null and says why in `why`: a named session is never
// given up for a backend whose changes the user would not see.
std::unique_ptr<Platform> OpenPlatform(Why& why);

}  // namespace aks
