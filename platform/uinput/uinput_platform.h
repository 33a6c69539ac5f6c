// Linux uinput backend: a virtual keyboard, for Wayland sessions (where one
// client cannot change another's keyboard).
//
// Supports:  keybd_event as presses and releases, on a virtual keyboard made
//            with /dev/uinput ("Action Keystate virtual keyboard"), of the key
//            that the compositor's keymap makes plainly each lock (with
//            ctrl:swapcaps, Caps Lock is the left Ctrl key); GetKeyState from
//            the LEDs the compositor writes back to it.
// Keymap:    the compositor's, as its wl_keyboard sends it to every client,
//            or Xwayland's XKB map where only DISPLAY names the session; read
//            again whenever it changes. A lock the keymap has no such key for
//            is left alone (caps:backspace, caps:escape: Caps Lock), and so is
//            Scroll Lock unless its key lights the keymap's Scroll Lock LED.
//            Without a keymap nothing is tapped: Open fails.
// Reads:     a read only makes no device and sends nothing: the locks are
//            read from the compositor's keyboards' LEDs in sysfs.
// Live:      Open returns only once the seat has taken the keyboard up, seen
//            without a key: the compositor opens its node and writes its LEDs.
//            At most 60 s. For a change, locks that joining the seat reset
//            (wlroots compositors do) are put back; a chase changes them all.
// Session:   losing the compositor's (or Xwayland's) connection ends the
//            program with status 0.
// Needs:     write access to /dev/uinput for changes (see the udev rule in udev/).
#pragma once

#include <memory>

#include "platform.h"

namespace aks::uinput {

// The session the program lives in: the compositor of WAYLAND_DISPLAY, else
// the Xwayland server of DISPLAY; either may be null.
struct Session {
  const char* wayland_display;
  const char* xwayland_display;
};

std::unique_ptr<Platform> Open(const Session& session, Use use, Why& why);

}  // namespace aks::uinput
