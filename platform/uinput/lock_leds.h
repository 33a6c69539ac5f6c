// The three locks as the uinput backend sees them: each lock's virtual key,
// its LockIndex and the LED the seat lights for it; and the backend's clock.
#pragma once

#include <linux/input-event-codes.h>

#include "keystate/keyboard.h"
#include "keystate/modActionKeystate.h"
#include "posix_host.h"

namespace aks::uinput {

struct LockLed {
  VirtualKey vk;
  LockIndex lock;
  int led;
};
inline constexpr LockLed kUinputLocks[kLockCount] = {{VK_NUMLOCK, liNumLock, LED_NUML},
                                                     {VK_SCROLL, liScrollLock, LED_SCROLLL},
                                                     {VK_CAPITAL, liCapsLock, LED_CAPSL}};
inline constexpr unsigned kAllLit = 1u << LED_NUML | 1u << LED_CAPSL | 1u << LED_SCROLLL;

// The lock whose virtual key is `vk`, or null.
inline const LockLed* FindLock(int vk) {
  for (const LockLed& lock : kUinputLocks) {
    if (lock.vk == vk) return &lock;
  }
  return nullptr;
}

inline long long NowMs() { return posix::MonotonicNow() / 1'000'000; }
// What is left until `deadline` (ms), for poll.
inline int MsUntil(long long deadline) {
  const long long left = deadline - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace aks::uinput
