#include <gtest/gtest.h>

#include "sim/installation/SampleCycle.h"

// The cycle is a pure function of the clock, so these tests pass times in
// directly instead of sleeping.

TEST(SampleCycle, IdleUntilStartedThenRunsEveryStateBackToIdle)
{
    SampleCycle c({100, 200, 300});
    EXPECT_EQ(c.state(5.0), 0);
    c.start(10.0);
    EXPECT_EQ(c.state(10.0), 1);
    EXPECT_EQ(c.state(10.099), 1);
    EXPECT_EQ(c.state(10.1), 2);
    EXPECT_EQ(c.state(10.299), 2);
    EXPECT_EQ(c.state(10.3), 3);
    EXPECT_EQ(c.state(10.599), 3);
    EXPECT_EQ(c.state(10.6), 0);
    EXPECT_EQ(c.state(20.0), 0);
}

TEST(SampleCycle, LatePollerSeesTheSameTimelineAsAFastOne)
{
    SampleCycle fast({100, 200, 300});
    SampleCycle late({100, 200, 300});
    fast.start(0.0);
    late.start(0.0);
    for (double t = 0.0; t < 0.25; t += 0.01)
        fast.state(t);
    // The late poller skips state 1 entirely; both must agree afterwards.
    EXPECT_EQ(late.state(0.25), 2);
    EXPECT_EQ(fast.state(0.25), 2);
    EXPECT_EQ(late.state(0.35), 3);
    EXPECT_EQ(fast.state(0.35), 3);
}

TEST(SampleCycle, ShorteningTheHeldStateEndsItAtOnce)
{
    // The sensed sip sets state 1 to 0 while the probe is down.
    SampleCycle c({5000, 100});
    c.start(0.0);
    EXPECT_EQ(c.state(1.0), 1);
    ASSERT_TRUE(c.set_duration(1, 0, 1.0));
    // State 2 begins now and keeps its full 100 ms.
    EXPECT_EQ(c.state(1.0), 2);
    EXPECT_EQ(c.state(1.099), 2);
    EXPECT_EQ(c.state(1.1), 0);
}

TEST(SampleCycle, LengtheningTheHeldStateKeepsItsStartTime)
{
    SampleCycle c({100, 100});
    c.start(0.0);
    ASSERT_TRUE(c.set_duration(1, 300, 0.05));
    EXPECT_EQ(c.state(0.299), 1);
    EXPECT_EQ(c.state(0.3), 2);
}

TEST(SampleCycle, ZeroDurationStatesArePassedWithoutBeingSeen)
{
    SampleCycle c({0, 0, 100});
    c.start(0.0);
    EXPECT_EQ(c.state(0.0), 3);
    EXPECT_EQ(c.state(0.1), 0);
}

TEST(SampleCycle, StartDuringACycleBeginsAgainAtStateOne)
{
    SampleCycle c({100, 100});
    c.start(0.0);
    EXPECT_EQ(c.state(0.15), 2);
    c.start(0.15);
    EXPECT_EQ(c.state(0.15), 1);
    EXPECT_EQ(c.state(0.26), 2);
}

TEST(SampleCycle, RefusesDurationsOutsideItsStatesOrBelowZero)
{
    SampleCycle c({100, 200});
    EXPECT_FALSE(c.set_duration(0, 50, 0.0));
    EXPECT_FALSE(c.set_duration(3, 50, 0.0));
    EXPECT_FALSE(c.set_duration(2, -1, 0.0));
    EXPECT_EQ(c.duration(2), 200);
    EXPECT_EQ(c.duration(0), 0);
    EXPECT_EQ(c.duration(3), 0);
    EXPECT_TRUE(c.set_duration(2, 50, 0.0));
    EXPECT_EQ(c.duration(2), 50);
}

TEST(SampleCycle, StopEndsTheCycleAndACycleWithoutStatesNeverStarts)
{
    SampleCycle c({100, 100});
    c.start(0.0);
    c.stop();
    EXPECT_EQ(c.state(0.05), 0);
    SampleCycle none({});
    none.start(0.0);
    EXPECT_EQ(none.state(0.0), 0);
    EXPECT_EQ(none.num_states(), 0);
}
