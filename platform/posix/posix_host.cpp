#include "posix_host.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace aks::posix {
namespace {

TimerQueue::Nanos MonotonicNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return TimerQueue::Nanos{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

HostError SystemError(const char* what) { return HostError(what, std::strerror(errno)); }

// Termination signals arrive through a descriptor instead of a handler.
int OpenSignalFd() {
  sigset_t signals;
  ::sigemptyset(&signals);
  ::sigaddset(&signals, SIGTERM);
  ::sigaddset(&signals, SIGINT);
  ::sigaddset(&signals, SIGHUP);
  if (::sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) throw SystemError("sigprocmask");
  const int fd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd < 0) throw SystemError("signalfd");
  return fd;
}

}  // namespace

PosixHost::~PosixHost() {
  if (signal_fd_ >= 0) ::close(signal_fd_);
}

void PosixHost::LoadWindow(const WindowSettings& settings, WindowEvents& events) {
  if (events_ != nullptr) throw HostError("window already loaded");
  if (window_ != nullptr) window_->Create(settings.caption);
  timers_.Load(settings, MonotonicNow());
  events_ = &events;
  events.Form_Load();
}

void PosixHost::HideWindow() {
  if (window_ != nullptr) window_->Hide();
}

void PosixHost::SetTimerEnabled(std::size_t timer, bool enabled) {
  if (closed_) return;
  timers_.SetEnabled(timer, enabled, MonotonicNow());
}

void PosixHost::DispatchDue() {
  if (events_ == nullptr) return;
  while (!closed_) {
    const auto timer = timers_.PopDue(MonotonicNow());
    if (!timer) break;
    events_->Timer_Tick(*timer, timers_.index(*timer));
  }
}

void PosixHost::DispatchWindow() {
  if (window_ != nullptr && !window_->DispatchPending()) closed_ = true;
}

void PosixHost::PumpEvents() {
  DispatchWindow();
  DispatchDue();
}

int PosixHost::Run() {
  if (events_ == nullptr) throw HostError("no window loaded");
  signal_fd_ = OpenSignalFd();
  pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {window_ ? window_->fd() : -1, POLLIN, 0}};
  for (;;) {
    DispatchDue();
    if (window_ != nullptr && !window_->DispatchQueued()) closed_ = true;
    if (closed_) return 0;

    timespec timeout{};
    const auto deadline = timers_.NextDeadline();
    if (deadline) {
      const TimerQueue::Nanos wait = *deadline - MonotonicNow();
      if (wait <= 0) continue;
      timeout = {static_cast<time_t>(wait / 1'000'000'000),
                 static_cast<long>(wait % 1'000'000'000)};
    }
    if (::ppoll(fds, 2, deadline ? &timeout : nullptr, nullptr) < 0 && errno != EINTR) {
      throw SystemError("ppoll");
    }
    if (fds[0].revents & POLLIN) return 0;  // SIGTERM, SIGINT or SIGHUP
    if (fds[1].revents != 0) DispatchWindow();
  }
}

}  // namespace aks::posix
