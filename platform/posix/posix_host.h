// Event loop shared by the Linux backends. Timers live on CLOCK_MONOTONIC and
// follow the same table as the simulated host; between events the loop sleeps
// in a single ppoll on the window system's connection, the termination signals
// and the next timer deadline.
#pragma once

#include "chase/host.h"
#include "timer_queue.h"

namespace aks::posix {

// The window side of a backend: an X window, or nothing on a text console.
class NativeWindow {
 public:
  virtual ~NativeWindow() = default;
  virtual void Create(const char* caption) = 0;  // throws HostError
  virtual void Hide() = 0;
  virtual int fd() const = 0;  // readable when events may be pending
  // Handles every pending event, reading the connection without blocking.
  // Returns false once the window has been closed from outside.
  virtual bool DispatchPending() = 0;
  // Before the loop sleeps: handles events already read, with no system call.
  virtual bool DispatchQueued() = 0;

 protected:
  NativeWindow() = default;
  NativeWindow(const NativeWindow&) = default;
  NativeWindow& operator=(const NativeWindow&) = default;
};

class PosixHost final : public HostRuntime {
 public:
  // `window` may be null: the program then has no window to close, and only
  // SIGTERM, SIGINT or SIGHUP end it.
  explicit PosixHost(NativeWindow* window) : window_(window) {}
  ~PosixHost() override;
  PosixHost(const PosixHost&) = delete;
  PosixHost& operator=(const PosixHost&) = delete;

  void LoadWindow(const WindowSettings& settings, WindowEvents& events) override;
  void HideWindow() override;
  void SetTimerEnabled(std::size_t timer, bool enabled) override;
  int Run() override;

  // Dispatches pending window events and every tick already due, once.
  void PumpEvents();

 private:
  void DispatchDue();
  void DispatchWindow();

  NativeWindow* window_;
  WindowEvents* events_ = nullptr;
  TimerQueue timers_;
  bool closed_ = false;
  int signal_fd_ = -1;
};

}  // namespace aks::posix
