// X11 backend.
//
// Supports:  GetKeyState from the XKB named indicators "Num Lock", "Caps Lock"
//            and "Scroll Lock"; keybd_event as XkbLockModifiers on the
//            modifiers the lock's key locks, so no key event is ever sent;
//            an unmapped top-level window named "Action Keystate" with
//            WM_DELETE_WINDOW.
// Scroll Lock: where the keymap's Scroll_Lock drives no indicator (the default
//            X keymaps), a press flips the named indicator by hand.
// Missing:   a lock whose keysym is not in the keymap is left alone; a lock
//            without an indicator reads as off. The lock keys are looked up
//            again whenever the keymap changes (MappingNotify).
// Ends:      on WM_DELETE_WINDOW, when the window is destroyed, or with one
//            line and status 0 when the X server goes away (status 1 for a
//            command that never made a window).
#pragma once

#include <memory>

#include "platform.h"

namespace aks::x11 {

// Opens the display named by DISPLAY. Where `xwayland` is given and the
// display turns out to be Xwayland (its XWAYLAND extension), whose keyboard is
// its own and never the compositor's, sets it and returns null.
std::unique_ptr<Platform> Open(Why& why, Use use, bool* xwayland = nullptr);

}  // namespace aks::x11
