// Simulated platform for deterministic tests: a keyboard that records every
// call, and a host whose timers run on a virtual clock. Never chosen by the
// program itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "chase/host.h"
#include "keystate/keyboard.h"
#include "timer_queue.h"

namespace aks::sim {

using Duration = std::chrono::nanoseconds;

class SimHost final : public HostRuntime {
 public:
  struct Tick {
    std::size_t timer;
    Duration at;
    int depth;  // 0 from the loop, 1+ when run inside a handler's PumpEvents
  };

  void LoadWindow(const WindowSettings& settings, WindowEvents& events) override;
  void HideWindow() override;
  void SetTimerEnabled(std::size_t timer, bool enabled) override;
  // Moves the clock from deadline to deadline until the window is closed.
  // Returns 0 then, or 1 if nothing is left that could ever happen.
  int Run() override;

  Duration Now() const { return now_; }
  // Moves the clock forward, running each tick at the time it falls due.
  void AdvanceBy(Duration delta);
  // Runs the ticks due now without moving the clock.
  void RunUntilIdle() { DispatchDue(); }
  // Time spent inside a call: moves the clock without running anything. The
  // window may close meanwhile (CloseWindowAt).
  void Charge(Duration delta);
  // Runs every tick due now, nested inside the caller.
  void PumpEvents() { DispatchDue(); }

  // The window being closed from outside, now or once the clock reaches `at`.
  void CloseWindow() { closed_ = true; }
  void CloseWindowAt(Duration at) { close_at_ = at; }

  bool visible() const { return visible_; }
  bool closed() const { return closed_; }
  const std::string& caption() const { return caption_; }
  bool TimerEnabled(std::size_t timer) const { return timers_.IsEnabled(timer); }
  const std::vector<Tick>& ticks() const { return ticks_; }

 private:
  static constexpr int kMaxDepth = 64;
  void DispatchDue();

  TimerQueue timers_;
  WindowEvents* events_ = nullptr;
  std::string caption_;
  bool visible_ = false;
  bool closed_ = false;
  std::optional<Duration> close_at_;
  Duration now_{0};
  int depth_ = 0;
  std::vector<Tick> ticks_;
};

class SimKeyboard final : public KeyboardServices {
 public:
  enum class CallKind { kRead, kKeyEvent, kPump };
  struct Call {
    CallKind kind;
    VirtualKey vk;  // kRead and kKeyEvent
    std::uint8_t scan;
    std::uint32_t flags;
    std::uintptr_t extra_info;
    Duration at;
  };

  // Without a host, PumpEvents only records itself and the clock stays at 0.
  explicit SimKeyboard(SimHost* host = nullptr) : host_(host) {}

  std::int16_t GetKeyState(int vk) override;
  void keybd_event(VirtualKey vk, std::uint8_t scan, std::uint32_t flags,
                   std::uintptr_t extra_info) override;
  void PumpEvents() override;

  // Sets a lock directly, as the user pressing the key would; not logged.
  void SetLock(VirtualKey vk, bool on);
  // The user holding a lock key down, which GetKeyState shows in its high bits.
  void HoldKey(VirtualKey vk, bool down);
  bool IsOn(VirtualKey vk) const;
  // Virtual time each call of a kind takes.
  void set_call_cost(CallKind kind, Duration cost) { call_cost_[static_cast<int>(kind)] = cost; }

  const std::vector<Call>& calls() const { return calls_; }
  void ClearCalls() { calls_.clear(); }

 private:
  static int Slot(int vk);
  void Record(Call call);

  SimHost* host_;
  Duration call_cost_[3] = {};
  bool locks_[3] = {false, false, false};
  bool held_[3] = {false, false, false};
  std::vector<Call> calls_;
};

}  // namespace aks::sim
