#include "process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace aks::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

[[noreturn]] void Exec(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

std::optional<int> WaitPid(pid_t pid, milliseconds timeout) {
  const auto deadline = steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 || steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(milliseconds(5));
  }
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             bool as_nobody) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    for (const std::string& change : env) {
      const auto eq = change.find('=');
      if (eq == std::string::npos) {
        ::unsetenv(change.c_str());
      } else {
        ::setenv(change.substr(0, eq).c_str(), change.substr(eq + 1).c_str(), 1);
      }
    }
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    if (as_nobody && ::geteuid() == 0) {
      constexpr uid_t kNobody = 65534;
      if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
        ::_exit(126);
      }
    }
    Exec(argv);
  }
  ::close(out[1]);
  ::close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
}

Child::~Child() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    WaitPid(pid_, milliseconds(5000));
  }
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
}

void Child::Signal(int signal) { ::kill(pid_, signal); }

void Child::Drain() {
  char buf[4096];
  for (auto [fd, text] : {std::pair{out_fd_, &out_}, {err_fd_, &err_}}) {
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text->append(buf, static_cast<std::size_t>(n));
  }
}

std::optional<int> Child::Wait(milliseconds timeout) {
  if (!status_ && pid_ > 0) {
    status_ = WaitPid(pid_, timeout);
    if (status_) Drain();
  }
  return status_;
}

std::string Output(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  Child child(argv, env);
  const auto status = child.Wait(milliseconds(5000));
  EXPECT_EQ(status, 0) << argv[0] << ": " << child.err();
  return status == 0 ? child.out() : "";
}

Xvfb::Xvfb(const std::vector<std::string>& options) {
  int ready[2];
  if (::pipe(ready) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(ready[0]);
    ::dup2(ready[1], 3);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    std::vector<std::string> argv = {"Xvfb", "-displayfd", "3", "-noreset",  "-nolisten",
                                     "tcp",  "-screen",    "0", "320x200x24"};
    argv.insert(argv.end(), options.begin(), options.end());
    Exec(argv);
  }
  ::close(ready[1]);
  // Xvfb writes its display number once it accepts connections.
  std::string number;
  pollfd fd{ready[0], POLLIN, 0};
  char c;
  while (::poll(&fd, 1, 20000) > 0 && ::read(ready[0], &c, 1) == 1 && c != '\n') number += c;
  ::close(ready[0]);
  if (!number.empty()) name_ = ":" + number;
}

Xvfb::~Xvfb() { Stop(); }

void Xvfb::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGCONT);  // in case a test stopped it
  ::kill(pid_, SIGTERM);
  if (!WaitPid(pid_, milliseconds(10000))) {
    ::kill(pid_, SIGKILL);
    WaitPid(pid_, milliseconds(10000));
  }
  pid_ = -1;
}

}  // namespace aks::testing
