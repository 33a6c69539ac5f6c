// Linux uinput backend: a virtual keyboard, for Wayland sessions (where one
// client cannot change another's keyboard) and for anyone who asks for it.
//
// Supports:  keybd_event as presses and releases of KEY_NUMLOCK, KEY_CAPSLOCK
//            and KEY_SCROLLLOCK on a virtual keyboard made with /dev/uinput,
//            named "Action Keystate virtual keyboard"; GetKeyState from the
//            LEDs the seat writes back to it (the compositor, or the kernel's
//            console, sets every keyboard's LEDs from the seat's one state).
// Live:      Open returns only once the seat has taken the keyboard up: a
//            Num Lock tap and its undoing come back as LED writes (or the
//            compositor writes the LEDs as it adds the keyboard). It waits at
//            most 60 s.
// Session:   where `session` is given (the compositor of WAYLAND_DISPLAY),
//            losing that connection ends the program with status 0.
// Missing:   Scroll Lock. The usual keymaps bind no modifier to it, so the
//            compositors neither lock it nor light it; its taps reach the
//            focused client and change nothing else.
// Needs:     write access to /dev/uinput (see the udev rule in udev/).
#pragma once

#include <memory>

#include "platform.h"

namespace aks::uinput {

// `wayland_display`: the compositor whose session the program lives in, or
// null to live until a signal ends it.
std::unique_ptr<Platform> Open(const char* wayland_display, Why& why);

}  // namespace aks::uinput
