// Both programs on this machine's virtual console, checked by reading the
// console's flags on a descriptor of the test's own. Skipped where /dev/tty0
// cannot be read and written; the flags are put back after each test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/kd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "process.h"

namespace aks::testing {
namespace {

using namespace std::chrono_literals;

constexpr unsigned char kLocks = LED_NUM | LED_CAP | LED_SCR;
// The wave as flags, starting from all off.
constexpr unsigned char kWave[] = {LED_NUM,           LED_NUM | LED_CAP, kLocks,
                                   LED_CAP | LED_SCR, LED_SCR,           0};

class Console : public ::testing::Test {
 protected:
  void SetUp() override {
    fd_ = ::open("/dev/tty0", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0 || ::ioctl(fd_, KDGKBLED, &saved_) != 0) {
      GTEST_SKIP() << "no read-write /dev/tty0 here: " << std::strerror(errno);
    }
  }
  void TearDown() override {
    if (fd_ < 0) return;
    SetFlags(static_cast<unsigned char>(saved_));
    ::close(fd_);
  }

  unsigned char Flags() {
    char flags = 0;
    ::ioctl(fd_, KDGKBLED, &flags);
    return static_cast<unsigned char>(flags);
  }
  void SetFlags(unsigned char flags) { ::ioctl(fd_, KDSKBLED, static_cast<unsigned long>(flags)); }
  unsigned char Locks() { return Flags() & kLocks; }

  // Polls until the lock flags read `want`.
  bool WaitForLocks(unsigned char want, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Locks() != want) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(2ms);
    }
    return true;
  }

  // keystate without a display: on the console.
  std::string Keystate(std::vector<std::string> args = {}) {
    args.insert(args.begin(), AKS_KEYSTATE_PATH);
    return Output(args, {"DISPLAY", "WAYLAND_DISPLAY"});
  }

  int fd_ = -1;
  char saved_ = 0;
};

// Each flag read and flipped by one tap; the default flags (bits 4-6) and
// the other locks stay as they were.
TEST_F(Console, KeystateReadsAndTogglesEachFlagKeepingTheDefaults) {
  const unsigned char defaults = (LED_NUM | LED_SCR) << 4;
  const struct {
    unsigned char flag;
    const char* report;
    const char* toggle;
  } locks[] = {{LED_NUM, "1,0,0\n", "num=toggle"},
               {LED_CAP, "0,0,1\n", "caps=toggle"},
               {LED_SCR, "0,1,0\n", "scroll=toggle"}};
  for (const auto& lock : locks) {
    SCOPED_TRACE(lock.toggle);
    SetFlags(defaults | lock.flag);
    EXPECT_EQ(Keystate(), lock.report);
    EXPECT_EQ(Keystate({lock.toggle}), "0,0,0\n");
    EXPECT_EQ(Flags(), defaults);
  }
  SetFlags(defaults | LED_SCR);
  EXPECT_EQ(Keystate({"num=on", "caps=toggle", "scroll=off"}), "1,0,1\n");
  EXPECT_EQ(Flags(), defaults | LED_NUM | LED_CAP);
}

TEST_F(Console, ScrollLockFlagDoesNotStopConsoleOutput) {
  SetFlags(0);
  EXPECT_EQ(Keystate({"scroll=on"}), "0,1,0\n");
  // A stopped console refuses this at once with EAGAIN; NUL prints nothing.
  const int out = ::open("/dev/tty0", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(out, 0);
  EXPECT_EQ(::write(out, "", 1), 1) << std::strerror(errno);
  ::close(out);
}

TEST_F(Console, ProgramClearsThenChasesAndEndsOnSigtermLeavingTheFlags) {
  const unsigned char defaults = Flags() & ~kLocks;
  SetFlags(defaults | kLocks);
  Child program({AKS_ACTIONKEYSTATE_PATH}, {"DISPLAY", "WAYLAND_DISPLAY"});
  ASSERT_TRUE(WaitForLocks(0, 5s)) << "locks left on: " << int(Locks());
  Child second({AKS_ACTIONKEYSTATE_PATH}, {"DISPLAY", "WAYLAND_DISPLAY"});
  EXPECT_EQ(second.Wait(5s), 1);
  EXPECT_EQ(second.err(), "actionkeystate: already chasing on the console (process " +
                              std::to_string(program.pid()) + ")\n");
  for (unsigned char want : kWave) ASSERT_TRUE(WaitForLocks(want, 5s)) << int(want);
  ASSERT_TRUE(WaitForLocks(LED_NUM | LED_CAP, 5s));
  program.Signal(SIGTERM);
  const auto status = program.Wait(5s);
  ASSERT_TRUE(status) << "still running after SIGTERM";
  EXPECT_EQ(*status, 0) << program.err();
  const unsigned char after = Locks();
  EXPECT_TRUE(after == (LED_NUM | LED_CAP) || after == kLocks) << int(after);
  EXPECT_EQ(Flags() & ~kLocks, defaults);
}

// Where the session's backend cannot be used, both programs say so in one
// line, keystate with status 1 and actionkeystate with 6, on which its unit
// is not restarted: without a display and without the console (as nobody),
// or with a display named that cannot be reached, which is never given up for
// the console, even where root could use it.
TEST(NoKeyboard, TheSessionsBackendFailingIsOneLineAndStatusOneNeverAnother) {
  const bool can_drop = ::geteuid() == 0 || ::access("/dev/tty0", R_OK | W_OK) != 0;
  const struct {
    const char* path;
    std::vector<std::string> env;
    bool as_nobody;
    const char* line;
  } runs[] = {
      {AKS_ACTIONKEYSTATE_PATH,
       {"DISPLAY", "WAYLAND_DISPLAY"},
       true,
       "actionkeystate: no access to /dev/tty0: permission denied\n"},
      {AKS_KEYSTATE_PATH, {"DISPLAY=:9999"}, false, "keystate: cannot open display \":9999\"\n"},
      {AKS_ACTIONKEYSTATE_PATH,
       {"DISPLAY", "WAYLAND_DISPLAY=wayland-9"},
       false,
       "actionkeystate: Wayland session, but "},
      {AKS_KEYSTATE_PATH,
       {"ACTIONKEYSTATE_BACKEND=vt100"},
       false,
       "keystate: ACTIONKEYSTATE_BACKEND=vt100, but this build has no vt100 backend (it has:"},
  };
  for (const auto& run : runs) {
    if (run.as_nobody && !can_drop) continue;
    Child program({run.path}, run.env, run.as_nobody);
    const auto status = program.Wait(5s);
    ASSERT_TRUE(status) << run.path;
    if (*status == 126 || *status == 127) GTEST_SKIP() << "cannot run " << run.path << " as nobody";
    EXPECT_EQ(*status, std::string(run.path) == AKS_KEYSTATE_PATH ? 1 : 6) << run.line;
    EXPECT_EQ(program.err().rfind(run.line, 0), 0u) << program.err();
    EXPECT_EQ(std::count(program.err().begin(), program.err().end(), '\n'), 1) << program.err();
    EXPECT_EQ(program.out(), "");
  }
}

}  // namespace
}  // namespace aks::testing
