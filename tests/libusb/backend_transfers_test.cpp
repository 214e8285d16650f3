// SPDX-License-Identifier: MIT
// What the libusb backend asks of the kernel and what it hands back: one
// packet per interrupt read, whole packets per bulk read, a zero-length
// packet after a write of whole packets, stalls and their clearing, and the
// trace of a failed write. Packet sizes and zero-length packets themselves
// are for real hardware to show; here the URBs the mock receives prove what
// the backend requests.
#include <linux/usbdevice_fs.h>

#include <future>

#include "support/libusb_fixture.h"

namespace {

constexpr uint8_t kBulkOutPipe = 1;
constexpr uint8_t kBulkInPipe = 2;
constexpr uint8_t kInterruptPipe = 3;

std::vector<uint8_t> Pattern(size_t length, uint8_t first) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

class Transfers : public MockedKernelTest {
protected:
    void SetUp() override {
        MockedKernelTest::SetUp();
        object_ = OpenMakerInterface();
        ASSERT_NE(object_, nullptr);
    }
    void TearDown() override {
        if (object_ != nullptr) {
            CloseAndRelease(object_);
        }
        MockedKernelTest::TearDown();
    }

    PlatformReturn Read(uint8_t pipeRef, uint32_t room, std::vector<uint8_t>* bytes) {
        bytes->assign(room, 0);
        uint32_t size = room;
        const PlatformReturn status = object_->ops->ReadPipe(object_, pipeRef, bytes->data(), &size);
        bytes->resize(size);
        return status;
    }

    UsbInterfaceObject* object_ = nullptr;
};

// An interrupt endpoint of 32-byte packets: full packets do not end a
// transfer, so a read of more than one packet would merge them.
class SmallInterruptPackets : public Transfers {
protected:
    void AddDevices() override {
        MockDeviceLayout layout = Zn417Layout();
        layout.interfaces[0].endpoints[2].maxPacketSize = 32;
        scanner_ = MockAddDevice(bus_, 1, {4, 1}, layout);
    }
};

using BulkReads = Transfers;
using BulkWrites = Transfers;
using Stalls = Transfers;
using Closing = Transfers;

TEST_F(SmallInterruptPackets, EachInterruptReadTakesOnePacketHoweverLargeTheRoom) {
    MockQueuePacket(scanner_, kMockInterruptIn, Pattern(32, 0x10));
    MockQueuePacket(scanner_, kMockInterruptIn, Pattern(32, 0x40));
    std::vector<uint8_t> bytes;
    ASSERT_EQ(Read(kInterruptPipe, 256, &bytes), PlatformOk);
    EXPECT_EQ(bytes, Pattern(32, 0x10));
    ASSERT_EQ(Read(kInterruptPipe, 256, &bytes), PlatformOk);
    EXPECT_EQ(bytes, Pattern(32, 0x40));
    for (const MockUrbRecord& urb : UrbsOn(MockGetReport(scanner_), kMockInterruptIn)) {
        EXPECT_EQ(urb.bufferLength, 32);
    }
}

TEST_F(SmallInterruptPackets, APacketLargerThanTheRoomIsAnOverrunWithTheRoomFilled) {
    MockQueuePacket(scanner_, kMockInterruptIn, Pattern(32, 0x10));
    std::vector<uint8_t> bytes;
    EXPECT_EQ(Read(kInterruptPipe, 8, &bytes), PlatformErrOverrun);
    EXPECT_EQ(bytes, Pattern(8, 0x10));
}

TEST_F(BulkReads, ABulkReadAsksForWholePacketsAndHandsBackNoMoreThanItsRoom) {
    // The clock's acknowledgement is read into 128 bytes; a device that
    // sends a longer packet must not overflow the transfer.
    MockQueueMessage(scanner_, kMockBulkIn, Pattern(300, 0x20));
    std::vector<uint8_t> bytes;
    EXPECT_EQ(Read(kBulkInPipe, 128, &bytes), PlatformErrOverrun);
    EXPECT_EQ(bytes, Pattern(128, 0x20));
    const std::vector<MockUrbRecord> urbs = UrbsOn(MockGetReport(scanner_), kMockBulkIn);
    ASSERT_EQ(urbs.size(), 1u);
    EXPECT_EQ(urbs[0].bufferLength, 512);
}

TEST_F(BulkReads, AnAnswerOfSeveralPacketsArrivesWholeWithinTheRoom) {
    MockQueueMessage(scanner_, kMockBulkIn, Pattern(1100, 0x30));
    std::vector<uint8_t> bytes;
    ASSERT_EQ(Read(kBulkInPipe, 2048, &bytes), PlatformOk);
    EXPECT_EQ(bytes, Pattern(1100, 0x30));
    EXPECT_EQ(UrbsOn(MockGetReport(scanner_), kMockBulkIn)[0].bufferLength, 2048);
}

TEST_F(BulkWrites, AWriteOfWholePacketsEndsWithAZeroLengthPacketAndOthersDoNot) {
    const std::vector<uint8_t> whole = Pattern(1024, 0);
    const std::vector<uint8_t> part = Pattern(100, 0);
    ASSERT_EQ(object_->ops->WritePipe(object_, kBulkOutPipe, whole.data(), 1024), PlatformOk);
    ASSERT_EQ(object_->ops->WritePipe(object_, kBulkOutPipe, part.data(), 100), PlatformOk);
    const std::vector<MockUrbRecord> urbs = UrbsOn(MockGetReport(scanner_), kMockBulkOut);
    ASSERT_EQ(urbs.size(), 2u);
    EXPECT_EQ(urbs[0].bufferLength, 1024);
    EXPECT_NE(urbs[0].flags & USBDEVFS_URB_ZERO_PACKET, 0u);
    EXPECT_EQ(urbs[0].data, whole);
    EXPECT_EQ(urbs[1].flags & USBDEVFS_URB_ZERO_PACKET, 0u);
}

TEST_F(BulkWrites, AFailedWriteIsTracedWithWhatWentOutOfWhatWasAsked) {
    MockFaults faults;
    faults.stallEndpoint = kMockBulkOut;
    MockSetFaults(scanner_, faults);
    const std::vector<uint8_t> packet = Pattern(36, 0x41);
    EXPECT_EQ(object_->ops->WritePipe(object_, kBulkOutPipe, packet.data(), 36), PlatformErrStalled);
    const std::vector<std::string> lines = TraceLines::Get().With("WritePipe(1)");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("stalled"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(", 0 bytes: (of 36)"), std::string::npos) << lines[0];
}

TEST_F(Stalls, AStalledReadFailsUntilTheStallIsClearedOnBothEnds) {
    MockFaults faults;
    faults.stallEndpoint = kMockBulkIn;
    MockSetFaults(scanner_, faults);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(Read(kBulkInPipe, 64, &bytes), PlatformErrStalled);

    ASSERT_EQ(object_->ops->ClearPipeStallBothEnds(object_, kBulkInPipe), PlatformOk);
    const MockReport report = MockGetReport(scanner_);
    EXPECT_EQ(report.clearFeatures, 1u);  // the device's end
    EXPECT_EQ(report.clearHalts, 1u);     // the host's end
    MockQueueMessage(scanner_, kMockBulkIn, Pattern(10, 1));
    EXPECT_EQ(Read(kBulkInPipe, 64, &bytes), PlatformOk);
    EXPECT_EQ(bytes, Pattern(10, 1));
}

TEST_F(Stalls, ADeviceThatDoesNotAnswerTheClearIsAskedOnceAndNotAgain) {
    MockFaults faults;
    faults.controlNeverCompletes = true;
    MockSetFaults(scanner_, faults);
    for (uint8_t pipeRef = 1; pipeRef <= 3; ++pipeRef) {
        EXPECT_EQ(object_->ops->ClearPipeStallBothEnds(object_, pipeRef), PlatformErrError);
    }
    const MockReport report = MockGetReport(scanner_);
    size_t controls = 0;
    for (const MockUrbRecord& urb : report.urbs) {
        controls += urb.type == USBDEVFS_URB_TYPE_CONTROL ? 1 : 0;
    }
    EXPECT_EQ(controls, 1u);
    EXPECT_EQ(report.clearHalts, 0u);  // the system's request waits 5 s: never made
    EXPECT_EQ(TraceLines::Get().With("the device does not answer").size(), 3u);
}

// A close ends the reads waiting on every pipe, not only on one: the watch's
// interrupt read and an exchange's bulk read both return aborted, promptly.
TEST_F(Closing, CloseEndsTheReadsWaitingOnEveryPipe) {
    auto readOn = [this](uint8_t pipeRef) {
        return std::async(std::launch::async, [this, pipeRef] {
            std::vector<uint8_t> bytes;
            return Read(pipeRef, 64, &bytes);
        });
    };
    std::future<PlatformReturn> interrupt = readOn(kInterruptPipe);
    std::future<PlatformReturn> bulk = readOn(kBulkInPipe);
    ASSERT_TRUE(MockWaitPending(scanner_, kMockInterruptIn, 1, kWaitMs));
    ASSERT_TRUE(MockWaitPending(scanner_, kMockBulkIn, 1, kWaitMs));
    EXPECT_EQ(object_->ops->USBInterfaceClose(object_), PlatformOk);
    // A read left waiting would never end: give each a bound, not a pause.
    ASSERT_EQ(interrupt.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    ASSERT_EQ(bulk.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    EXPECT_EQ(interrupt.get(), PlatformErrAborted);
    EXPECT_EQ(bulk.get(), PlatformErrAborted);
    EXPECT_EQ(object_->ops->Release(object_), PlatformOk);
    object_ = nullptr;
}

}  // namespace
