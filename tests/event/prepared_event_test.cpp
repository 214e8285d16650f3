// SPDX-License-Identifier: MIT
// Tests of the event text prepared while idle: a press that finds the text of
// its event already in the prepared file writes only its bytes, and the file
// it leaves is byte for byte the one a press formatting its own text makes;
// a press of any other event, or one whose name is taken, is handled as if
// nothing had been prepared.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "event/push_scan_event_seam.h"

namespace {

namespace fs = std::filesystem;

constexpr time_t kWhen = 1700000000;  // names the file TRNV.20231114221320.plist in UTC
constexpr const char* kName = "TRNV.20231114221320.plist";
constexpr const char* kDevice = "ZN417";
constexpr int32_t kPort = 0x14100000;

size_t OpenDescriptors() {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class PreparedEvent : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
        for (std::string* directory : {&prepared_, &formatted_}) {
            *directory = (fs::temp_directory_path() / "zn_prepared_XXXXXX").string();
            ASSERT_NE(mkdtemp(directory->data()), nullptr);
        }
    }
    void TearDown() override {
        ReleasePreparedPushScanEvent();
        fs::remove_all(prepared_);
        fs::remove_all(formatted_);
    }

    // The result of a press in `directory`, and the file's bytes ("" if none).
    static int32_t Press(const std::string& directory, const char* device, int32_t port,
                         const std::vector<uint8_t>& bytes, std::string* content) {
        static const uint8_t kNone = 0;  // a press of no bytes still gives a place
        const int32_t result = WritePushScanEventAt(
            directory.c_str(), kWhen, device, port, bytes.empty() ? &kNone : bytes.data(),
            static_cast<int32_t>(bytes.size()));
        const std::string path = directory + "/" + kName;
        *content = ReadAll(path);
        struct stat status;
        if (result == 0) {
            EXPECT_EQ(stat(path.c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 07777, 0666u);
        }
        return result;
    }

    // The press made after preparing for (device, port, count), beside the
    // same press made with nothing prepared; both must give the same.
    void ExpectSameAsFormatted(const char* preparedDevice, int32_t preparedPort,
                               int32_t preparedCount, const char* device, int32_t port,
                               const std::vector<uint8_t>& bytes, int32_t expected) {
        fs::remove(prepared_ + "/" + kName);
        fs::remove(formatted_ + "/" + kName);
        PreparePushScanEventFor(prepared_.c_str(), preparedDevice, preparedPort, preparedCount);
        std::string fromPrepared;
        ASSERT_EQ(Press(prepared_, device, port, bytes, &fromPrepared), expected);
        ReleasePreparedPushScanEvent();
        std::string fromFormatted;
        ASSERT_EQ(Press(formatted_, device, port, bytes, &fromFormatted), expected);
        EXPECT_EQ(fromPrepared, fromFormatted);
        EXPECT_EQ(fromPrepared.empty(), expected != 0);
    }

    std::string prepared_;
    std::string formatted_;
};

std::vector<uint8_t> Bytes(size_t count, uint8_t seed) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 37);
    }
    return bytes;
}

TEST_F(PreparedEvent, EveryPressLeavesTheFileAPressFormattingItsOwnTextMakes) {
    struct Row {
        const char* what;
        const char* preparedDevice;
        int32_t preparedPort;
        int32_t preparedCount;
        const char* device;
        int32_t port;
        size_t count;
        int32_t expected;
    };
    const Row rows[] = {
        {"the event prepared for", kDevice, kPort, 32, kDevice, kPort, 32, 0},
        {"another port", kDevice, kPort, 32, kDevice, kPort + 1, 32, 0},
        {"a negative port", kDevice, -7, 32, kDevice, -7, 32, 0},
        {"another device name", kDevice, kPort, 32, "ZN417 (2)", kPort, 32, 0},
        {"a name the XML escapes", "A&B <x>", kPort, 32, "A&B <x>", kPort, 32, 0},
        {"fewer bytes", kDevice, kPort, 32, kDevice, kPort, 30, 0},
        {"more bytes", kDevice, kPort, 32, kDevice, kPort, 36, 0},
        {"one byte", kDevice, kPort, 1, kDevice, kPort, 1, 0},
        {"the most bytes on one line", kDevice, kPort, 48, kDevice, kPort, 48, 0},
        {"bytes past one line", kDevice, kPort, 60, kDevice, kPort, 60, 0},
        {"no bytes", kDevice, kPort, 0, kDevice, kPort, 0, 0},
        {"a name that is no XML text", "bad\x01name", kPort, 32, "bad\x01name", kPort, 32, -1},
    };
    const size_t descriptorsBefore = OpenDescriptors();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ExpectSameAsFormatted(row.preparedDevice, row.preparedPort, row.preparedCount, row.device,
                              row.port, Bytes(row.count, 0xA5), row.expected);
    }
    // Every value of every byte, through the prepared text.
    std::mt19937 random(417);
    for (int round = 0; round < 64; ++round) {
        SCOPED_TRACE(round);
        std::vector<uint8_t> bytes(32);
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>(random());
        }
        ExpectSameAsFormatted(kDevice, kPort, 32, kDevice, kPort, bytes, 0);
    }
    // A prepared file set aside for another event is closed, not leaked.
    EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
}

TEST_F(PreparedEvent, APressWhoseNameIsTakenIsDroppedAndTheNextPressIsServed) {
    const std::string path = prepared_ + "/" + kName;
    std::ofstream(path) << "somebody else's";
    PreparePushScanEventFor(prepared_.c_str(), kDevice, kPort, 32);
    std::string content;
    EXPECT_EQ(Press(prepared_, kDevice, kPort, Bytes(32, 1), &content), -1);
    EXPECT_EQ(content, "somebody else's");
    EXPECT_EQ(std::distance(fs::directory_iterator(prepared_), fs::directory_iterator()), 1);

    ASSERT_EQ(unlink(path.c_str()), 0);
    PreparePushScanEventFor(prepared_.c_str(), kDevice, kPort, 32);
    ExpectSameAsFormatted(kDevice, kPort, 32, kDevice, kPort, Bytes(32, 2), 0);
}

TEST_F(PreparedEvent, APreparedTextIsNeverSeenInTheDirectoryBeforeAPress) {
    PreparePushScanEventFor(prepared_.c_str(), kDevice, kPort, 32);
    PreparePushScanEventFor(prepared_.c_str(), kDevice, kPort + 1, 32);  // prepared afresh
    EXPECT_TRUE(fs::is_empty(prepared_));
    ExpectSameAsFormatted(kDevice, kPort + 1, 32, kDevice, kPort + 1, Bytes(32, 3), 0);
}

}  // namespace
