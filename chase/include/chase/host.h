// Host window runtime: what the light chase needs of a windowing system.
// A start-up window that can be hidden, owning timers that each carry a fixed
// index, an interval and an enabled flag, and an event loop.
#pragma once

#include <cstddef>
#include <cstdint>

namespace aks {

struct TimerSettings {
  std::int16_t index;  // passed to the tick handler
  std::uint32_t interval_ms;
  bool enabled;  // at load
};

// The window's settings; `caption` and `timers` live as long as the window.
struct WindowSettings {
  const char* caption;
  const TimerSettings* timers;  // timer ids are positions in this array
  std::size_t timer_count;
};

// Handlers the host calls on the event thread.
class WindowEvents {
 public:
  virtual void Form_Load() = 0;
  // Timer `timer` has ticked; `index` is the index it was created with.
  virtual void Timer_Tick(std::size_t timer, std::int16_t index) = 0;

 protected:
  ~WindowEvents() = default;
};

// Timer rules every host follows: an enabled timer ticks each time its interval
// has elapsed since it was enabled or last ticked; enabling a disabled timer
// starts a fresh interval; disabling it stops further ticks. Timers due together
// tick in order of deadline, then of when they were started.
//
// Once the window has been closed from outside, even inside a handler that
// is still running, enabling or disabling its timers does nothing.
//
// A window or timer operation that fails does not return: the host ends the
// program with its platform's error report (a message box on Windows, one
// line on standard error elsewhere) and status 1.
class HostRuntime {
 public:
  virtual ~HostRuntime() = default;

  // Creates the window and its timers as `settings` says, then runs Form_Load.
  virtual void LoadWindow(const WindowSettings& settings, WindowEvents& events) = 0;
  virtual void HideWindow() = 0;
  virtual void SetTimerEnabled(std::size_t timer, bool enabled) = 0;
  // Runs the event loop until the window is closed from outside; returns the
  // program's exit status.
  virtual int Run() = 0;

 protected:
  HostRuntime() = default;
  HostRuntime(const HostRuntime&) = default;
  HostRuntime& operator=(const HostRuntime&) = default;
};

}  // namespace aks
