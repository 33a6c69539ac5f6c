#include "timer_queue.h"

namespace aks {

void TimerQueue::Start(Timer& timer, Nanos now) {
  timer.deadline = now + timer.interval;
  timer.start_order = next_start_order_++;
}

std::size_t TimerQueue::Add(Nanos interval, bool enabled, Nanos now, std::int16_t index) {
  timers_.push_back({interval, 0, 0, enabled, index});
  if (enabled) Start(timers_.back(), now);
  return timers_.size() - 1;
}

void TimerQueue::Load(const WindowSettings& settings, Nanos now) {
  for (std::size_t t = 0; t < settings.timer_count; ++t) {
    const TimerSettings& timer = settings.timers[t];
    Add(Nanos{timer.interval_ms} * 1'000'000, timer.enabled, now, timer.index);
  }
}

void TimerQueue::SetEnabled(std::size_t id, bool enabled, Nanos now) {
  Timer& timer = timers_.at(id);
  if (enabled && !timer.enabled) Start(timer, now);
  timer.enabled = enabled;
}

std::optional<TimerQueue::Nanos> TimerQueue::NextDeadline() const {
  std::optional<Nanos> next;
  for (const Timer& timer : timers_) {
    if (timer.enabled && (!next || timer.deadline < *next)) next = timer.deadline;
  }
  return next;
}

std::optional<std::size_t> TimerQueue::PopDue(Nanos now) {
  std::optional<std::size_t> first;
  for (std::size_t id = 0; id < timers_.size(); ++id) {
    const Timer& timer = timers_[id];
    if (!timer.enabled || timer.deadline > now) continue;
    if (!first || timer.deadline < timers_[*first].deadline ||
        (timer.deadline == timers_[*first].deadline &&
         timer.start_order < timers_[*first].start_order)) {
      first = id;
    }
  }
  if (first) Start(timers_[*first], now);
  return first;
}

}  // namespace aks
