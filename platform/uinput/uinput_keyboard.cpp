#include "uinput_keyboard.h"

#include "lock_leds.h"

namespace aks::uinput {
namespace {

constexpr int kJoinedMs = 1'000;  // sway takes a joining keyboard's keys twice for a while
// A read waits for the taps before it as long as a read waits for KWin (10 s):
// a tap given up there, at the chase's clearing, would set the wave's phase
// wrong for good.
constexpr int kReadFlushWaits = 5;
// A compositor that writes our LEDs writes each lock a tap changed; a busy
// one seconds late (KWin, its main thread hanging: a read that gave up after
// a second printed the lock unchanged). That write is waited for as long as
// the taps are. Until the compositor has written to ours (Hyprland never
// does), the other keyboards are read, given a moment to catch up.
constexpr int kEchoWaitMs = kReadFlushWaits * 2'000;
constexpr int kNoEchoWaitMs = 1'000;

}  // namespace

std::int16_t UinputKeyboard::GetKeyState(int vk) {
  const LockLed* lock = FindLock(vk);
  taps_.Flush(kReadFlushWaits);
  device_.AwaitEchoes(device_.seat_wrote() ? kEchoWaitMs : kNoEchoWaitMs);
  if (lock == nullptr) return 0;
  if (device_.seat_wrote()) return device_.Lit(lock->led) ? 1 : 0;
  unsigned lit = 0;
  if (!session_.ReadLocks(lit)) lit = ReadSeatLeds(session_.compositor(), device_.sysname()).lit;
  return (lit >> lock->led) & 1u ? 1 : 0;
}

void UinputKeyboard::keybd_event(VirtualKey vk, std::uint8_t, std::uint32_t flags, std::uintptr_t) {
  const LockLed* lock = FindLock(vk);
  if (lock == nullptr || (flags & KEYEVENTF_KEYUP) != 0) return;  // (sent with its press)
  taps_.Add(*lock);
}

void UinputKeyboard::PumpEvents() {
  device_.ReadLeds();
  host_.PumpEvents();
}

void UinputKeyboard::PutBack(const SeatLeds& before) {
  const auto reset = [&](const LockLed& lock) {
    return ((before.lit >> lock.led) & 1u) != 0 && GetKeyState(lock.vk) == 0;
  };
  const auto any_reset = [&] {
    for (const LockLed& lock : kUinputLocks) {
      if (reset(lock)) return true;
    }
    return false;
  };
  if (!before.seen) return;
  for (int round = 0; round < 3 && any_reset(); ++round) {
    // (sway 1.7 takes a joining keyboard's keys twice for a while: a tap that
    // did not hold is tried again once that is over)
    if (round > 0) device_.Settle(kJoinedMs);
    for (const LockLed& lock : kUinputLocks) {
      if (!reset(lock)) continue;
      keybd_event(lock.vk, kLockScanCode, KEYEVENTF_EXTENDEDKEY, 0);
      keybd_event(lock.vk, kLockScanCode, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0);
    }
    taps_.Flush();
    device_.Settle();
  }
}

}  // namespace aks::uinput
