// The program's only window: hidden at load, it owns six timers whose ticks
// first switch the three locks off and then flip them in a ring for ever.
#pragma once

#include <array>
#include <cstddef>

#include "chase/host.h"
#include "keystate/keyboard.h"
#include "keystate/modActionKeystate.h"

namespace aks {

inline constexpr const char* kWindowCaption = "Action Keystate";

enum TimerName : std::size_t { Timer1, Timer2, Timer3, Timer4, Timer5, Timer6, kTimerCount };
inline constexpr std::size_t kNoTimer = kTimerCount;

// One timer of the window, and what its tick does.
struct TimerStep {
  LockIndex index;
  std::uint32_t interval_ms;
  bool enabled_at_load;
  LockAction action;    // for the lock at `index`; the other two are left alone
  std::size_t enables;  // timer to enable after the tick, or kNoTimer
};

// Timer4..6 switch the locks off once, shortly after start; Timer6 then starts
// the ring Timer1 -> Timer2 -> Timer3 -> Timer1, which flips Num Lock, Caps Lock
// and Scroll Lock in turn every 100 ms.
inline constexpr std::array<TimerStep, kTimerCount> kTimerSteps = {{
    /* Timer1 */ {liNumLock, 100, false, laToggle, Timer2},
    /* Timer2 */ {liCapsLock, 100, false, laToggle, Timer3},
    /* Timer3 */ {liScrollLock, 100, false, laToggle, Timer1},
    /* Timer4 */ {liNumLock, 10, true, laOff, kNoTimer},
    /* Timer5 */ {liCapsLock, 10, true, laOff, kNoTimer},
    /* Timer6 */ {liScrollLock, 10, true, laOff, Timer1},
}};

class frmActionKeystate final : public WindowEvents {
 public:
  frmActionKeystate(KeyboardServices& keyboard, HostRuntime& host);

  // Loads the window into the host as the start-up object.
  void Load();

  void Form_Load() override;
  void Timer_Tick(std::size_t timer, std::int16_t Index) override;

 private:
  KeyboardServices& keyboard_;
  HostRuntime& host_;
};

}  // namespace aks
