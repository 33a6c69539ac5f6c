#include "chase/frmActionKeystate.h"

namespace aks {
namespace {

constexpr std::array<TimerSettings, kTimerCount> MakeTimerSettings() {
  std::array<TimerSettings, kTimerCount> settings{};
  for (std::size_t t = 0; t < kTimerCount; ++t) {
    settings[t] = {kTimerSteps[t].index, kTimerSteps[t].interval_ms,
                   kTimerSteps[t].enabled_at_load};
  }
  return settings;
}

constexpr std::array<TimerSettings, kTimerCount> kTimerSettings = MakeTimerSettings();

}  // namespace

frmActionKeystate::frmActionKeystate(KeyboardServices& keyboard, HostRuntime& host)
    : keyboard_(keyboard), host_(host) {}

void frmActionKeystate::Load() {
  host_.LoadWindow({kWindowCaption, kTimerSettings.data(), kTimerSettings.size()}, *this);
}

void frmActionKeystate::Form_Load() { host_.HideWindow(); }

void frmActionKeystate::Timer_Tick(std::size_t timer, std::int16_t Index) {
  if (timer >= kTimerCount) return;  // not one of this window's timers
  const TimerStep& step = kTimerSteps[timer];
  LockAction codes[kLockCount];
  for (int p = 0; p < kLockCount; ++p) codes[p] = Index == p ? step.action : laLeave;
  ActionKeystate(keyboard_, false, codes[liNumLock], codes[liScrollLock], codes[liCapsLock]);
  host_.SetTimerEnabled(timer, false);
  if (step.enables != kNoTimer) host_.SetTimerEnabled(step.enables, true);
}

}  // namespace aks
