// The X11 backend and the program on a private Xvfb, checked by an
// independent X client.
#include <gtest/gtest.h>  // before Xlib, whose None macro it clashes with

#include <X11/XKBlib.h>
#include <X11/keysym.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
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

std::string Keystate(std::vector<std::string> args = {}) {
  args.insert(args.begin(), AKS_KEYSTATE_PATH);
  return Output(args);
}

// Each lock read, and flipped by one tap (Scroll Lock included), through the
// X11 backend as keystate uses it.
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
  EXPECT_EQ(probe.KeyPresses().size(), 3u) << "one press per tap";
  probe.Set({false, false, true});
  EXPECT_EQ(Keystate({"num=on", "caps=toggle", "scroll=off"}), "1,0,1\n");
  EXPECT_EQ(probe.Read(), Lit({true, true, false}));
}

TEST(X11Keyboard, ALockKeysymMissingFromTheKeymapIsLeftAlone) {
  XProbe probe;
  probe.Set({true, false, false});
  probe.RemapKey(probe.Keycode(XK_Num_Lock), NoSymbol);
  ASSERT_EQ(probe.Read(), Lit({true, false, false}));
  Keystate({"num=off", "caps=toggle"});
  EXPECT_TRUE(probe.WaitFor({true, true, false}, 5s)) << probe.Read().str();
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
  for (int keycode : probe.KeyPresses()) {
    EXPECT_TRUE(keycode == probe.Keycode(XK_Num_Lock) || keycode == probe.Keycode(XK_Caps_Lock) ||
                keycode == probe.Keycode(XK_Scroll_Lock))
        << keycode;
  }
}

TEST_F(Program, StopsTappingAKeyThatTheKeymapNoLongerMakesALockKey) {
  Start(kAllOff);
  WaitForStep({true, false, false});
  const int caps = probe.Keycode(XK_Caps_Lock);
  probe.RemapKey(caps, XK_Control_L);
  const std::size_t before = probe.KeyPresses().size();
  for (int change = 0; change < 4; ++change) ASSERT_TRUE(probe.NextChange(5s));
  const std::vector<int> presses = probe.KeyPresses();
  EXPECT_EQ(std::count(presses.begin() + before, presses.end(), caps), 0)
      << "tapped Control_L where Caps_Lock was";
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

TEST(ProgramOnLostServer, EndsQuietlyWhenTheXServerGoesAway) {
  Xvfb server;
  ASSERT_TRUE(server.ok());
  Child program({AKS_ACTIONKEYSTATE_PATH}, {"DISPLAY=" + server.name()});
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

TEST(Keystate, BadArgumentsGiveUsageOnStderrAndStatusTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {"num=maybe"}, {"light=on"}, {"num"}, {"num=on", "num=off"}, {"--frobnicate"}, {"Num=on"}};
  for (const auto& args : bad) {
    std::vector<std::string> argv = {AKS_KEYSTATE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    Child keystate(argv);
    EXPECT_EQ(keystate.Wait(5s), 2) << args[0];
    EXPECT_NE(keystate.err().find("usage: keystate"), std::string::npos) << args[0];
    EXPECT_EQ(keystate.out(), "") << args[0];
  }
  Child version({AKS_KEYSTATE_PATH, "--version"});
  EXPECT_EQ(version.Wait(5s), 0);
  EXPECT_NE(version.out().find("1.01"), std::string::npos) << version.out();
  Child help({AKS_KEYSTATE_PATH, "--help"});
  EXPECT_EQ(help.Wait(5s), 0);
  EXPECT_NE(help.out().find("usage: keystate"), std::string::npos);
}

}  // namespace
}  // namespace aks::testing
