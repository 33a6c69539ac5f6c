// Keyboard services: the only view of the keyboard the lock-key procedure has.
//
// The names follow the Windows user32 calls they stand for, so the Windows
// backend is a thin pass-through and every other backend imitates those calls.
#pragma once

#include <cstdint>

namespace aks {

using VirtualKey = std::uint8_t;

// Windows headers define these as macros; define them only where they are missing.
#ifndef VK_NUMLOCK
inline constexpr VirtualKey VK_NUMLOCK = 0x90;
#endif
#ifndef VK_SCROLL
inline constexpr VirtualKey VK_SCROLL = 0x91;
#endif
#ifndef VK_CAPITAL
inline constexpr VirtualKey VK_CAPITAL = 0x14;
#endif
#ifndef KEYEVENTF_EXTENDEDKEY
inline constexpr std::uint32_t KEYEVENTF_EXTENDEDKEY = 0x0001;
#endif
#ifndef KEYEVENTF_KEYUP
inline constexpr std::uint32_t KEYEVENTF_KEYUP = 0x0002;
#endif

class KeyboardServices {
 public:
  virtual ~KeyboardServices() = default;

  // Toggle state of a lock key: bit 0 is set while the lock is on.
  virtual std::int16_t GetKeyState(int vk) = 0;

  // Synthesises one key press, or one release when flags has KEYEVENTF_KEYUP.
  // A press of a lock key flips that lock.
  virtual void keybd_event(VirtualKey vk, std::uint8_t scan, std::uint32_t flags,
                           std::uintptr_t extra_info) = 0;

  // Dispatches every event already pending in the event loop, then returns.
  virtual void PumpEvents() = 0;

 protected:
  KeyboardServices() = default;
  KeyboardServices(const KeyboardServices&) = default;
  KeyboardServices& operator=(const KeyboardServices&) = default;
};

}  // namespace aks
