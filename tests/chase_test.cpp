#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "chase/frmActionKeystate.h"
#include "sim.h"

namespace aks {
namespace {

using namespace std::chrono_literals;
using sim::Duration;
using sim::SimHost;
using sim::SimKeyboard;
using Kind = SimKeyboard::CallKind;

class Chase : public ::testing::Test {
 protected:
  void Start(bool num, bool scroll, bool caps) {
    kb.SetLock(VK_NUMLOCK, num);
    kb.SetLock(VK_SCROLL, scroll);
    kb.SetLock(VK_CAPITAL, caps);
    form.Load();
  }

  // The lit locks, in chase order.
  std::string Lit() const {
    std::string out;
    for (auto [vk, name] :
         {std::pair{VK_NUMLOCK, "Num"}, {VK_CAPITAL, "Caps"}, {VK_SCROLL, "Scroll"}}) {
      if (!kb.IsOn(vk)) continue;
      out += out.empty() ? "" : ",";
      out += name;
    }
    return "{" + out + "}";
  }

  std::vector<SimKeyboard::Call> Calls(Kind kind) const {
    std::vector<SimKeyboard::Call> out;
    for (const auto& call : kb.calls()) {
      if (call.kind == kind) out.push_back(call);
    }
    return out;
  }

  int TicksOf(std::size_t timer) const {
    int n = 0;
    for (const auto& tick : host.ticks()) n += tick.timer == timer;
    return n;
  }

  SimHost host;
  SimKeyboard kb{&host};
  frmActionKeystate form{kb, host};
};

const char* const kWave[] = {"{Num}",         "{Num,Caps}", "{Num,Caps,Scroll}",
                             "{Caps,Scroll}", "{Scroll}",   "{}"};

TEST_F(Chase, LoadsHiddenThenSwitchesLocksOnAtStartOffAt10ms) {
  Start(true, false, true);
  EXPECT_FALSE(host.visible());
  EXPECT_EQ(host.caption(), "Action Keystate");
  host.AdvanceBy(9ms);
  EXPECT_TRUE(kb.calls().empty());
  host.AdvanceBy(1ms);
  EXPECT_EQ(Lit(), "{}");
  EXPECT_EQ(Calls(Kind::kKeyEvent).size(), 4u) << "one tap each for Num and Caps";
  host.AdvanceBy(99ms);
  EXPECT_EQ(Lit(), "{}");
}

TEST_F(Chase, FromAllOffClearingSendsNoKeyAndNumComesOn100msAfterTimer6) {
  Start(false, false, false);
  host.AdvanceBy(10ms);
  EXPECT_TRUE(Calls(Kind::kKeyEvent).empty());
  EXPECT_EQ(Calls(Kind::kRead).size(), 3u);
  host.AdvanceBy(99ms);
  EXPECT_EQ(Lit(), "{}");
  host.AdvanceBy(1ms);
  EXPECT_EQ(Lit(), "{Num}");
  const auto events = Calls(Kind::kKeyEvent);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].vk, VK_NUMLOCK);
  EXPECT_EQ(events[0].at, 110ms);
}

TEST_F(Chase, WaveFillsAndEmptiesInNumCapsScrollOrderEvery600ms) {
  Start(true, false, true);
  host.AdvanceBy(60ms);
  for (int step = 0; step < 18; ++step) {
    host.AdvanceBy(100ms);
    EXPECT_EQ(Lit(), kWave[step % 6]) << "step " << step;
  }
  // Each step is one tap of one key, and nothing is read after the clearing.
  const auto events = Calls(Kind::kKeyEvent);
  EXPECT_EQ(events.size(), 2u * (2 + 18));
  EXPECT_EQ(Calls(Kind::kRead).size(), 3u);
}

TEST_F(Chase, ALockPressedByTheUserIsNotCorrectedAndShiftsTheWave) {
  Start(false, false, false);
  host.AdvanceBy(260ms);  // {Num,Caps}
  kb.SetLock(VK_CAPITAL, false);
  const char* const shifted[] = {"{Num,Scroll}", "{Scroll}", "{Caps,Scroll}", "{Caps}",
                                 "{Num,Caps}"};
  for (const char* lit : shifted) {
    host.AdvanceBy(100ms);
    EXPECT_EQ(Lit(), lit);
  }
  EXPECT_EQ(Calls(Kind::kRead).size(), 3u);
}

TEST_F(Chase, StartupTimersDueTogetherRunNestedInsideTheFirstHandlersPump) {
  Start(true, true, true);
  host.AdvanceBy(10ms);
  // Timer4 ticks from the loop; its ActionKeystate pumps, which runs Timer5,
  // whose pump runs Timer6, all before Timer4 switches its own timer off.
  const auto& ticks = host.ticks();
  ASSERT_EQ(ticks.size(), 3u);
  EXPECT_EQ(ticks[0].depth, 0);
  EXPECT_EQ(ticks[1].depth, 1);
  EXPECT_EQ(ticks[2].depth, 2);
  EXPECT_EQ(Lit(), "{}");
  EXPECT_FALSE(host.TimerEnabled(Timer4) || host.TimerEnabled(Timer5) || host.TimerEnabled(Timer6));
  EXPECT_TRUE(host.TimerEnabled(Timer1));
  EXPECT_FALSE(host.TimerEnabled(Timer2) || host.TimerEnabled(Timer3));
}

TEST_F(Chase, OwnTimerFallingDueDuringItsCallTicksAgainAndActsOnTheSameLock) {
  kb.set_call_cost(Kind::kKeyEvent, 6ms);  // a press and release outlast the 10 ms interval
  Start(true, false, false);
  host.AdvanceBy(40ms);
  EXPECT_EQ(TicksOf(Timer4), 2);
  int num_reads = 0;
  for (const auto& call : Calls(Kind::kRead)) num_reads += call.vk == VK_NUMLOCK;
  EXPECT_EQ(num_reads, 2);
  EXPECT_EQ(Lit(), "{}");
  EXPECT_EQ(TicksOf(Timer5), 1);
  EXPECT_EQ(TicksOf(Timer6), 1);
}

TEST_F(Chase, ClosingTheWindowEndsTheRunAndLeavesTheLocksAsTheyAre) {
  Start(false, false, false);
  host.CloseWindowAt(450ms);
  EXPECT_EQ(host.Run(), 0);
  EXPECT_EQ(host.Now(), 450ms);
  EXPECT_EQ(Lit(), "{Caps,Scroll}");
  const std::size_t calls = kb.calls().size();
  host.AdvanceBy(2s);
  EXPECT_EQ(kb.calls().size(), calls);
  EXPECT_EQ(Lit(), "{Caps,Scroll}");
}

TEST_F(Chase, ClosedWhileATickIsHandledTheTapFinishesAndNothingFollows) {
  kb.set_call_cost(Kind::kKeyEvent, 1ms);
  Start(false, false, false);
  host.CloseWindowAt(111ms);  // between Timer1's press and release
  EXPECT_EQ(host.Run(), 0);
  EXPECT_EQ(Lit(), "{Num}");
  const auto events = Calls(Kind::kKeyEvent);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(events[1].flags & KEYEVENTF_KEYUP);
  EXPECT_FALSE(host.TimerEnabled(Timer2)) << "a closed window's timers stay off";
}

}  // namespace
}  // namespace aks
