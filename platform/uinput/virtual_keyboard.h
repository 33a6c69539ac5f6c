// The virtual keyboard made with /dev/uinput ("Action Keystate virtual
// keyboard"), its take-up by the seat, and its LEDs as the seat last wrote
// them.
#pragma once

#include <sys/types.h>

#include "platform.h"

namespace aks::uinput {

// Creates the virtual keyboard; returns its descriptor, or -1 and says why.
int CreateDevice(Why& why);

class VirtualKeyboard {
 public:
  explicit VirtualKeyboard(int fd);
  ~VirtualKeyboard();
  VirtualKeyboard(const VirtualKeyboard&) = delete;
  VirtualKeyboard& operator=(const VirtualKeyboard&) = delete;

  // A press of a lock key flips `led`, which the seat then writes back.
  void Key(int key, bool press, int led);

  // Before a read: waits (`wait_ms` at most) for the LED writes that earlier
  // presses are still owed, so that a read after a change sees the change.
  void AwaitEchoes(int wait_ms);

  // Takes in the LED writes that have arrived; returns how many there were.
  int ReadLeds();
  // Waits for LED writes until `deadline` (ms) at most; returns how many came.
  int ReadLedsBy(long long deadline);

  bool Lit(int led) const { return (lit_ >> led) & 1u; }
  // Whether the seat has written the LEDs since the device lit them itself.
  bool seat_wrote() const { return seat_wrote_; }
  const char* sysname() const { return sysname_; }

  // Waits until the seat has taken the keyboard up, without a key: the
  // device first lights its own LEDs; the compositor (process `compositor`)
  // then opens its node (seen through `watch`, inotify on /dev/input, and
  // among the compositor's open files) and writes the seat's LEDs to it,
  // which shows as a change. Then waits until the LEDs are quiet.
  bool WaitUntilLive(int watch, pid_t compositor);

  // Waits until the LEDs have been quiet for `quiet_ms` (or, while another
  // program keeps changing them, for 3 s at most); what is still owed then
  // will not come.
  static constexpr int kSettleMs = 150;  // quiet on the LEDs once live
  void Settle(int quiet_ms = kSettleMs);

 private:
  // The kernel passes on only LED writes that change a device's LEDs: lit
  // LEDs of its own make the seat's first write show.
  void SetOwnLeds(unsigned lit);
  bool Awaiting() const;

  static constexpr int kLeds = 3;  // LED_NUML, LED_CAPSL, LED_SCROLLL
  int fd_ = -1;
  char sysname_[32] = {};
  unsigned lit_ = 0;  // bit n: LED n is lit
  bool seat_wrote_ = false;
  int own_echoes_ = 0;       // LED changes of its own still to come back
  int awaited_[kLeds] = {};  // LED writes owed to presses, per LED
};

}  // namespace aks::uinput
