// SPDX-License-Identifier: MIT
// The plug-in's pipe operations and their guard against a concurrent close:
// each goes to the pipe of its role; once a close has begun none touches the
// interface object; the close ends blocked reads and waits for every
// operation let in before it, so that no object is ever used after its close.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scanner_bus.h"
#include "usb/usb_access.h"

namespace {

// The interrupt pipe first, so that roles and references differ.
constexpr uint8_t kInterrupt = 1;
constexpr uint8_t kBulkOut = 2;
constexpr uint8_t kBulkIn = 3;

struct Latch {
    std::mutex lock;
    std::condition_variable changed;
    bool set = false;
    void Set() {
        std::lock_guard<std::mutex> guard(lock);
        set = true;
        changed.notify_all();
    }
    bool Wait() {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(10), [&] { return set; });
    }
};

class PipeAccess : public ScannerBusTest {
protected:
    void SetUp() override {
        ScannerBusTest::SetUp();
        id_ = AttachInterface(FakeInterface{}.Pipes({kInterruptInPipe, kBulkOutPipe, kBulkInPipe}),
                              &device_);
        ASSERT_EQ(OpenScannerInterface(&state_), 0);
    }
    void TearDown() override {
        CloseScannerInterface(&state_);
        gUsbOperationEnteredHook.store(nullptr);
        ScannerBusTest::TearDown();
    }

    // A device that answers every bulk write with "<ok/>" on the bulk-in pipe.
    void AnswerEveryWrite() {
        SimSetResponder(
            id_,
            [](void*, uint32_t interfaceId, uint8_t, const uint8_t*, uint32_t) {
                SimQueueInPacket(interfaceId, kBulkIn, "<ok/>", 5);
            },
            nullptr);
    }

    uint32_t id_ = 0;
    uint32_t device_ = 0;
};

// --- each operation on the pipe of its role -----------------------------------

TEST_F(PipeAccess, EachOperationUsesThePipeOfItsRole) {
    AnswerEveryWrite();
    ASSERT_EQ(WriteBulkPipe(&state_, "<cmd/>", 6), PlatformOk);
    uint8_t pipe = 0;
    ASSERT_TRUE(SimGetWrite(id_, 0, &pipe, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(pipe, kBulkOut);

    char answer[16] = {};
    uint32_t size = sizeof answer;
    ASSERT_EQ(ReadBulkPipe(&state_, answer, &size), PlatformOk);
    EXPECT_EQ(std::string(answer, size), "<ok/>");

    SimQueueInPacket(id_, kInterrupt, "\x00\x00\x00\x01\x05", 5);
    uint8_t packet[256];
    size = sizeof packet;
    ASSERT_EQ(ReadInterruptPipe(&state_, packet, &size), PlatformOk);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(packet[4], 5);
}

TEST_F(PipeAccess, PlatformResultsComeBackUnchanged) {
    SimFailStep(SimStepRead, PlatformErrStalled, id_, kInterrupt);
    SimFailStep(SimStepWrite, PlatformErrNoDevice, id_, kBulkOut);
    uint8_t packet[256];
    uint32_t size = sizeof packet;
    EXPECT_EQ(ReadInterruptPipe(&state_, packet, &size), PlatformErrStalled);
    EXPECT_EQ(WriteBulkPipe(&state_, "x", 1), PlatformErrNoDevice);
    SimDetachDevice(device_);
    size = sizeof packet;
    EXPECT_EQ(ReadInterruptPipe(&state_, packet, &size), PlatformErrNoDevice);
}

TEST_F(PipeAccess, AbsentArgumentsAreRefused) {
    uint8_t packet[4];
    uint32_t size = sizeof packet;
    EXPECT_EQ(ReadInterruptPipe(nullptr, packet, &size), PlatformErrBadArgument);
    EXPECT_EQ(ReadInterruptPipe(&state_, nullptr, &size), PlatformErrBadArgument);
    EXPECT_EQ(ReadBulkPipe(&state_, packet, nullptr), PlatformErrBadArgument);
    EXPECT_EQ(WriteBulkPipe(&state_, nullptr, 1), PlatformErrBadArgument);
    EXPECT_EQ(WriteBulkPipe(nullptr, "x", 1), PlatformErrBadArgument);
}

// --- after a close ------------------------------------------------------------

TEST_F(PipeAccess, AfterCloseEveryOperationFailsWithoutAUsbCall) {
    CloseScannerInterface(&state_);
    Trace();
    uint8_t packet[256];
    uint32_t size = sizeof packet;
    EXPECT_EQ(ReadInterruptPipe(&state_, packet, &size), PlatformErrNotOpen);
    EXPECT_EQ(ReadBulkPipe(&state_, packet, &size), PlatformErrNotOpen);
    EXPECT_EQ(WriteBulkPipe(&state_, "x", 1), PlatformErrNotOpen);
    EXPECT_TRUE(lines_.empty());
    EXPECT_EQ(SimWriteCount(id_), 0u);
}

// --- a close racing with the watch thread --------------------------------------

TEST_F(PipeAccess, CloseEndsABlockedInterruptReadAndABulkReadNeverAnswered) {
    PlatformReturn interrupt = PlatformOk, written = PlatformErrError, answered = PlatformOk;
    std::thread reader([&] {
        uint8_t packet[256];
        uint32_t size = sizeof packet;
        interrupt = ReadInterruptPipe(&state_, packet, &size);
    });
    std::thread exchange([&] {
        written = WriteBulkPipe(&state_, "<cmd/>", 6);
        char answer[64];
        uint32_t size = sizeof answer;
        answered = ReadBulkPipe(&state_, answer, &size);
    });
    ASSERT_TRUE(SimWaitForBlockedReads(2, 10000));
    CloseScannerInterface(&state_);
    reader.join();
    exchange.join();
    EXPECT_EQ(interrupt, PlatformErrAborted);
    EXPECT_EQ(written, PlatformOk);
    EXPECT_EQ(answered, PlatformErrAborted);
    EXPECT_EQ(state_.usbInterface, nullptr);
}

// The hardest moment: a read let in just before the close began reaches
// ReadPipe only after the close's abort went by. The close must notice that
// the read is still inside, abort again and wait; a read arriving meanwhile
// is refused without touching the object.
Latch* gReaderInside;
Latch* gFirstAbortsDone;
std::atomic<int> gEntries;
PlatformReturn gLateResult;

TEST_F(PipeAccess, CloseWaitsForAReadLetInBeforeItAndRefusesLaterOnes) {
    Latch inside, firstAbortsDone;
    gReaderInside = &inside;
    gFirstAbortsDone = &firstAbortsDone;
    gEntries = 0;
    gLateResult = PlatformOk;
    gUsbOperationEnteredHook.store([](PluginState* state) {
        if (gEntries++ > 0) {
            return;
        }
        gReaderInside->Set();
        EXPECT_TRUE(gFirstAbortsDone->Wait());
        uint8_t late[8];
        uint32_t size = sizeof late;
        gLateResult = ReadInterruptPipe(state, late, &size);
    });
    UsbPlatformSetTraceHook(
        [](void* context, const char* line) {
            auto* lines = static_cast<std::vector<std::string>*>(context);
            lines->push_back(line);
            // The first pass over the pipes ends with the interrupt pipe's.
            if (lines->back().find("ClearPipeStallBothEnds(1)") != std::string::npos) {
                gFirstAbortsDone->Set();
            }
        },
        &lines_);

    PlatformReturn result = PlatformOk;
    std::thread reader([&] {
        uint8_t packet[256];
        uint32_t size = sizeof packet;
        result = ReadInterruptPipe(&state_, packet, &size);
    });
    ASSERT_TRUE(inside.Wait());
    CloseScannerInterface(&state_);
    reader.join();
    UsbPlatformSetTraceHook(nullptr, nullptr);

    EXPECT_EQ(result, PlatformErrAborted);
    EXPECT_EQ(gLateResult, PlatformErrNotOpen);
    EXPECT_EQ(gEntries.load(), 1);
    int interruptAborts = 0;
    for (const std::string& line : lines_) {
        interruptAborts += line.find("AbortPipe(1)") != std::string::npos;
    }
    EXPECT_GE(interruptAborts, 2);  // the first abort came too early for the read
    EXPECT_EQ(lines_.back().find("Release") != std::string::npos, true);
}

// Many closes at arbitrary moments of a reader's and a bulk exchanger's
// loops: no operation may ever reach a closed or released object.
TEST_F(PipeAccess, NoOperationEverReachesAClosedObject) {
    AnswerEveryWrite();
    for (int round = 0; round < 150; ++round) {
        if (round > 0) {
            ASSERT_EQ(OpenScannerInterface(&state_), 0);
        }
        for (int i = 0; i < round % 4; ++i) {
            SimQueueInPacket(id_, kInterrupt, "\x00\x00\x00\x01\x00", 5);
        }
        PlatformReturn readEnd = PlatformOk, exchangeEnd = PlatformOk;
        std::thread reader([&] {
            uint8_t packet[256];
            do {
                uint32_t size = sizeof packet;
                readEnd = ReadInterruptPipe(&state_, packet, &size);
            } while (readEnd == PlatformOk);
        });
        std::thread exchanger([&] {
            char answer[16];
            do {
                exchangeEnd = WriteBulkPipe(&state_, "<cmd/>", 6);
                uint32_t size = sizeof answer;
                if (exchangeEnd == PlatformOk) {
                    exchangeEnd = ReadBulkPipe(&state_, answer, &size);
                }
            } while (exchangeEnd == PlatformOk);
        });
        if (round % 2 == 1) {
            std::this_thread::yield();  // vary the moment of the close
        }
        CloseScannerInterface(&state_);
        reader.join();
        exchanger.join();
        EXPECT_TRUE(readEnd == PlatformErrAborted || readEnd == PlatformErrNotOpen) << readEnd;
        EXPECT_TRUE(exchangeEnd == PlatformErrAborted || exchangeEnd == PlatformErrNotOpen);
        ASSERT_EQ(SimGetCounters().misuses, 0u) << "round " << round << ": " << FirstMisuse();
        ASSERT_EQ(SimGetCounters().openObjects, 0u);
    }
}

}  // namespace
