#include "uinput_keyboard.h"

#include "lock_leds.h"

namespace aks::uinput {
namespace {

constexpr int kJoinedMs = 1'000;   // sway takes a joining keyboard's keys twice for a while
constexpr int kAgreeWaitMs = 500;  // the seat's other keyboards catching up with a tap

}  // namespace

std::int16_t UinputKeyboard::GetKeyState(int vk) {
  const LockLed* lock = FindLock(vk);
  taps_.Flush();
  device_.AwaitEchoes();
  if (lock == nullptr) return 0;
  if (device_.seat_wrote()) return device_.Lit(lock->led) ? 1 : 0;
  const SeatLeds seat = ReadHeldLeds(session_.compositor(), device_.sysname());
  return (seat.seen ? (seat.lit >> lock->led) & 1u : device_.Lit(lock->led)) ? 1 : 0;
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
  if (!before.seen ||
      !(reset(kUinputLocks[0]) || reset(kUinputLocks[1]) || reset(kUinputLocks[2]))) {
    return;
  }
  device_.Settle(kJoinedMs);
  for (int round = 0; round < 3; ++round) {
    bool tapped = false;
    for (const LockLed& lock : kUinputLocks) {
      if (!reset(lock)) continue;
      keybd_event(lock.vk, kLockScanCode, KEYEVENTF_EXTENDEDKEY, 0);
      keybd_event(lock.vk, kLockScanCode, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0);
      tapped = true;
    }
    if (!tapped) return;
    taps_.Flush();
    device_.Settle();
  }
}

}  // namespace aks::uinput
