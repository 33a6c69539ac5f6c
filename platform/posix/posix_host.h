// Event loop shared by the Linux backends. Timers live on CLOCK_MONOTONIC and
// follow the same table as the simulated host; between events the loop sleeps
// in a single ppoll on the window system's connection and the next timer
// deadline.
#pragma once

#include "chase/host.h"
#include "timer_queue.h"

namespace aks::posix {

// Now on CLOCK_MONOTONIC, the clock of every timer and wait of the backends.
TimerQueue::Nanos MonotonicNow();

// Run first in main, before any descriptor is opened: descriptors 0-2 are
// made valid (a launcher may have closed them, and a connection must never
// become "standard error"), and a write to a closed pipe fails with EPIPE
// instead of killing the program.
void PrepareStandardDescriptors();

// SIGTERM, SIGINT and SIGHUP end the program at once with status 0, wherever
// it is, even inside a call to a server that does not answer. Nothing is
// cleaned up: the locks stay as they are. A signal the caller set to be
// ignored (nohup) stays ignored.
void EndOnTerminationSignals();

// One line, "program: what: detail", on standard error, then `status`
// without any clean-up.
[[noreturn]] void EndWithLine(int status, const char* what, const char* detail = nullptr);
[[noreturn]] inline void Fail(const char* what, const char* detail = nullptr) {
  EndWithLine(1, what, detail);
}

// One chase per keyboard: holds the lock file `name` under $XDG_RUNTIME_DIR
// (or /run) for as long as the program runs. Where another process holds it,
// ends the program with one line naming that process: "already chasing
// `where` (process N)". Where the file cannot be made, the chase runs
// unguarded.
void HoldInstanceLock(const char* name, const char* where);

// The window side of a backend: an X window, or nothing on a text console.
class NativeWindow {
 public:
  virtual ~NativeWindow() = default;
  virtual void Create(const char* caption) = 0;  // ends the program if it fails
  virtual void Hide() = 0;
  // Readable when events may be pending; -1 for nothing to wake for. Asked
  // again before each wait: a window may want waking only at times.
  virtual int fd() const = 0;
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
};

}  // namespace aks::posix
