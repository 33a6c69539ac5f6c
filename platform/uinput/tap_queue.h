// Where taps wait for the compositor before they go out.
//
// The compositor reads a key with the keymap it has when it gets to it,
// which may be newer than the one the program has: one it is still loading
// while taps queue up turns a queued Caps Lock into BackSpace. So a tap waits
// until the compositor has answered a question asked after it, which brings
// any new keymap first, and goes out, press and release, the moment the
// answer comes, with the key the keymap has then. The wait blocks nothing: a
// step that waited would let its own timer fall due again inside it, and
// flip its lock twice. Taps that wait go out in the order they were made, so
// the locks change in the wave's order even after a stall. Once those waiting
// flip every lock an even number of times (whole rounds of the wave piled up
// in a stall), they would leave the locks as they are: none of them is sent,
// and the locks come out of the stall where the wave is. Taps still waiting
// when the program ends are never sent: a chase told to end takes no step
// after (a read sends those before it, so `keystate` ends with its taps out).
#pragma once

#include <cstddef>

#include "keymap_session.h"
#include "lock_leds.h"
#include "virtual_keyboard.h"

namespace aks::uinput {

class TapQueue {
 public:
  TapQueue(VirtualKeyboard& device, KeymapSession& session);
  ~TapQueue();
  TapQueue(const TapQueue&) = delete;
  TapQueue& operator=(const TapQueue&) = delete;

  // A tap of `lock`'s key, where the keymap has one, to go out once answered.
  void Add(const LockLed& lock);
  // Sends every tap still waiting, once the compositor has answered all
  // asked, waiting `waits` times 2 s at most; where it does not answer in
  // time, none.
  void Flush(int waits = 1);

 private:
  struct Tap {
    const LockLed* lock;
    unsigned question;  // asked with it
  };

  // Sends the taps whose question has been answered (`all`: every one), in
  // order, each on the key the keymap has for its lock now, if any.
  void SendAnswered(bool all = false);

  VirtualKeyboard& device_;
  KeymapSession& session_;
  // A chase's rounds cancel within six taps; other callers wait for room.
  static constexpr std::size_t kMostWaiting = 8;
  Tap waiting_[kMostWaiting] = {};
  std::size_t waiting_count_ = 0;
};

}  // namespace aks::uinput
