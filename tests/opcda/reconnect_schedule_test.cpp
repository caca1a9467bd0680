// The reconnect schedule: first attempt 10 s after a loss, doubling after each failed attempt up
// to 5 minutes, back to 10 s after a success.
#include <gtest/gtest.h>

#include "opcda/reconnect_schedule.h"

namespace krelta {
namespace {

using std::chrono::seconds;

TEST(ReconnectSchedule, DefaultsDoubleUpToFiveMinutesAndASuccessStartsOver) {
  ReconnectSchedule schedule;
  const ReconnectSchedule::Clock::time_point t0{};
  EXPECT_FALSE(schedule.Due(t0 + seconds(3600)));  // nothing lost, nothing to do

  schedule.Lost(t0);
  EXPECT_FALSE(schedule.Due(t0 + seconds(9)));
  ASSERT_TRUE(schedule.Due(t0 + seconds(10)));
  // Failed attempts at the due times: 10 s, then 20, 40, 80, 160 and 300 s (the cap) apart.
  auto now = t0 + seconds(10);
  for (long gap : {20, 40, 80, 160, 300, 300}) {
    schedule.AttemptFailed(now);
    EXPECT_FALSE(schedule.Due(now + seconds(gap - 1))) << gap;
    EXPECT_TRUE(schedule.Due(now + seconds(gap))) << gap;
    now += seconds(gap);
  }
  // A second loss while lost keeps the schedule.
  schedule.Lost(now);
  EXPECT_EQ(schedule.Interval(), seconds(300));

  schedule.Reconnected();
  EXPECT_FALSE(schedule.IsLost());
  schedule.Lost(now);
  EXPECT_EQ(schedule.LostAt(), now);
  EXPECT_TRUE(schedule.Due(now + seconds(10)));
  schedule.AttemptFailed(now + seconds(10));
  EXPECT_EQ(schedule.Interval(), seconds(20));
}

}  // namespace
}  // namespace krelta
