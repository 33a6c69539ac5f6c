// The keyboard services of a Wayland session: taps on the virtual keyboard
// of only the keys the keymap in force makes plainly the locks, and reads of
// the locks from the LEDs the seat writes.
#pragma once

#include "keymap_session.h"
#include "keystate/keyboard.h"
#include "posix_host.h"
#include "seat_leds.h"
#include "tap_queue.h"
#include "virtual_keyboard.h"

namespace aks::uinput {

class UinputKeyboard final : public KeyboardServices {
 public:
  UinputKeyboard(VirtualKeyboard& device, KeymapSession& session, posix::PosixHost& host)
      : device_(device), session_(session), host_(host), taps_(device, session) {}

  // The LEDs the compositor last wrote to the virtual keyboard, once it has
  // answered the last tap. Not the seat's other keyboards: the kernel darkens
  // them when a keyboard joins, and a compositor may leave them dark (KDE)
  // or write them one after another (GNOME). Until the compositor has written
  // to ours (Hyprland never does; a busy KWin late), the compositor's own
  // report where it gives one (KWin), else the seat's other keyboards.
  std::int16_t GetKeyState(int vk) override;
  // A press queues a tap of the lock's key (see tap_queue.h); its release
  // goes out with it.
  void keybd_event(VirtualKey vk, std::uint8_t, std::uint32_t flags, std::uintptr_t) override;
  // The LED echoes are taken in here, at each step, never woken for.
  void PumpEvents() override;

  // A keyboard joining the seat may reset its locks (wlroots compositors
  // do): those that the seat's keyboards showed lit before and the
  // compositor wrote dark to ours are put back at once, and looked at again
  // once the LEDs are quiet (three times at most).
  void PutBack(const SeatLeds& before);

 private:
  VirtualKeyboard& device_;
  KeymapSession& session_;
  posix::PosixHost& host_;
  TapQueue taps_;
};

}  // namespace aks::uinput
