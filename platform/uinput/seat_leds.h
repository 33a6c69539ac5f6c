// The seat's lock LEDs as the keyboards show them, read from sysfs
// (/sys/class/leds/inputN::numlock, ...), which every user may read. Reading
// them changes nothing: no device is made and no key is sent.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace aks::uinput {

// Bit n is LED n (LED_NUML 0, LED_CAPSL 1, LED_SCROLLL 2).
struct SeatLeds {
  bool seen = false;  // at least one keyboard was read
  unsigned lit = 0;
};

// The keyboards of `compositor` (the evdev nodes it holds open, where its
// /proc entry may be read), else every keyboard with lock LEDs; a lock is lit
// when one of them shows it lit. `skip` names an input device to leave out
// ("input7"), or is null.
SeatLeds ReadSeatLeds(pid_t compositor, const char* skip);

// The input devices ("input3") behind the evdev nodes `pid` holds open; none
// where its /proc entry may not be read.
std::vector<std::string> HeldInputs(pid_t pid);

}  // namespace aks::uinput
