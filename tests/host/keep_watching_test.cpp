// SPDX-License-Identifier: MIT
// The button keeps working whenever the scanner is there and free: a watch
// that ends on a USB error is started again, a busy scanner is tried again,
// two scanners are waited out, access granted later is picked up at once,
// and the scanner is lent on request. In-process, on the simulated bus.
#include <sys/stat.h>
#include <sys/wait.h>

#include "service_harness.h"

namespace {

using KeepWatching = ServiceHarness;

// The plug-in's blocked read fails with `status` on its next turn: a
// status packet wakes it, and the read after it fails.
void FailTheWatch(Zn417Model* model, int32_t status) {
    ASSERT_TRUE(SimWaitForBlockedReads(1, 5000));
    SimFailStep(SimStepRead, status, Zn417InterfaceId(model), Zn417InterruptPipe, 1);
    Zn417QueueStatusPacket(model);
}

TEST_F(KeepWatching, AWatchEndedByAPipeErrorIsStartedAgainAndTheNextPressRunsItsAction) {
    struct Case {
        const char* name;
        int32_t status;
    };
    for (const Case& c : {Case{"stall", PlatformErrStalled}, Case{"babble", PlatformErrOverrun}}) {
        SCOPED_TRACE(c.name);
        const std::string out = dir_ + "/" + c.name;
        Zn417Model* model = Attach();
        StartService({"--wait", "--exec", "echo $ZN417_BUTTON > '" + out + "'"});
        ASSERT_TRUE(WaitWatching(1));
        FailTheWatch(model, c.status);
        ASSERT_TRUE(WaitWatching(3)) << "not watching again after the " << c.name;
        Press(model, 4);
        ASSERT_TRUE(WaitFor([&] { return !ended_.empty(); }));
        EXPECT_EQ(HarnessReadFile(out), "4\n");
        EXPECT_EQ(StopService(), kHostExitOk);
        EXPECT_EQ(SimGetCounters().openObjects, 0u);
        Detach(model);
        ForgetObservations();
    }
}

TEST_F(KeepWatching, WithoutWaitAWatchThatEndsByItselfEndsTheHostWithItsOwnStatus) {
    Zn417Model* model = Attach();
    StartService({});
    ASSERT_TRUE(WaitWatching(1));
    FailTheWatch(model, PlatformErrStalled);
    EXPECT_EQ(JoinService(), kHostExitWatchEnded);
    EXPECT_EQ(SimGetCounters().openObjects, 0u);
}

TEST_F(KeepWatching, ABusyScannerIsTriedAgainUntilFreeThenItsPressIsServed) {
    Zn417Model* model = Attach();
    SimSetHeldByOtherClient(Zn417InterfaceId(model), true);
    StartService({"--wait", "--exec", "true"});
    // Three tries, each busy: the other program holds it a while.
    ASSERT_TRUE(WaitFor([&] { return waits_.size() >= 3; }));
    EXPECT_EQ(Transitions(), 0);
    SimSetHeldByOtherClient(Zn417InterfaceId(model), false);
    ASSERT_TRUE(WaitWatching(1));
    Press(model, 1);
    ASSERT_TRUE(WaitFor([&] { return ended_.size() == 1; }));
    EXPECT_TRUE(WaitFor([&] { return CountWaits(DeviceBusy) == waits_.size(); }));
}

TEST_F(KeepWatching, TwoScannersAreAWaitUntilOneLeavesThenItsPressIsServed) {
    Zn417Model* first = Attach(0x14100000);
    Zn417Model* second = Attach(0x14200000);
    StartService({"--wait", "--exec", "true"});
    ASSERT_TRUE(WaitFor([&] { return CountWaits(DeviceAmbiguous) == 1; }));
    EXPECT_EQ(Transitions(), 0);
    Detach(first);
    ASSERT_TRUE(WaitWatching(1));
    Press(second, 2);
    ASSERT_TRUE(WaitFor([&] { return ended_.size() == 1; }));
    EXPECT_EQ(ended_[0].event.button, 2);
    EXPECT_EQ(ended_[0].event.device, "20-2");
}

TEST_F(KeepWatching, AccessGrantedLaterStartsTheWatchAndAccessWithdrawnReleasesTheScanner) {
    const std::string node = dir_ + "/node";
    std::ofstream(node) << "";
    ASSERT_EQ(chmod(node.c_str(), 0), 0);
    Zn417Model* model = Attach();
    ASSERT_EQ(SimSetDeviceNode(Zn417DeviceId(model), node.c_str()), PlatformOk);
    StartService({"--wait", "--exec", "true"});
    ASSERT_TRUE(WaitFor([&] { return CountWaits(DeviceDenied) == 1; }));
    // Granted (the seat's user gets the node): watching within a second.
    ASSERT_EQ(chmod(node.c_str(), 0600), 0);
    ASSERT_TRUE(WaitWatching(1, 1000));
    // Withdrawn (the seat switches away): the scanner is released at once.
    ASSERT_EQ(chmod(node.c_str(), 0), 0);
    ASSERT_TRUE(WaitWatching(2, 1000));
    EXPECT_EQ(SimGetCounters().openObjects, 0u);
    ASSERT_EQ(chmod(node.c_str(), 0600), 0);
    ASSERT_TRUE(WaitWatching(3, 1000));
    Press(model, 3);
    ASSERT_TRUE(WaitFor([&] { return ended_.size() == 1; }));
}

TEST_F(KeepWatching, ALentScannerSeesNoPressUntilTakenBack) {
    Zn417Model* model = Attach();
    StartService({"--wait", "--exec", "true"});
    ASSERT_TRUE(WaitWatching(1));
    Control('1');
    ASSERT_TRUE(WaitWatching(2));
    EXPECT_EQ(SimGetCounters().openObjects, 0u);  // free for another program
    VirtualClockAdvance(2 * 1000 * 1000);
    Zn417QueueButtonPress(model, 3);  // nobody reads it while lent
    Control('2');
    ASSERT_TRUE(WaitWatching(3));
    Press(model, 5);
    ASSERT_TRUE(WaitFor([&] { return !ended_.empty(); }));
    EXPECT_EQ(StopService(), kHostExitOk);
    ASSERT_EQ(ended_.size(), 1u);
    EXPECT_EQ(ended_[0].event.button, 5);
}

TEST_F(KeepWatching, WithExitOnUnplugTheInstanceEndsWithItsScanner) {
    Zn417Model* model = Attach();
    StartService({"--wait", "--exit-on-unplug", "--device", "20-1"});
    ASSERT_TRUE(WaitWatching(1));
    Detach(model);
    EXPECT_EQ(JoinService(), kHostExitOk);
}

}  // namespace
