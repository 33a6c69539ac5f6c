// The console backend and both programs on this machine's virtual console.
// Skipped where /dev/tty0 cannot be read and written; the console's flags are
// put back as they were after each test.
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

#include "console_platform.h"
#include "keystate/modActionKeystate.h"
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
    char flags = 0;
    if (fd_ < 0 || ::ioctl(fd_, KDGKBLED, &flags) != 0) {
      GTEST_SKIP() << "no read-write /dev/tty0 here: " << std::strerror(errno);
    }
    saved_ = static_cast<unsigned char>(flags);
  }
  void TearDown() override {
    if (fd_ < 0) return;
    ::ioctl(fd_, KDSKBLED, static_cast<unsigned long>(saved_));
    ::close(fd_);
  }

  // Read and written on a descriptor of the test's own.
  unsigned char Flags() {
    char flags = 0;
    ::ioctl(fd_, KDGKBLED, &flags);
    return static_cast<unsigned char>(flags);
  }
  void SetLocks(unsigned char locks) {
    ::ioctl(fd_, KDSKBLED, static_cast<unsigned long>((Flags() & ~kLocks) | locks));
  }
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

  int fd_ = -1;
  unsigned char saved_ = 0;
};

TEST_F(Console, ReadsAndTapsEachFlagAndKeepsTheDefaults) {
  const unsigned char defaults = (LED_NUM | LED_SCR) << 4;
  ::ioctl(fd_, KDSKBLED, static_cast<unsigned long>(defaults));
  std::string why;
  auto platform = console::Open(why);
  ASSERT_TRUE(platform) << why;
  KeyboardServices& kb = platform->keyboard();

  const struct {
    VirtualKey vk;
    unsigned char flag;
  } locks[] = {{VK_NUMLOCK, LED_NUM}, {VK_CAPITAL, LED_CAP}, {VK_SCROLL, LED_SCR}};
  for (const auto& lock : locks) {
    SCOPED_TRACE(int(lock.vk));
    SetLocks(lock.flag);
    for (const auto& other : locks) {
      EXPECT_EQ(kb.GetKeyState(other.vk) & 1, other.vk == lock.vk ? 1 : 0);
    }
    kb.keybd_event(lock.vk, 0x45, KEYEVENTF_EXTENDEDKEY, 0);
    EXPECT_EQ(Flags(), defaults) << "the press flips only its own flag";
    kb.keybd_event(lock.vk, 0x45, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0);
    EXPECT_EQ(Flags(), defaults) << "the release changes nothing";
  }
  EXPECT_EQ(ActionKeystate(kb, false, laOn, laToggle, laOff), "");
  EXPECT_EQ(Flags(), defaults | LED_NUM | LED_SCR);
  EXPECT_EQ(ActionKeystate(kb, true, laLeave, laLeave, laLeave), "1,1,0");
}

TEST_F(Console, ScrollLockFlagDoesNotStopConsoleOutput) {
  std::string why;
  auto platform = console::Open(why);
  ASSERT_TRUE(platform) << why;
  ActionKeystate(platform->keyboard(), false, laLeave, laOn, laLeave);
  ASSERT_EQ(Locks() & LED_SCR, LED_SCR);
  // A stopped console would refuse this at once with EAGAIN; NUL prints nothing.
  const int out = ::open("/dev/tty0", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(out, 0);
  EXPECT_EQ(::write(out, "", 1), 1) << std::strerror(errno);
  ::close(out);
}

TEST_F(Console, ProgramClearsThenChasesAndEndsOnSigtermLeavingTheFlags) {
  const unsigned char defaults = Flags() & ~kLocks;
  SetLocks(kLocks);
  Child program({AKS_ACTIONKEYSTATE_PATH}, {"DISPLAY"});
  ASSERT_TRUE(WaitForLocks(0, 5s)) << "locks left on: " << int(Locks());
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

TEST_F(Console, KeystateReportsAndChangesTheConsoleLocks) {
  const struct {
    unsigned char locks;
    const char* report;
  } cases[] = {{0, "0,0,0"}, {kLocks, "1,1,1"}, {LED_NUM | LED_CAP, "1,0,1"}, {LED_SCR, "0,1,0"}};
  for (const auto& c : cases) {
    SetLocks(c.locks);
    Child keystate({AKS_KEYSTATE_PATH}, {"DISPLAY"});
    ASSERT_EQ(keystate.Wait(5s), 0) << keystate.err();
    EXPECT_EQ(keystate.out(), std::string(c.report) + "\n");
  }
  SetLocks(LED_SCR);
  Child keystate({AKS_KEYSTATE_PATH, "num=on", "caps=toggle", "scroll=off"}, {"DISPLAY"});
  ASSERT_EQ(keystate.Wait(5s), 0) << keystate.err();
  EXPECT_EQ(keystate.out(), "1,0,1\n");
  EXPECT_EQ(Locks(), LED_NUM | LED_CAP);
}

// Not a console test as such: without X and without access to the console,
// both programs say why in one line.
TEST(NoKeyboard, BothProgramsSayWhyInOneLineAndExitOne) {
  if (::geteuid() != 0 && ::access("/dev/tty0", R_OK | W_OK) == 0) {
    GTEST_SKIP() << "this user can use the console; the test needs root to drop it";
  }
  for (const char* path : {AKS_ACTIONKEYSTATE_PATH, AKS_KEYSTATE_PATH}) {
    Child program({path}, {"DISPLAY"}, true);
    const auto status = program.Wait(5s);
    ASSERT_TRUE(status) << path;
    if (*status == 126 || *status == 127) GTEST_SKIP() << "cannot run " << path << " as nobody";
    EXPECT_EQ(*status, 1) << path;
    EXPECT_EQ(std::count(program.err().begin(), program.err().end(), '\n'), 1) << program.err();
    EXPECT_NE(program.err().find("no DISPLAY; no access to /dev/tty0: permission denied"),
              std::string::npos)
        << program.err();
  }
}

}  // namespace
}  // namespace aks::testing
