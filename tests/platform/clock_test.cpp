// SPDX-License-Identifier: MIT
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

// Starts a thread that sleeps a tenth of a second while sleeps are held, and
// waits until it is inside the sleep.
pthread_t StartHeldSleeper(int* result) {
    VirtualClockHoldSleeps(true);
    pthread_t sleeper;
    EXPECT_EQ(pthread_create(&sleeper, nullptr, SleepOnce, result), 0);
    EXPECT_TRUE(VirtualClockWaitForSleeper(10000));
    return sleeper;
}

TEST_F(VirtualClockTest, HeldSleepWaitsUntilReleased) {
    int result = -5;
    const pthread_t sleeper = StartHeldSleeper(&result);
    EXPECT_EQ(PlatformTime(), 1000);  // the time does not move while held
    VirtualClockHoldSleeps(false);
    pthread_join(sleeper, nullptr);
    EXPECT_EQ(result, 0);
    struct timeval now;
    PlatformTimeOfDay(&now);
    EXPECT_EQ(now.tv_usec, 350000);
}

TEST_F(VirtualClockTest, HeldSleepIsACancellationPoint) {
    int result = -5;
    const pthread_t sleeper = StartHeldSleeper(&result);
    pthread_cancel(sleeper);
    void* exitValue = nullptr;
    pthread_join(sleeper, &exitValue);
    EXPECT_EQ(exitValue, PTHREAD_CANCELED);
    EXPECT_EQ(result, -5);
    EXPECT_FALSE(VirtualClockWaitForSleeper(0));  // nobody left in the sleep
}

TEST_F(VirtualClockTest, DurationsNanosleepRefusesAreRefused) {
    const struct timespec refused[] = {{0, 1000000000L}, {0, -1}, {-1, 0}};
    for (const struct timespec& duration : refused) {
        EXPECT_EQ(PlatformSleep(&duration), -1);
    }
    EXPECT_EQ(PlatformSleep(nullptr), -1);
    EXPECT_EQ(PlatformTime(), 1000);
    EXPECT_EQ(VirtualClockSleepCount(), 0u);
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
    const struct timespec tooManyNanoseconds = {0, 1000000000L};
    EXPECT_EQ(PlatformSleep(&tooManyNanoseconds), -1);
}

}  // namespace
