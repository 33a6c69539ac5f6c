// The program's keyboard logic: bring the three lock keys into requested
// states, or report their states as text such as "1,0,1".
#pragma once

#include <cstdint>

#include "keystate/keyboard.h"

namespace aks {

// Names one lock key. Also the order of ActionKeystate's key parameters and of
// the fields in its report.
enum LockIndex : std::int16_t { liNumLock = 0, liScrollLock = 1, liCapsLock = 2 };
inline constexpr int kLockCount = 3;

// What to do with one lock key. Values outside laLeave..laToggle act as laLeave.
enum LockAction : std::int16_t { laLeave = 0, laOn = 1, laOff = 2, laToggle = 3 };

// Virtual key of each lock, in LockIndex order.
inline constexpr VirtualKey kLockKeys[kLockCount] = {VK_NUMLOCK, VK_SCROLL, VK_CAPITAL};

// Every synthetic lock-key event carries this scan code with the extended-key flag.
inline constexpr std::uint8_t kLockScanCode = 0x45;

// ActionKeystate's result: empty in change mode, "N,S,C" in report mode.
// Five characters at most, kept in place.
struct KeystateText {
  char text[6] = {};
  const char* c_str() const { return text; }
};

// Change mode (GetState false): acts on Num Lock, Scroll Lock and Caps Lock in
// that order, each finished before the next, then pumps pending events once and
// returns "". Report mode (GetState true): reads the three locks and returns
// "N,S,C" with 1 for on and 0 for off; sends nothing and pumps nothing.
KeystateText ActionKeystate(KeyboardServices& keyboard, bool GetState, LockAction NumLock,
                            LockAction ScrollLock, LockAction CapsLock);

}  // namespace aks
