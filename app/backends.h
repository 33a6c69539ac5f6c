// The backend for the session the program runs in, chosen once at start.
#pragma once

#include <memory>

#include "platform.h"

namespace aks {

// Opens the keyboard of the session the environment names. On Linux:
// ACTIONKEYSTATE_BACKEND (uinput, x11 or console) where it is set; else a
// uinput keyboard in a Wayland session (WAYLAND_DISPLAY, or a DISPLAY that
// is Xwayland: XDG_SESSION_TYPE=wayland, or an XWAYLAND extension); else the X server in DISPLAY; else the text console. When
// that fails, returns null and says why in `why`: a named session is never
// given up for a backend whose changes the user would not see.
//
// `use`: kRead opens the keyboard only to read it, which changes nothing.
// `chase`: for the chase, which runs once per keyboard. A second chase for
// the same console or Wayland session ends, before it touches the keyboard,
// with one line naming the first (the X11 backend claims its display itself).
std::unique_ptr<Platform> OpenPlatform(Why& why, Use use, bool chase);

}  // namespace aks
