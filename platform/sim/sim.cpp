#include "sim.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace aks::sim {
namespace {

// A host failure ends the program, as on every platform.
[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "simulated host: %s\n", what);
  std::abort();
}

}  // namespace

void SimHost::LoadWindow(const WindowSettings& settings, WindowEvents& events) {
  if (events_ != nullptr) Fail("window already loaded");
  caption_ = settings.caption;
  timers_.Load(settings, now_.count());
  events_ = &events;
  visible_ = true;
  events.Form_Load();
}

void SimHost::HideWindow() { visible_ = false; }

void SimHost::SetTimerEnabled(std::size_t timer, bool enabled) {
  if (closed_) return;
  timers_.SetEnabled(timer, enabled, now_.count());
}

int SimHost::Run() {
  if (events_ == nullptr) Fail("no window loaded");
  while (!closed_) {
    const std::optional<TimerQueue::Nanos> next = timers_.NextDeadline();
    if (close_at_ && (!next || *close_at_ <= Duration(*next))) {
      now_ = std::max(now_, *close_at_);
      closed_ = true;
      break;
    }
    if (!next) return 1;
    now_ = std::max(now_, Duration(*next));
    DispatchDue();
  }
  return 0;
}

void SimHost::Charge(Duration delta) {
  now_ += delta;
  if (close_at_ && now_ >= *close_at_) closed_ = true;
}

void SimHost::AdvanceBy(Duration delta) {
  const Duration until = now_ + delta;
  for (auto next = timers_.NextDeadline(); !closed_ && next && Duration(*next) <= until;
       next = timers_.NextDeadline()) {
    now_ = std::max(now_, Duration(*next));
    DispatchDue();
  }
  now_ = std::max(now_, until);
}

void SimHost::DispatchDue() {
  if (depth_ >= kMaxDepth) Fail("tick handlers nested too deeply");
  ++depth_;
  while (!closed_) {
    const std::optional<std::size_t> timer = timers_.PopDue(now_.count());
    if (!timer) break;
    ticks_.push_back({*timer, now_, depth_ - 1});
    events_->Timer_Tick(*timer, timers_.index(*timer));
  }
  --depth_;
}

int SimKeyboard::Slot(int vk) {
  switch (vk) {
    case VK_NUMLOCK:
      return 0;
    case VK_SCROLL:
      return 1;
    case VK_CAPITAL:
      return 2;
    default:
      return -1;
  }
}

void SimKeyboard::Record(Call call) {
  if (host_ != nullptr) host_->Charge(call_cost_[static_cast<int>(call.kind)]);
  call.at = host_ != nullptr ? host_->Now() : Duration(0);
  calls_.push_back(call);
}

std::int16_t SimKeyboard::GetKeyState(int vk) {
  Record({CallKind::kRead, static_cast<VirtualKey>(vk), 0, 0, 0, {}});
  const int slot = Slot(vk);
  // Windows' values: bit 0 the toggle, the high bits set while the key is down.
  const std::uint16_t down = slot >= 0 && held_[slot] ? 0xFF80 : 0;
  return static_cast<std::int16_t>(down | (IsOn(static_cast<VirtualKey>(vk)) ? 1 : 0));
}

void SimKeyboard::keybd_event(VirtualKey vk, std::uint8_t scan, std::uint32_t flags,
                              std::uintptr_t extra_info) {
  Record({CallKind::kKeyEvent, vk, scan, flags, extra_info, {}});
  const int slot = Slot(vk);
  if (slot >= 0 && (flags & KEYEVENTF_KEYUP) == 0) locks_[slot] = !locks_[slot];
}

void SimKeyboard::PumpEvents() {
  Record({CallKind::kPump, 0, 0, 0, 0, {}});
  if (host_ != nullptr) host_->PumpEvents();
}

void SimKeyboard::SetLock(VirtualKey vk, bool on) {
  const int slot = Slot(vk);
  if (slot >= 0) locks_[slot] = on;
}

void SimKeyboard::HoldKey(VirtualKey vk, bool down) {
  const int slot = Slot(vk);
  if (slot >= 0) held_[slot] = down;
}

bool SimKeyboard::IsOn(VirtualKey vk) const {
  const int slot = Slot(vk);
  return slot >= 0 && locks_[slot];
}

}  // namespace aks::sim
