#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "keystate/modActionKeystate.h"
#include "sim.h"

namespace aks {
namespace {

using sim::SimKeyboard;
using Kind = SimKeyboard::CallKind;

// A compact picture of the calls made: "R90" read, "D14" press, "U14" release, "P" pump.
std::string Trace(const SimKeyboard& kb) {
  std::string out;
  char buf[8];
  for (const auto& call : kb.calls()) {
    if (!out.empty()) out += ' ';
    switch (call.kind) {
      case Kind::kRead:
        std::snprintf(buf, sizeof buf, "R%02X", call.vk);
        break;
      case Kind::kKeyEvent:
        std::snprintf(buf, sizeof buf, "%c%02X", call.flags & KEYEVENTF_KEYUP ? 'U' : 'D', call.vk);
        break;
      case Kind::kPump:
        std::snprintf(buf, sizeof buf, "P");
        break;
    }
    out += buf;
  }
  return out;
}

// `held`: the user is holding the three keys down, which sets GetKeyState's
// high bits; only bit 0 says whether a lock is on.
void SetLocks(SimKeyboard& kb, bool num, bool scroll, bool caps, bool held = false) {
  kb.SetLock(VK_NUMLOCK, num);
  kb.SetLock(VK_SCROLL, scroll);
  kb.SetLock(VK_CAPITAL, caps);
  for (VirtualKey vk : kLockKeys) kb.HoldKey(vk, held);
}

TEST(ActionKeystate, LeaveAndUnknownCodesTouchNothingButStillPumpOnce) {
  const LockAction codes[] = {laLeave, LockAction(4), LockAction(-1), LockAction(32767),
                              LockAction(-32768)};
  for (LockAction code : codes) {
    SimKeyboard kb;
    SetLocks(kb, true, false, true);
    EXPECT_STREQ(ActionKeystate(kb, false, code, code, code).c_str(), "");
    EXPECT_EQ(Trace(kb), "P") << "code " << code;
    EXPECT_TRUE(kb.IsOn(VK_NUMLOCK));
    EXPECT_FALSE(kb.IsOn(VK_SCROLL));
    EXPECT_TRUE(kb.IsOn(VK_CAPITAL));
  }
}

// Each key's action goes to its own key: parameters are Num, Scroll, Caps.
TEST(ActionKeystate, OnAndOffReadJustBeforeDecidingAndTapOnlyWhenNeeded) {
  struct Case {
    LockAction num, scroll, caps;
    bool was_num, was_scroll, was_caps;
    const char* trace;
    bool now_num, now_scroll, now_caps;
  };
  const Case cases[] = {
      {laOn, laLeave, laLeave, true, false, false, "R90 P", true, false, false},
      {laOn, laLeave, laLeave, false, false, false, "R90 D90 U90 P", true, false, false},
      {laLeave, laOff, laLeave, false, false, true, "R91 P", false, false, true},
      {laLeave, laOff, laLeave, false, true, false, "R91 D91 U91 P", false, false, false},
      {laLeave, laLeave, laOn, false, false, false, "R14 D14 U14 P", false, false, true},
      {laLeave, laLeave, laOff, false, false, true, "R14 D14 U14 P", false, false, false},
      {laOff, laOff, laOff, true, true, true, "R90 D90 U90 R91 D91 U91 R14 D14 U14 P", false, false,
       false},
      {laOn, laOff, laOn, true, true, false, "R90 R91 D91 U91 R14 D14 U14 P", true, false, true},
  };
  for (bool held : {false, true}) {
    for (const Case& c : cases) {
      SimKeyboard kb;
      SetLocks(kb, c.was_num, c.was_scroll, c.was_caps, held);
      EXPECT_STREQ(ActionKeystate(kb, false, c.num, c.scroll, c.caps).c_str(), "");
      EXPECT_EQ(Trace(kb), c.trace) << "held " << held;
      EXPECT_EQ(kb.IsOn(VK_NUMLOCK), c.now_num) << c.trace;
      EXPECT_EQ(kb.IsOn(VK_SCROLL), c.now_scroll) << c.trace;
      EXPECT_EQ(kb.IsOn(VK_CAPITAL), c.now_caps) << c.trace;
    }
  }
}

TEST(ActionKeystate, ToggleTapsEachKeyWithoutReadingWithScan45AndTheExtendedFlag) {
  SimKeyboard kb;
  SetLocks(kb, true, false, true);
  EXPECT_STREQ(ActionKeystate(kb, false, laToggle, laToggle, laToggle).c_str(), "");
  EXPECT_EQ(Trace(kb), "D90 U90 D91 U91 D14 U14 P");
  EXPECT_FALSE(kb.IsOn(VK_NUMLOCK));
  EXPECT_TRUE(kb.IsOn(VK_SCROLL));
  EXPECT_FALSE(kb.IsOn(VK_CAPITAL));
  for (const auto& call : kb.calls()) {
    if (call.kind != Kind::kKeyEvent) continue;
    EXPECT_EQ(call.scan, 0x45) << "vk " << int(call.vk);
    EXPECT_EQ(call.flags & ~KEYEVENTF_KEYUP, KEYEVENTF_EXTENDEDKEY) << "vk " << int(call.vk);
    EXPECT_EQ(call.extra_info, 0u);
  }
}

// Reads Num, Scroll, Caps before building the text, from bit 0 alone (the
// keys are held down); the action codes change nothing in this mode and
// nothing is pumped.
TEST(ActionKeystate, ReportReadsNumScrollCapsAndIgnoresTheCodes) {
  struct Case {
    bool num, scroll, caps;
    const char* text;
  };
  const Case cases[] = {{false, false, false, "0,0,0"}, {true, true, true, "1,1,1"},
                        {false, false, true, "0,0,1"},  {false, true, false, "0,1,0"},
                        {true, false, false, "1,0,0"},  {true, false, true, "1,0,1"}};
  for (const Case& c : cases) {
    SimKeyboard kb;
    SetLocks(kb, c.num, c.scroll, c.caps, /*held=*/true);
    EXPECT_STREQ(ActionKeystate(kb, true, laToggle, laOff, laOn).c_str(), c.text);
    EXPECT_STREQ(ActionKeystate(kb, true, laLeave, laLeave, laLeave).c_str(), c.text);
    EXPECT_EQ(Trace(kb), "R90 R91 R14 R90 R91 R14");
  }
}

}  // namespace
}  // namespace aks
