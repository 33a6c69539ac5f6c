#include "posix_host.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace aks::posix {
namespace {

void EndNow(int) { ::_exit(0); }

}  // namespace

TimerQueue::Nanos MonotonicNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return TimerQueue::Nanos{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

void PrepareStandardDescriptors() {
  // Standard output is filled with a read-only descriptor: whatever the
  // program writes there fails, as it would on the closed one, so an answer
  // nobody can receive is still reported as lost.
  const int modes[] = {O_RDONLY, O_RDONLY, O_WRONLY};
  for (int fd = 0; fd < 3; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    const int null = ::open("/dev/null", modes[fd]);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
}

void EndOnTerminationSignals() {
  sigset_t signals;
  ::sigemptyset(&signals);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction action {};
    if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = EndNow;
    ::sigaction(signal, &action, nullptr);
    ::sigaddset(&signals, signal);
  }
  // A launcher may have left them blocked.
  ::sigprocmask(SIG_UNBLOCK, &signals, nullptr);
}

void EndWithLine(int status, const char* what, const char* detail) {
  const char* parts[] = {
      program_invocation_short_name, ": ", what, detail ? ": " : "", detail, "\n"};
  for (const char* part : parts) {
    if (part != nullptr) (void)!::write(STDERR_FILENO, part, std::strlen(part));
  }
  ::_exit(status);
}

void HoldInstanceLock(const char* name, const char* where) {
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  std::string path = std::string(dir != nullptr && *dir == '/' ? dir : "/run") + "/" + name;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;  // nowhere to keep it: this chase goes unguarded
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    char holder[24] = {};
    (void)!::read(fd, holder, sizeof holder - 1);
    holder[std::strcspn(holder, "\n")] = '\0';
    const std::string line = std::string("already chasing ") + where + " (process " + holder + ")";
    Fail(line.c_str());
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) (void)!::write(fd, pid.data(), pid.size());
  // The descriptor stays open, and the lock held, until the program ends.
}

void PosixHost::LoadWindow(const WindowSettings& settings, WindowEvents& events) {
  if (events_ != nullptr) Fail("window already loaded");
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
  if (timer >= timers_.size()) Fail("no such timer");
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
  if (events_ == nullptr) Fail("no window loaded");
  for (;;) {
    DispatchDue();
    if (window_ != nullptr && !window_->DispatchQueued()) closed_ = true;
    if (closed_) return 0;

    pollfd window{window_ ? window_->fd() : -1, POLLIN, 0};
    timespec timeout{};
    const auto deadline = timers_.NextDeadline();
    if (deadline) {
      const TimerQueue::Nanos wait = *deadline - MonotonicNow();
      if (wait <= 0) continue;
      timeout = {static_cast<time_t>(wait / 1'000'000'000),
                 static_cast<long>(wait % 1'000'000'000)};
    }
    if (::ppoll(&window, 1, deadline ? &timeout : nullptr, nullptr) < 0 && errno != EINTR) {
      Fail("ppoll", std::strerror(errno));
    }
    if (window.revents != 0) DispatchWindow();
  }
}

}  // namespace aks::posix
