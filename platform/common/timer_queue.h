// The timer table shared by the simulated host and the real event loops.
// A handful of timers, so a linear scan beats any heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "chase/host.h"

namespace aks {

class TimerQueue {
 public:
  using Nanos = std::int64_t;

  // Adds a timer; an enabled one is due `interval` after `now`. Returns its id.
  std::size_t Add(Nanos interval, bool enabled, Nanos now, std::int16_t index = 0);
  // Adds a window's timers, in order, so that their ids are their positions.
  void Load(const WindowSettings& settings, Nanos now);
  // The index the timer's ticks carry.
  std::int16_t index(std::size_t id) const { return timers_.at(id).index; }

  // Enabling a disabled timer starts a fresh interval at `now`; enabling an
  // enabled one changes nothing. Disabling stops further ticks.
  void SetEnabled(std::size_t id, bool enabled, Nanos now);
  bool IsEnabled(std::size_t id) const { return timers_.at(id).enabled; }

  // Earliest deadline among enabled timers.
  std::optional<Nanos> NextDeadline() const;

  // Takes the due timer that comes first (earliest deadline, then earliest
  // start) and re-arms it one interval after `now`.
  std::optional<std::size_t> PopDue(Nanos now);

  std::size_t size() const { return timers_.size(); }

 private:
  struct Timer {
    Nanos interval;
    Nanos deadline;
    std::uint64_t start_order;
    bool enabled;
    std::int16_t index;
  };
  void Start(Timer& timer, Nanos now);

  std::vector<Timer> timers_;
  std::uint64_t next_start_order_ = 0;
};

}  // namespace aks
