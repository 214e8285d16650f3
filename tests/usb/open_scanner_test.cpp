// SPDX-License-Identifier: MIT
// Finding, opening and closing the scanner's interface: pipe roles, the six
// property tests, the host's location, one failing step at a time, registry
// order, and closes that have nothing to do.
#include <gtest/gtest.h>

#include <ostream>

#include "scanner_bus.h"
#include "support/alloc_failure.h"
#include "usb/usb_access.h"

namespace {

class OpenScanner : public ScannerBusTest {
protected:
    // The interface that got the plug-in's writes: the one it opened.
    uint32_t OpenedInterface(const std::vector<uint32_t>& candidates) {
        EXPECT_EQ(WriteBulkPipe(&state_, "?", 1), PlatformOk);
        for (uint32_t id : candidates) {
            if (SimWriteCount(id) > 0) {
                return id;
            }
        }
        return 0;
    }
};

// --- pipe roles come from the pipes' properties ------------------------------

TEST_F(OpenScanner, OpensTheInterfaceAndNamesItsPipesByTheirProperties) {
    struct Layout {
        std::vector<SimPipe> pipes;
        uint8_t bulkOut, bulkIn, interrupt;
    };
    const Layout layouts[] = {{{kBulkOutPipe, kBulkInPipe, kInterruptInPipe}, 1, 2, 3},
                              {{kInterruptInPipe, kBulkInPipe, kBulkOutPipe}, 3, 2, 1}};
    for (const Layout& layout : layouts) {
        uint32_t device = 0;
        AttachInterface(FakeInterface{}.Pipes(layout.pipes), &device);
        ASSERT_EQ(OpenScannerInterface(&state_), 0);
        EXPECT_NE(state_.usbInterface, nullptr);
        EXPECT_EQ(state_.bulkOutPipe, layout.bulkOut);
        EXPECT_EQ(state_.bulkInPipe, layout.bulkIn);
        EXPECT_EQ(state_.interruptPipe, layout.interrupt);
        EXPECT_EQ(SimGetCounters().openObjects, 1u);
        CloseScannerInterface(&state_);
        SimDetachDevice(device);
    }
}

TEST_F(OpenScanner, GivesUpPipesThatLeaveARoleEmptyOrAnotherEndpointCount) {
    AttachInterface(FakeInterface{}.Pipes({kBulkInPipe, kBulkInPipe, kInterruptInPipe}));
    AttachInterface(FakeInterface{}.Pipes({kBulkOutPipe, kBulkInPipe, kInterruptOutPipe}));
    AttachInterface(FakeInterface{}.Pipes({kBulkOutPipe, kBulkInPipe}));
    AttachInterface(
        FakeInterface{}.Pipes({kBulkOutPipe, kBulkInPipe, kInterruptInPipe, kBulkInPipe}));
    EXPECT_EQ(OpenScannerInterface(&state_), -1);
    EXPECT_EQ(state_.usbInterface, nullptr);
    EXPECT_EQ(state_.bulkInPipe | state_.bulkOutPipe | state_.interruptPipe, 0);
    EXPECT_EQ(SimGetCounters().objectsCreated, 4u);  // each was opened and given back
}

// --- the six property tests --------------------------------------------------

struct PropertyCase {
    const char* name;
    int32_t wrongValue;
};
void PrintTo(const PropertyCase& c, std::ostream* out) {
    *out << c.name << " = " << c.wrongValue;
}

class PropertyTests : public OpenScanner, public ::testing::WithParamInterface<PropertyCase> {};

TEST_P(PropertyTests, AWrongOrAbsentValuePassesTheInterfaceOver) {
    AttachInterface(FakeInterface{}.Set(GetParam().name, GetParam().wrongValue));
    AttachInterface(FakeInterface{}.Drop(GetParam().name));
    EXPECT_EQ(OpenScannerInterface(&state_), -1);
    EXPECT_EQ(SimGetCounters().objectsCreated, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Discovery, PropertyTests,
    ::testing::Values(PropertyCase{"bInterfaceProtocol", 254}, PropertyCase{"bInterfaceNumber", 1},
                      PropertyCase{"idVendor", MakerVendorId + 1},
                      PropertyCase{"idProduct", static_cast<int32_t>(ModelProductId) + 1},
                      PropertyCase{"bNumEndpoints", 2}, PropertyCase{"locationID", kOtherLocation}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OpenScanner, AnAbsentProductIsNotTheAllOnesProduct) {
    state_.productId = 0xFFFFFFFFu;
    AttachInterface(FakeInterface{}.Drop("idProduct"));
    EXPECT_EQ(OpenScannerInterface(&state_), -1);
}

// --- the host's location -----------------------------------------------------

TEST_F(OpenScanner, TakesTheModelAtTheHostsLocationOnly) {
    const uint32_t elsewhere = AttachInterface(FakeInterface{}.At(kOtherLocation));
    const uint32_t here = AttachInterface(FakeInterface{});
    ASSERT_EQ(OpenScannerInterface(&state_), 0);
    EXPECT_EQ(OpenedInterface({elsewhere, here}), here);
    CloseScannerInterface(&state_);

    location_ = kOtherLocation;  // read through the host's pointer at each open
    ASSERT_EQ(OpenScannerInterface(&state_), 0);
    EXPECT_EQ(OpenedInterface({elsewhere, here}), elsewhere);
    CloseScannerInterface(&state_);

    location_ = 0x7;
    EXPECT_EQ(OpenScannerInterface(&state_), -1);
}

// --- one failing step at a time ----------------------------------------------

struct StepCase {
    const char* label;
    SimStep step;
    int32_t status;
    uint8_t pipeRef;
};
void PrintTo(const StepCase& c, std::ostream* out) {
    *out << c.label;
}

class FailingStep : public OpenScanner, public ::testing::WithParamInterface<StepCase> {};

// The first interface fails at the step; an identical second one is taken.
TEST_P(FailingStep, GivesUpOnlyTheInterfaceAtHandAndLeavesNothingOpen) {
    const std::vector<uint32_t> ids = AttachDevice({FakeInterface{}, FakeInterface{}});
    SimFailStep(GetParam().step, GetParam().status, ids[0], GetParam().pipeRef);
    ASSERT_EQ(OpenScannerInterface(&state_), 0);
    EXPECT_EQ(OpenedInterface(ids), ids[1]);
    const SimCounters counters = SimGetCounters();
    EXPECT_EQ(counters.openObjects, 1u);
    EXPECT_EQ(counters.unreleasedObjects, 1u);
    EXPECT_EQ(counters.liveServices + counters.livePropertySets + counters.liveIterators, 0u);
    CloseScannerInterface(&state_);
}

TEST_P(FailingStep, FailsWhenNoOtherInterfaceFits) {
    const uint32_t id = AttachInterface(FakeInterface{});
    SimFailStep(GetParam().step, GetParam().status, id, GetParam().pipeRef);
    EXPECT_EQ(OpenScannerInterface(&state_), -1);
    EXPECT_EQ(state_.usbInterface, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Discovery, FailingStep,
    ::testing::Values(StepCase{"PropertySet", SimStepProperties, PlatformErrNoMemory, 0},
                      StepCase{"NoPropertySet", SimStepProperties, PlatformOk, 0},
                      StepCase{"CreateObject", SimStepCreateObject, PlatformErrError, 0},
                      StepCase{"NoObject", SimStepCreateObject, PlatformOk, 0},
                      StepCase{"Open", SimStepOpen, PlatformErrExclusiveAccess, 0},
                      StepCase{"NumEndpoints", SimStepNumEndpoints, PlatformErrNoDevice, 0},
                      StepCase{"PipeProperties1", SimStepPipeProperties, PlatformErrError, 1},
                      StepCase{"PipeProperties2", SimStepPipeProperties, PlatformErrError, 2},
                      StepCase{"PipeProperties3", SimStepPipeProperties, PlatformErrError, 3}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(OpenScanner, PassesOverAnInterfaceHeldByAnotherClient) {
    const std::vector<uint32_t> ids = AttachDevice({FakeInterface{}, FakeInterface{}});
    SimSetHeldByOtherClient(ids[0], true);
    ASSERT_EQ(OpenScannerInterface(&state_), 0);
    EXPECT_EQ(OpenedInterface(ids), ids[1]);
    CloseScannerInterface(&state_);
}

// --- registry order ----------------------------------------------------------

TEST_F(OpenScanner, TakesTheFirstFittingInterfaceInRegistryOrder) {
    FakeInterface later;
    later.order = 2;
    FakeInterface sooner;
    sooner.order = 1;
    const uint32_t second = AttachInterface(later);
    const uint32_t first = AttachInterface(sooner);
    ASSERT_EQ(OpenScannerInterface(&state_), 0);
    EXPECT_EQ(OpenedInterface({first, second}), first);
    EXPECT_EQ(SimGetCounters().objectsCreated, 1u);  // the later one was not looked at
    CloseScannerInterface(&state_);
}

// --- closing -----------------------------------------------------------------

TEST_F(OpenScanner, CloseKeepsThePipeReferencesAndACloseWithNothingOpenDoesNothing) {
    CloseScannerInterface(&state_);
    CloseScannerInterface(nullptr);
    EXPECT_EQ(SimGetCounters().objectsCreated, 0u);
    AttachInterface(FakeInterface{});
    ASSERT_EQ(OpenScannerInterface(&state_), 0);
    CloseScannerInterface(&state_);
    EXPECT_EQ(state_.usbInterface, nullptr);
    EXPECT_EQ(state_.interruptPipe, 3);
    Trace();
    CloseScannerInterface(&state_);
    EXPECT_TRUE(lines_.empty());
}

TEST_F(OpenScanner, CloseAbortsAndClearsEveryPipeThenClosesAndReleases) {
    AttachInterface(FakeInterface{}.Pipes({kInterruptInPipe, kBulkOutPipe, kBulkInPipe}));
    ASSERT_EQ(OpenScannerInterface(&state_), 0);
    Trace();
    CloseScannerInterface(&state_);
    std::vector<std::string> calls;  // each line's call, between its second space and its colon
    for (const std::string& line : lines_) {
        const size_t from = line.find(' ', 4) + 1;
        calls.push_back(line.substr(from, line.find(':') - from));
    }
    const std::vector<std::string> expected = {"AbortPipe(3)",      "ClearPipeStallBothEnds(3)",
                                               "AbortPipe(2)",      "ClearPipeStallBothEnds(2)",
                                               "AbortPipe(1)",      "ClearPipeStallBothEnds(1)",
                                               "USBInterfaceClose", "Release"};
    EXPECT_EQ(calls, expected);
}

// --- arguments, repeated opens, memory ---------------------------------------

TEST_F(OpenScanner, FailsOnAnEmptyBusAWalkThatCannotStartOrAbsentArguments) {
    EXPECT_EQ(OpenScannerInterface(&state_), -1);
    AttachInterface(FakeInterface{});
    SimFailStep(SimStepWalk, PlatformErrNoMemory);
    EXPECT_EQ(OpenScannerInterface(&state_), -1);
    EXPECT_EQ(OpenScannerInterface(nullptr), -1);
    state_.hostLocation = nullptr;
    EXPECT_EQ(OpenScannerInterface(&state_), -1);
}

TEST_F(OpenScanner, KeepsAnInterfaceAlreadyOpenInsteadOfLosingIt) {
    AttachDevice({FakeInterface{}, FakeInterface{}});
    ASSERT_EQ(OpenScannerInterface(&state_), 0);
    UsbInterfaceObject* first = state_.usbInterface;
    EXPECT_EQ(OpenScannerInterface(&state_), -1);
    EXPECT_EQ(state_.usbInterface, first);
    EXPECT_EQ(SimGetCounters().openObjects, 1u);
    CloseScannerInterface(&state_);
}

TEST_F(OpenScanner, AllocatesNothingOfItsOwn) {
    AttachInterface(FakeInterface{});
    const uint64_t failedRuns = SweepAllocationFailures(
        [&] {
            const int32_t result = OpenScannerInterface(&state_);
            CloseScannerInterface(&state_);
            return result;
        },
        [&](uint64_t, int32_t result, int64_t liveBefore) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(LiveAllocations(), liveBefore);
        });
    EXPECT_EQ(failedRuns, 0u);
}

}  // namespace
