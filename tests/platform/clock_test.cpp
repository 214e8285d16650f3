// The platform clock: virtual time, stepping, and held sleeps that a test
// releases or cancels.
#include "platform/clock.h"

#include <gtest/gtest.h>
#include <pthread.h>

namespace {

struct VirtualClockTest : ::testing::Test {
    void SetUp() override {
        const struct timeval start = {1000, 250000};
        VirtualClockEnable(&start);
    }
    void TearDown() override { VirtualClockDisable(); }
};

TEST_F(VirtualClockTest, TimeIsSetSteppedAndAdvancedBySleeps) {
    struct timeval now;
    PlatformTimeOfDay(&now);
    EXPECT_EQ(now.tv_sec, 1000);
    EXPECT_EQ(now.tv_usec, 250000);

    const struct timespec tenth = {0, 100000000};
    EXPECT_EQ(PlatformSleep(&tenth), 0);
    VirtualClockAdvance(800000);
    PlatformTimeOfDay(&now);
    EXPECT_EQ(now.tv_sec, 1001);
    EXPECT_EQ(now.tv_usec, 150000);
    EXPECT_EQ(VirtualClockSleepCount(), 1u);

    const struct timeval earlier = {900, 0};
    VirtualClockSet(&earlier);  // a step backwards
    EXPECT_EQ(PlatformTime(), 900);
}

void* SleepOnce(void* result) {
    const struct timespec tenth = {0, 100000000};
    *static_cast<int*>(result) = PlatformSleep(&tenth);
    return nullptr;
}

TEST_F(VirtualClockTest, HeldSleepWaitsUntilReleased) {
    VirtualClockHoldSleeps(true);
    int result = -5;
    pthread_t sleeper;
    ASSERT_EQ(pthread_create(&sleeper, nullptr, SleepOnce, &result), 0);
    ASSERT_TRUE(VirtualClockWaitForSleeper(10000));
    EXPECT_EQ(PlatformTime(), 1000);  // the time does not move while held
    VirtualClockHoldSleeps(false);
    pthread_join(sleeper, nullptr);
    EXPECT_EQ(result, 0);
    struct timeval now;
    PlatformTimeOfDay(&now);
    EXPECT_EQ(now.tv_usec, 350000);
}

TEST_F(VirtualClockTest, HeldSleepIsACancellationPoint) {
    VirtualClockHoldSleeps(true);
    int result = -5;
    pthread_t sleeper;
    ASSERT_EQ(pthread_create(&sleeper, nullptr, SleepOnce, &result), 0);
    ASSERT_TRUE(VirtualClockWaitForSleeper(10000));
    pthread_cancel(sleeper);
    void* exitValue = nullptr;
    pthread_join(sleeper, &exitValue);
    EXPECT_EQ(exitValue, PTHREAD_CANCELED);
    EXPECT_EQ(result, -5);
    EXPECT_FALSE(VirtualClockWaitForSleeper(0));  // nobody left in the sleep
}

TEST(RealClock, FollowsTheSystemClock) {
    struct timeval before;
    gettimeofday(&before, nullptr);
    struct timeval now;
    PlatformTimeOfDay(&now);
    EXPECT_GE(now.tv_sec, before.tv_sec);
    EXPECT_LE(now.tv_sec - before.tv_sec, 1);
    const struct timespec none = {0, 0};
    EXPECT_EQ(PlatformSleep(&none), 0);
    EXPECT_EQ(PlatformSleep(nullptr), -1);
}

}  // namespace
