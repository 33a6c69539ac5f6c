#include <gtest/gtest.h>

#include "timer_queue.h"

namespace aks {
namespace {

TEST(TimerQueue, DueTimersComeByDeadlineThenByStartOrder) {
  TimerQueue q;
  const auto late = q.Add(20, true, 0);
  const auto first = q.Add(10, true, 0);
  const auto second = q.Add(10, true, 0);
  const auto off = q.Add(5, false, 0);
  EXPECT_EQ(q.NextDeadline(), 10);
  EXPECT_FALSE(q.PopDue(9));
  EXPECT_EQ(q.PopDue(25), first);
  EXPECT_EQ(q.PopDue(25), second);
  EXPECT_EQ(q.PopDue(25), late);
  // Re-armed one interval after they ran; the disabled timer never falls due.
  EXPECT_FALSE(q.PopDue(34));
  EXPECT_EQ(q.PopDue(35), first);
  EXPECT_FALSE(q.IsEnabled(off));
}

TEST(TimerQueue, EnablingRestartsOnlyADisabledTimer) {
  TimerQueue q;
  const auto a = q.Add(100, true, 0);
  const auto b = q.Add(100, false, 0);
  q.SetEnabled(a, true, 50);  // already running: keeps its deadline
  q.SetEnabled(b, true, 50);
  EXPECT_EQ(q.PopDue(100), a);
  EXPECT_FALSE(q.PopDue(149));
  q.SetEnabled(b, false, 149);
  q.SetEnabled(b, true, 160);
  EXPECT_EQ(q.NextDeadline(), 200);
  EXPECT_EQ(q.PopDue(259), a);
  EXPECT_FALSE(q.PopDue(259));
  EXPECT_EQ(q.PopDue(260), b);
}

}  // namespace
}  // namespace aks
