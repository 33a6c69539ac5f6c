// The X11 backend and the program on a private Xvfb, checked by an
// independent X client.
#include <gtest/gtest.h>  // before Xlib, whose None macro it clashes with

#include <X11/XKBlib.h>
#include <X11/keysym.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "x11_probe.h"

namespace aks::testing {

using tools::Lit;
using tools::XProbe;
namespace {

using namespace std::chrono_literals;

const Lit kAllOff{}, kAllOn{true, true, true};
const Lit kWave[] = {{true, false, false}, {true, true, false},  {true, true, true},
                     {false, true, true},  {false, false, true}, {false, false, false}};

class XvfbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    xvfb_ = std::make_unique<Xvfb>();
    ASSERT_TRUE(xvfb_->ok()) << "Xvfb did not start";
    ::setenv("DISPLAY", xvfb_->name().c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");  // the programs must choose X11
    ::unsetenv("XDG_SESSION_TYPE");
    ::unsetenv("ACTIONKEYSTATE_BACKEND");
  }
  void TearDown() override { xvfb_.reset(); }

 private:
  std::unique_ptr<Xvfb> xvfb_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

int WaveStep(Lit lit) {
  for (int i = 0; i < 6; ++i) {
    if (kWave[i] == lit) return i;
  }
  return -1;
}

// Waits until process `pid` has a socket open.
bool HasSocket(pid_t pid, std::chrono::milliseconds timeout) {
  char target[8] = {};
  for (auto end = std::chrono::steady_clock::now() + timeout;
       std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(5ms)) {
    for (int fd = 3; fd < 16; ++fd) {
      const std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
      if (::readlink(path.c_str(), target, 7) == 7 && std::string(target) == "socket:") return true;
    }
  }
  return false;
}

std::string Keystate(std::vector<std::string> args = {}) {
  args.insert(args.begin(), AKS_KEYSTATE_PATH);
  return Output(args);
}

// Each lock read, and flipped (Scroll Lock included), through the X11 backend
// as keystate uses it, without a single key event.
TEST(X11Keyboard, ReadsAndTogglesEachLockAsAnotherClientSeesIt) {
  XProbe probe;
  const struct {
    Lit alone;
    const char* report;
    const char* toggle;
  } locks[] = {{{true, false, false}, "1,0,0\n", "num=toggle"},
               {{false, true, false}, "0,0,1\n", "caps=toggle"},
               {{false, false, true}, "0,1,0\n", "scroll=toggle"}};
  for (const auto& lock : locks) {
    SCOPED_TRACE(lock.toggle);
    probe.Set(lock.alone);
    EXPECT_EQ(Keystate(), lock.report);
    EXPECT_EQ(Keystate({lock.toggle}), "0,0,0\n");
    EXPECT_EQ(probe.Read(), kAllOff);
  }
  probe.Set({false, false, true});
  EXPECT_EQ(Keystate({"num=on", "caps=toggle", "scroll=off"}), "1,0,1\n");
  EXPECT_EQ(probe.Read(), Lit({true, true, false}));
  EXPECT_EQ(probe.KeyPresses().size(), 0u) << "a key reached the server";
}

// Only a lock that has a key whose first keysym is the lock and whose press
// locks it is ever changed; one without is left alone, and the others still work.
TEST(X11Keyboard, TapsNoKeyThatIsNotPlainlyTheLock) {
  Xvfb server;
  ASSERT_TRUE(server.ok());
  XProbe probe(server.name().c_str());
  const std::vector<std::string> env = {"DISPLAY=" + server.name()};
  const int num = probe.Keycode(XK_Num_Lock), caps = probe.Keycode(XK_Caps_Lock);
  probe.Set({true, false, false});

  probe.RemapKey(num, NoSymbol);  // no Num_Lock anywhere
  EXPECT_EQ(Output({AKS_KEYSTATE_PATH, "num=toggle", "caps=toggle"}, env), "1,0,1\n");
  probe.RemapKey(num, {XK_a, XK_Num_Lock});  // Num_Lock only on the second level
  EXPECT_EQ(Output({AKS_KEYSTATE_PATH, "num=toggle"}, env), "1,0,1\n");
  probe.RemapKey(caps, XK_Caps_Lock);

  // Caps Lock's key a Control modifier; Caps_Lock only on the Shift keys.
  for (const char* option : {"caps:ctrl_modifier", "ctrl:nocaps,shift:both_capslock"}) {
    SCOPED_TRACE(option);
    Output({"setxkbmap", "-display", server.name(), "-option", "", "-option", option});
    EXPECT_EQ(Output({AKS_KEYSTATE_PATH, "caps=toggle"}, env), "1,0,1\n");
  }
  EXPECT_EQ(probe.KeyPresses().size(), 0u) << "a key reached the server";
}

// A display the program may not use is the answer: one line, with what Xlib
// said folded into it, and status 1.
TEST(X11Keyboard, AnUnusableDisplayIsOneLineWithXlibsReasonInIt) {
  // The server accepts only clients that know this cookie; the program does not.
  const std::string auth = ::testing::TempDir() + "aks-xauth";
  {
    std::string entry = std::string("\xff\xff\0\0\0\0\0\x12", 8) + "MIT-MAGIC-COOKIE-1";
    entry += std::string("\0\x10", 2) + "0123456789abcdef";
    std::FILE* file = std::fopen(auth.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(entry.data(), 1, entry.size(), file);
    std::fclose(file);
  }
  Xvfb server({"-auth", auth});
  ASSERT_TRUE(server.ok());
  Child keystate({AKS_KEYSTATE_PATH}, {"DISPLAY=" + server.name(), "XAUTHORITY=/dev/null"});
  EXPECT_EQ(keystate.Wait(5s), 1);
  const std::string& err = keystate.err();
  EXPECT_EQ(err.rfind("keystate: cannot open display \"" + server.name() + "\"", 0), 0u) << err;
  EXPECT_NE(err.find("uthoriz"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(keystate.out(), "");
}

class Program : public ::testing::Test {
 protected:
  // Starts the program once the locks read `start`, and waits for its window.
  void Start(Lit start) {
    probe.Set(start);
    program = std::make_unique<Child>(std::vector<std::string>{AKS_ACTIONKEYSTATE_PATH});
    for (int i = 0; i < 500 && window == None; ++i) {
      window = probe.FindWindow("Action Keystate");
      if (window == None) std::this_thread::sleep_for(10ms);
    }
    ASSERT_NE(window, None) << "no window named \"Action Keystate\"";
  }

  // Follows the chase until it shows `lit`.
  void WaitForStep(Lit lit) { ASSERT_TRUE(probe.WaitFor(lit, 5s)) << probe.Read().str(); }

  XProbe probe;
  std::unique_ptr<Child> program;
  Window window = None;
};

TEST_F(Program, ClearsLocksThenRunsTheWaveInOrderWithOnlyLockKeys) {
  Start(kAllOn);
  // One chase per display: a second program says which one runs, and ends.
  Child second({AKS_ACTIONKEYSTATE_PATH});
  EXPECT_EQ(second.Wait(5s), 1);
  EXPECT_EQ(second.err(), "actionkeystate: already chasing on display \"" +
                              std::string(std::getenv("DISPLAY")) + "\" (process " +
                              std::to_string(program->pid()) + ")\n");
  XWindowAttributes attributes{};
  ASSERT_TRUE(::XGetWindowAttributes(probe.display(), window, &attributes));
  EXPECT_EQ(attributes.map_state, IsUnmapped);

  WaitForStep(kAllOff);
  // Two rounds of the wave, each change one step on from the last.
  Lit last = kAllOff;
  for (int change = 0; change < 12; ++change) {
    const auto lit = probe.NextChange(5s);
    ASSERT_TRUE(lit) << "the chase stopped after " << last.str();
    EXPECT_EQ(WaveStep(*lit), (WaveStep(last) + 1) % 6) << last.str() << " -> " << lit->str();
    last = *lit;
  }
  EXPECT_EQ(probe.KeyPresses().size(), 0u) << "a key reached the server";
}

// A keymap that takes Caps Lock away while the chase runs (and gives it back)
// lets no key reach any client, not even one sent while the new map loads;
// Caps Lock sits out while it has no key.
TEST_F(Program, AKeymapChangeWhileChasingSendsNoKeyAndCapsSitsOutWithoutItsKey) {
  Start(kAllOff);
  const std::string display = std::getenv("DISPLAY");
  // Each round takes Caps Lock away just after its own step turned it off,
  // three steps before its next turn. (Once it has sat out an odd number of
  // turns, the wave no longer passes through all off.)
  const auto caps_just_off = [&] {
    probe.Drain();
    Lit last = probe.Read();
    for (int change = 0; change < 12; ++change) {
      const auto lit = probe.NextChange(5s);
      if (!lit) break;
      if (last.caps && !lit->caps) return true;
      last = *lit;
    }
    return false;
  };
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(caps_just_off()) << "Caps Lock did not take its turn";
    Output({"setxkbmap", "-display", display, "-option", "", "-option", "caps:backspace"});
    probe.Drain();
    for (int change = 0; change < 4; ++change) {
      const auto lit = probe.NextChange(5s);
      ASSERT_TRUE(lit) << "the chase stopped";
      EXPECT_FALSE(lit->caps) << "Caps Lock changed without a key for it";
    }
    Output({"setxkbmap", "-display", display, "-option", ""});
  }
  EXPECT_EQ(probe.KeyPresses().size(), 0u) << "a key reached the server";
}

// The Scroll step flips Scroll Lock from its state as it is now, also after
// another client changed it, and keeps flipping it while the keymap binds
// Scroll_Lock to a modifier and unbinds it again. Another client grabbing the
// server for 400 ms, three times, holds the steps back but keeps them in turn.
TEST_F(Program, EachStepFlipsTheNextLockAsItIsNowThroughKeymapChangesAndGrabs) {
  Start(kAllOff);
  WaitForStep({true, true, false});
  std::this_thread::sleep_for(40ms);  // after the Caps step has taken in all it was sent
  probe.Set({true, true, true});
  Lit last = {true, true, false};
  ASSERT_EQ(probe.NextChange(5s), last) << "the Scroll step did not turn it off";
  // From here the wave is shifted; each change still flips the next lock of
  // the ring, Num, Caps, Scroll, from the states as they are.
  int flipped = 2;
  const auto next_step = [&] {
    const auto lit = probe.NextChange(5s);
    ASSERT_TRUE(lit) << "the chase stopped after " << last.str();
    const bool flips[3] = {lit->num != last.num, lit->caps != last.caps,
                           lit->scroll != last.scroll};
    flipped = (flipped + 1) % 3;
    EXPECT_TRUE(flips[flipped] && flips[0] + flips[1] + flips[2] == 1)
        << last.str() << " -> " << lit->str();
    last = *lit;
  };
  for (bool bound : {true, false}) {
    SCOPED_TRACE(bound ? "Scroll_Lock in Mod3" : "Scroll_Lock in no modifier");
    while (last.scroll) next_step();  // rebound while Scroll Lock is off
    probe.BindModifier(probe.Keycode(XK_Scroll_Lock), Mod3MapIndex, bound);
    for (int change = 0; change < 6 && !HasFatalFailure(); ++change) next_step();
  }
  Display* grabber = ::XOpenDisplay(nullptr);
  ASSERT_NE(grabber, nullptr);
  for (int grab = 0; grab < 3; ++grab) {
    ::XGrabServer(grabber);
    ::XSync(grabber, False);
    std::this_thread::sleep_for(400ms);
    ::XUngrabServer(grabber);
    ::XSync(grabber, False);
    SCOPED_TRACE("after a grab");
    for (int change = 0; change < 5 && !HasFatalFailure(); ++change) next_step();
  }
  ::XCloseDisplay(grabber);
}

// The ways the program is ended from outside; each leaves the locks as the
// chase left them (here {Num,Caps} or the step after), not as they were at start.
TEST_F(Program, EndsOnDeleteWindowDestroyOrSigtermAndLeavesTheLocks) {
  const struct {
    const char* how;
    std::function<void()> end;
  } ways[] = {
      {"WM_DELETE_WINDOW", [this] { probe.SendDeleteWindow(window); }},
      {"XDestroyWindow",
       [this] {
         ::XDestroyWindow(probe.display(), window);
         ::XSync(probe.display(), False);
       }},
      {"SIGTERM", [this] { program->Signal(SIGTERM); }},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.how);
    window = None;
    Start(kAllOn);
    WaitForStep(kAllOff);
    WaitForStep({true, true, false});
    way.end();
    const auto status = program->Wait(5s);
    ASSERT_TRUE(status) << "still running";
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(program->err(), "");
    const Lit after = probe.Read();
    EXPECT_TRUE(WaveStep(after) == 1 || WaveStep(after) == 2) << after.str();
  }
}

// Losing the server ends the program with status 0, also when it was
// started with standard error closed.
TEST(ProgramOnLostServer, EndsQuietlyWhenTheXServerGoesAway) {
  for (const char* redirect : {"", "2>&-"}) {
    SCOPED_TRACE(redirect);
    Xvfb server;
    ASSERT_TRUE(server.ok());
    Child program(
        {"/bin/sh", "-c", std::string("exec \"$0\" ") + redirect, AKS_ACTIONKEYSTATE_PATH},
        {"DISPLAY=" + server.name()});
    {
      XProbe probe(server.name().c_str());
      ASSERT_TRUE(probe.ok());
      ASSERT_TRUE(probe.WaitFor({true, false, false}, 5s));
    }  // closed before the server goes, so only the program loses it
    server.Stop();
    const auto status = program.Wait(5s);
    ASSERT_TRUE(status) << "still running without its X server";
    EXPECT_EQ(*status, 0);
    EXPECT_LE(std::count(program.err().begin(), program.err().end(), '\n'), 1) << program.err();
  }
}

// SIGTERM ends the program at once, whether it is still connecting to an X
// server that does not answer or chasing when the server stops answering.
TEST(ProgramOnStoppedServer, SigtermEndsItAtOnceWhileConnectingOrChasing) {
  for (bool chasing : {false, true}) {
    SCOPED_TRACE(chasing ? "chasing" : "connecting");
    Xvfb server;
    ASSERT_TRUE(server.ok());
    std::unique_ptr<Child> program;
    if (chasing) {
      program = std::make_unique<Child>(std::vector<std::string>{AKS_ACTIONKEYSTATE_PATH},
                                        std::vector<std::string>{"DISPLAY=" + server.name()});
      XProbe probe(server.name().c_str());
      ASSERT_TRUE(probe.WaitFor({true, false, false}, 5s));
    }
    ::kill(server.pid(), SIGSTOP);
    if (!chasing) {
      program = std::make_unique<Child>(std::vector<std::string>{AKS_ACTIONKEYSTATE_PATH},
                                        std::vector<std::string>{"DISPLAY=" + server.name()});
      ASSERT_TRUE(HasSocket(program->pid(), 5s)) << "never connected";
    }
    program->Signal(SIGTERM);
    const auto status = program->Wait(1s);
    ::kill(server.pid(), SIGCONT);
    ASSERT_TRUE(status) << "still running a second after SIGTERM";
    EXPECT_EQ(*status, 0);
  }
}

// Bad arguments are one line with a hint and status 2, for both programs.
TEST(CommandLine, BadArgumentsAreOneLineAndStatusTwoHelpAndVersionAnswer) {
  const std::vector<std::vector<std::string>> bad = {{AKS_KEYSTATE_PATH, "num=maybe"},
                                                     {AKS_KEYSTATE_PATH, "light=on"},
                                                     {AKS_KEYSTATE_PATH, "num"},
                                                     {AKS_KEYSTATE_PATH, "num=on", "num=off"},
                                                     {AKS_KEYSTATE_PATH, "--frobnicate"},
                                                     {AKS_KEYSTATE_PATH, "Num=on"},
                                                     {AKS_ACTIONKEYSTATE_PATH, "--daemon"},
                                                     {AKS_ACTIONKEYSTATE_PATH, "--help", "me"}};
  for (const auto& argv : bad) {
    Child program(argv);
    const std::string name = argv[0].substr(argv[0].rfind('/') + 1);
    EXPECT_EQ(program.Wait(5s), 2) << argv[1];
    EXPECT_EQ(program.err().rfind(name + ": " + argv.back() + ": ", 0), 0u) << program.err();
    EXPECT_NE(program.err().find("(try '" + name + " --help')\n"), std::string::npos);
    // keystate says it in one line; actionkeystate adds its short usage.
    const std::string usage = name == "keystate" ? "" : "usage: actionkeystate";
    EXPECT_EQ(program.err().find('\n') + 1 == program.err().size(), usage.empty());
    EXPECT_NE(program.err().find(usage), std::string::npos) << program.err();
    EXPECT_EQ(program.out(), "") << argv[1];
  }
  for (const char* path : {AKS_KEYSTATE_PATH, AKS_ACTIONKEYSTATE_PATH}) {
    for (const char* arg : {"--version", "-V"}) {
      Child version({path, arg});
      EXPECT_EQ(version.Wait(5s), 0);
      EXPECT_NE(version.out().find(" 1.01\n"), std::string::npos) << version.out();
    }
    for (const char* arg : {"--help", "-h"}) {
      Child help({path, arg});
      EXPECT_EQ(help.Wait(5s), 0);
      EXPECT_EQ(help.out().rfind("usage: ", 0), 0u) << help.out();
    }
  }

  // An answer that cannot be written is a failure, not a silent success.
  for (const char* command :
       {"exec \"$0\" >/dev/full", "exec \"$0\" >&-", "exec \"$0\" --version >&-"}) {
    Child lost({"/bin/sh", "-c", command, AKS_KEYSTATE_PATH});
    EXPECT_EQ(lost.Wait(5s), 1) << command;
    EXPECT_EQ(lost.err().rfind("keystate: cannot write to standard output: ", 0), 0u)
        << command << ": " << lost.err();
  }
}

}  // namespace
}  // namespace aks::testing
