#include "keystate/modActionKeystate.h"

namespace aks {
namespace {

bool IsOn(KeyboardServices& keyboard, VirtualKey vk) { return (keyboard.GetKeyState(vk) & 1) != 0; }

// A press immediately followed by its release, nothing in between.
void TapLockKey(KeyboardServices& keyboard, VirtualKey vk) {
  keyboard.keybd_event(vk, kLockScanCode, KEYEVENTF_EXTENDEDKEY, 0);
  keyboard.keybd_event(vk, kLockScanCode, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0);
}

void ApplyLockAction(KeyboardServices& keyboard, VirtualKey vk, LockAction action) {
  switch (action) {
    case laOn:
      if (!IsOn(keyboard, vk)) TapLockKey(keyboard, vk);
      break;
    case laOff:
      if (IsOn(keyboard, vk)) TapLockKey(keyboard, vk);
      break;
    case laToggle:
      TapLockKey(keyboard, vk);
      break;
    default:  // laLeave and every unknown code
      break;
  }
}

}  // namespace

KeystateText ActionKeystate(KeyboardServices& keyboard, bool GetState, LockAction NumLock,
                            LockAction ScrollLock, LockAction CapsLock) {
  if (GetState) {
    // All three reads happen before any text is built.
    bool on[kLockCount];
    for (int lock = 0; lock < kLockCount; ++lock) on[lock] = IsOn(keyboard, kLockKeys[lock]);
    return {{on[liNumLock] ? '1' : '0', ',', on[liScrollLock] ? '1' : '0', ',',
             on[liCapsLock] ? '1' : '0', '\0'}};
  }
  const LockAction actions[kLockCount] = {NumLock, ScrollLock, CapsLock};
  for (int lock = 0; lock < kLockCount; ++lock) {
    ApplyLockAction(keyboard, kLockKeys[lock], actions[lock]);
  }
  keyboard.PumpEvents();
  return {};
}

}  // namespace aks
