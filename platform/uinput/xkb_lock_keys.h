// Which key of a keymap is plainly each lock key, read with libxkbcommon:
// the rule by which the uinput backend decides what it may tap.
#pragma once

#include <xkbcommon/xkbcommon.h>

#include "keystate/modActionKeystate.h"

namespace aks::xkb {

// The key to tap for each lock, as an xkb keycode (the evdev code plus 8), in
// LockIndex order; 0 where the keymap has no such key.
struct LockKeys {
  xkb_keycode_t keycode[kLockCount] = {};
};

// A key is the lock's when its first keysym (group 1, level 1) is the lock's
// and a press and release of it, from a state with nothing set, does only
// what the lock should: Num Lock and Caps Lock lock their modifier (Mod2,
// Lock) and nothing else; Scroll Lock lights the keymap's "Scroll Lock" LED
// and locks neither of theirs. Nothing is held, latched or switched group.
LockKeys FindLockKeys(xkb_keymap* keymap);

}  // namespace aks::xkb
