// Child processes for the integration tests: the program under test, and
// private X servers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace aks::testing {

class Child {
 public:
  // Starts argv[0] (a path) with the environment changed by `env`: "NAME=value"
  // sets, a bare "NAME" unsets. Its stdout and stderr are captured. With
  // `as_nobody`, a child of root runs as the unprivileged user nobody.
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
        bool as_nobody = false);
  ~Child();  // kills it if still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void Signal(int signal);
  // Exit status, or 128 + signal number; nullopt if still running at the timeout.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  const std::string& out() const { return out_; }  // complete once Wait succeeded
  const std::string& err() const { return err_; }

 private:
  void Drain();

  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  std::string out_, err_;
  std::optional<int> status_;
};

// Runs argv to its end; returns what it printed on stdout when it exits 0,
// and fails the running test otherwise.
std::string Output(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

// A private Xvfb on a free display number, stopped by its destructor.
class Xvfb {
 public:
  explicit Xvfb(const std::vector<std::string>& options = {});
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  bool ok() const { return !name_.empty(); }
  const std::string& name() const { return name_; }  // ":N"
  pid_t pid() const { return pid_; }
  void Stop();

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace aks::testing
