// SPDX-License-Identifier: MIT
// Tests of the push-scan event file writer: what the file holds, its name and
// mode, refusal of any existing entry at the name (links included), the size
// limit of the XML text, and that every failure leaves no file and no leak.
#include "event/push_scan_event.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "event/event_plist.h"
#include "event/push_scan_event_seam.h"
#include "support/alloc_failure.h"

namespace {

namespace fs = std::filesystem;

constexpr time_t kWhen = 1700000000;  // 2023-11-14 22:13:20 UTC

// File name for kWhen + offset seconds (offset below 40) in UTC.
std::string NameAt(int offset) {
    char name[64];
    std::snprintf(name, sizeof name, "TRNV.202311142213%02d.plist", 20 + offset);
    return name;
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

mode_t ModeOf(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 ? (status.st_mode & 07777) : 0;
}

std::vector<std::string> EntriesOf(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

class PushScanEvent : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
        previousMask_ = umask(077);  // every file is written under a strict creation mask
        directory_ = MakeDirectory();
        outside_ = MakeDirectory();
        for (int i = 0; i < 32; ++i) {
            eventData_[i] = static_cast<uint8_t>(i * 29 + 3);
        }
        eventData_[0] = 0x00;
        eventData_[1] = 0xFF;
        eventData_[4] = 0x2A;  // the button code
    }

    void TearDown() override {
        umask(previousMask_);
        fs::remove_all(directory_);
        fs::remove_all(outside_);
    }

    static std::string MakeDirectory() {
        std::string pattern = (fs::temp_directory_path() / "zn_event_XXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        return pattern;
    }

    int32_t Write(time_t when = kWhen, const char* deviceName = "ZN417",
                  int32_t portNumber = 0x14100000, int32_t count = 32) {
        return WritePushScanEventAt(directory_.c_str(), when, deviceName, portNumber, eventData_,
                                    count);
    }

    // A chain of new directories below directory_ whose path is `length` bytes long.
    std::string MakeDirectoryOfLength(size_t length, char fill) const {
        const size_t extra = length - directory_.size();
        const size_t parts = (extra + 200) / 201;  // each part is a slash and 1 to 200 bytes
        std::string path = directory_;
        for (size_t i = 0; i < parts; ++i) {
            const size_t part = extra / parts + (i < extra % parts ? 1 : 0);
            path += "/" + std::string(part - 1, fill);
            EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
        }
        EXPECT_EQ(path.size(), length);
        return path;
    }

    std::string PathAt(int offset) const { return directory_ + "/" + NameAt(offset); }
    std::vector<std::string> Entries() const { return EntriesOf(directory_); }

    mode_t previousMask_ = 0;
    std::string directory_;
    std::string outside_;
    uint8_t eventData_[32];
};

// The writer's two ways to a file: an unnamed file given its name, and, on a
// file system without unnamed files, a file created by name. Both must make a
// file of mode 0666 and drop a press whose name is taken.
enum class FileWay { Unnamed, ByName };

class PushScanEventEitherWay : public PushScanEvent, public ::testing::WithParamInterface<FileWay> {
protected:
    void SetUp() override {
        PushScanEvent::SetUp();
        SetUnnamedEventFilesUsable(GetParam() == FileWay::Unnamed);
    }
    void TearDown() override {
        SetUnnamedEventFilesUsable(true);
        PushScanEvent::TearDown();
    }
};

INSTANTIATE_TEST_SUITE_P(, PushScanEventEitherWay,
                         ::testing::Values(FileWay::Unnamed, FileWay::ByName),
                         [](const ::testing::TestParamInfo<FileWay>& way) {
                             return way.param == FileWay::Unnamed ? "Unnamed" : "ByName";
                         });

// ---- What the file holds ----

// Any device name that is XML text, any port number and any count of bytes
// make the same six entries in order, with their types and values.
TEST_F(PushScanEvent, FileIsTheXmlTextOfSixEntriesInOrderWithTheirTypesAndValues) {
    struct Event {
        const char* label;
        const char* deviceName;
        int32_t portNumber;
        int32_t count;
        const char* portName;
    };
    const Event events[] = {
        {"a whole packet", "ZN417", 0x14100000, 32, "336592896"},
        {"five bytes", "ZN417", 1, 5, "1"},
        {"no bytes", "ZN417", 1, 0, "1"},
        {"the lowest port", "ZN417", INT32_MIN, 32, "-2147483648"},
        {"a port above 2^31 unsigned", "ZN417", static_cast<int32_t>(0xFA120000u), 32, "-99483648"},
        {"port 0", "ZN417", 0, 32, "0"},
        {"the highest port", "ZN417", INT32_MAX, 32, "2147483647"},
        {"markup, UTF-8 and a tab in the name", "ZN417 <&> \xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E\t",
         1, 32, "1"},
    };
    int offset = 0;
    for (const Event& event : events) {
        SCOPED_TRACE(event.label);
        ASSERT_EQ(Write(kWhen + offset, event.deviceName, event.portNumber, event.count), 0);
        const std::string content = ReadFile(PathAt(offset++));
        EXPECT_EQ(content.rfind("<?xml", 0), 0u);
        EXPECT_EQ(content.find('\0'), std::string::npos);  // no terminating NUL
        PlistPtr root = Decode(content);
        ASSERT_NE(root, nullptr);
        ASSERT_EQ(plist_get_node_type(root.get()), PLIST_DICT);
        EXPECT_EQ(KeysOf(root.get()),
                  (std::vector<std::string>{"FileID", "Version", "Connection", "DeviceName",
                                            "PortName", "EventData"}));
        EXPECT_EQ(StringAt(root.get(), "FileID"), "KorvelTX_PushScan");
        EXPECT_EQ(StringAt(root.get(), "Version"), "1.0.0");
        EXPECT_EQ(StringAt(root.get(), "Connection"), "USB");
        EXPECT_EQ(StringAt(root.get(), "DeviceName"), event.deviceName);
        EXPECT_EQ(StringAt(root.get(), "PortName"), event.portName);
        EXPECT_EQ(DataAt(root.get(), "EventData"),
                  std::vector<uint8_t>(eventData_, eventData_ + event.count));
    }
}

TEST_F(PushScanEvent, DeviceNameThatCannotBeXmlTextIsRefused) {
    const char* refused[] = {"ZN\x01",       "\xFF",     "\xC0\x80",
                             "\xED\xA0\x80", "\xE2\x82", "\xEF\xBF\xBE"};
    for (const char* name : refused) {
        EXPECT_EQ(Write(kWhen, name), -1) << name;
    }
    EXPECT_TRUE(Entries().empty());
}

// ---- Name and mode ----

TEST_F(PushScanEvent, FileIsNamedAfterTheLocalTimeToTheSecond) {
    ASSERT_EQ(Write(), 0);
    EXPECT_EQ(Entries(), std::vector<std::string>{"TRNV.20231114221320.plist"});
    setenv("TZ", "XST-9", 1);  // nine hours ahead: the next day
    tzset();
    ASSERT_EQ(Write(), 0);
    EXPECT_TRUE(fs::exists(directory_ + "/TRNV.20231115071320.plist"));
}

TEST_P(PushScanEventEitherWay, FileIsMode0666WhateverTheCreationMask) {
    ASSERT_EQ(Write(), 0);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(PathAt(0))));
    EXPECT_EQ(ModeOf(PathAt(0)), 0666u);
}

// ---- An existing entry at the name drops the press ----

// Whatever is at the name, an earlier event's file, any other file, a link
// (dangling or not), a directory or a FIFO, fails the event and is left as it was.
TEST_P(PushScanEventEitherWay, AnyEntryAtTheNameFailsTheEventAndIsLeftAsItWas) {
    const std::string target = outside_ + "/victim";
    WriteFile(target, "victim contents");
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    const std::string dangling = outside_ + "/planted";
    std::string firstEvent;
    struct Entry {
        const char* label;
        std::function<void(const std::string& path)> plant;
        std::function<void(const std::string& path)> check;
    };
    const Entry entries[] = {
        {"an earlier event",
         [&](const std::string& path) {
             ASSERT_EQ(Write(kWhen + 0), 0);
             firstEvent = ReadFile(path);
         },
         [&](const std::string& path) { EXPECT_EQ(ReadFile(path), firstEvent); }},
        {"another file",
         [](const std::string& path) {
             WriteFile(path, "earlier contents");
             ASSERT_EQ(chmod(path.c_str(), 0600), 0);
         },
         [](const std::string& path) {
             EXPECT_EQ(ReadFile(path), "earlier contents");
             EXPECT_EQ(ModeOf(path), 0600u);
         }},
        {"a link to a file",
         [&](const std::string& path) { ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0); },
         [&](const std::string& path) {
             EXPECT_EQ(ReadFile(target), "victim contents");
             EXPECT_EQ(ModeOf(target), 0640u);
             EXPECT_TRUE(fs::is_symlink(path));
         }},
        {"a dangling link",
         [&](const std::string& path) { ASSERT_EQ(symlink(dangling.c_str(), path.c_str()), 0); },
         [&](const std::string& path) {
             EXPECT_FALSE(fs::exists(fs::symlink_status(dangling)));
             EXPECT_TRUE(fs::is_symlink(path));
         }},
        {"a directory", [](const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); },
         [](const std::string& path) {
             EXPECT_TRUE(fs::is_directory(path));
             EXPECT_TRUE(fs::is_empty(path));
         }},
        {"a FIFO", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); },
         [](const std::string& path) { EXPECT_TRUE(fs::is_fifo(path)); }},
    };
    int offset = 0;
    for (const Entry& entry : entries) {
        SCOPED_TRACE(entry.label);
        entry.plant(PathAt(offset));
        EXPECT_EQ(Write(kWhen + offset, "Other", 7), -1);
        entry.check(PathAt(offset));
        ++offset;
    }
    EXPECT_EQ(Entries().size(), std::size(entries));
    EXPECT_EQ(EntriesOf(outside_), std::vector<std::string>{"victim"});
}

// ---- The file prepared while idle ----

size_t OpenDescriptors() {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

TEST_F(PushScanEvent, PreparedFileShowsNoEntryUntilThePressThenHoldsTheWholeEvent) {
    PreparePushScanEventAt(directory_.c_str());
    EXPECT_TRUE(Entries().empty());
    ASSERT_EQ(Write(), 0);
    EXPECT_EQ(Entries(), std::vector<std::string>{NameAt(0)});
    EXPECT_EQ(ModeOf(PathAt(0)), 0666u);
    PlistPtr root = Decode(ReadFile(PathAt(0)));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(plist_dict_get_size(root.get()), 6u);
    ReleasePreparedPushScanEvent();
}

TEST_F(PushScanEvent, PreparedFileIsNeverNamedOverAPlantedLinkAndIsDropped) {
    const std::string target = outside_ + "/victim";
    WriteFile(target, "victim contents");
    ASSERT_EQ(symlink(target.c_str(), PathAt(0).c_str()), 0);
    PreparePushScanEventAt(directory_.c_str());
    const size_t descriptors = OpenDescriptors();
    EXPECT_EQ(Write(), -1);
    EXPECT_EQ(OpenDescriptors(), descriptors - 1);  // the prepared file went with the press
    EXPECT_EQ(ReadFile(target), "victim contents");
    EXPECT_TRUE(fs::is_symlink(PathAt(0)));
    EXPECT_EQ(Entries().size(), 1u);
    // The next press, with nothing prepared, makes its own file.
    EXPECT_EQ(Write(kWhen + 1), 0);
    EXPECT_EQ(Entries().size(), 2u);
}

TEST_F(PushScanEvent, FilePreparedForAnotherDirectoryIsNotUsedAndAPrepareReplacesIt) {
    PreparePushScanEventAt(outside_.c_str());
    const size_t descriptors = OpenDescriptors();
    ASSERT_EQ(Write(), 0);
    EXPECT_TRUE(fs::exists(PathAt(0)));
    EXPECT_TRUE(EntriesOf(outside_).empty());
    EXPECT_EQ(OpenDescriptors(), descriptors);  // still prepared, for the other directory
    PreparePushScanEventAt(directory_.c_str());
    PreparePushScanEventAt(directory_.c_str());  // ready already: nothing more is opened
    EXPECT_EQ(OpenDescriptors(), descriptors);
    ASSERT_EQ(Write(kWhen + 1), 0);
    EXPECT_EQ(OpenDescriptors(), descriptors - 1);
    EXPECT_TRUE(EntriesOf(outside_).empty());
}

TEST_F(PushScanEvent, ReleaseClosesThePreparedFileAndLeavesNothing) {
    const size_t descriptors = OpenDescriptors();
    PreparePushScanEventAt(directory_.c_str());
    EXPECT_EQ(OpenDescriptors(), descriptors + 1);
    ReleasePreparedPushScanEvent();
    ReleasePreparedPushScanEvent();
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_TRUE(Entries().empty());
    PreparePushScanEventAt(nullptr);
    PreparePushScanEventAt("");
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

// ---- Size limit ----

TEST_F(PushScanEvent, XmlTextOf8192BytesOrMoreIsNotWritten) {
    ASSERT_EQ(Write(kWhen, "x"), 0);
    const size_t withoutName = ReadFile(PathAt(0)).size() - 1;

    const std::string longest(8191 - withoutName, 'x');
    ASSERT_EQ(Write(kWhen + 1, longest.c_str()), 0);
    EXPECT_EQ(ReadFile(PathAt(1)).size(), 8191u);

    const std::string tooLong(8192 - withoutName, 'x');
    EXPECT_EQ(Write(kWhen + 2, tooLong.c_str()), -1);
    const std::string farTooLong(100000, 'x');
    EXPECT_EQ(Write(kWhen + 3, farTooLong.c_str()), -1);
    EXPECT_EQ(Entries().size(), 2u);
}

// ---- Failures leave nothing behind ----

TEST_F(PushScanEvent, AbsentOrImpossibleArgumentsOrAMissingDirectoryFail) {
    EXPECT_EQ(WritePushScanEventAt(directory_.c_str(), kWhen, nullptr, 1, eventData_, 32), -1);
    EXPECT_EQ(WritePushScanEventAt(directory_.c_str(), kWhen, "ZN417", 1, nullptr, 32), -1);
    EXPECT_EQ(WritePushScanEventAt(directory_.c_str(), kWhen, "ZN417", 1, eventData_, -1), -1);
    EXPECT_EQ(WritePushScanEventAt(nullptr, kWhen, "ZN417", 1, eventData_, 32), -1);
    EXPECT_EQ(WritePushScanEventAt("", kWhen, "ZN417", 1, eventData_, 32), -1);
    EXPECT_EQ(WritePushScanEvent(nullptr, 1, eventData_, 32), -1);
    EXPECT_EQ(WritePushScanEvent("ZN417", 1, nullptr, 32), -1);
    const std::string missing = directory_ + "/missing";
    EXPECT_EQ(WritePushScanEventAt(missing.c_str(), kWhen, "ZN417", 1, eventData_, 32), -1);
    EXPECT_TRUE(Entries().empty());
}

TEST_F(PushScanEvent, PathMustFitIn1024BytesWithItsNul) {
    // The file name adds 26 bytes to the directory: 997 bytes of directory fit, 998 do not.
    const std::string fits = MakeDirectoryOfLength(997, 'f');
    const std::string tooLong = MakeDirectoryOfLength(998, 't');
    EXPECT_EQ(WritePushScanEventAt(fits.c_str(), kWhen, "ZN417", 1, eventData_, 32), 0);
    EXPECT_TRUE(fs::exists(fits + "/" + NameAt(0)));
    EXPECT_EQ(WritePushScanEventAt(tooLong.c_str(), kWhen, "ZN417", 1, eventData_, 32), -1);
    EXPECT_TRUE(fs::is_empty(tooLong));
}

TEST_P(PushScanEventEitherWay, FileThatCannotBeWrittenCompletelyIsRemoved) {
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 100;  // a short first write, then a refused one
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int32_t result = Write();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(Entries().empty());
}

TEST_F(PushScanEvent, EveryAllocationFailureFailsWithoutFileOrLeak) {
    const uint64_t failures =
        SweepAllocationFailures([&] { return Write(); },
                                [&](uint64_t failing, int32_t result, int64_t liveBefore) {
                                    EXPECT_EQ(LiveAllocations(), liveBefore) << failing;
                                    if (failing == 0) {
                                        EXPECT_EQ(result, 0);
                                        EXPECT_EQ(Entries().size(), 1u);
                                    } else {
                                        EXPECT_EQ(result, -1) << failing;
                                        EXPECT_TRUE(Entries().empty()) << failing;
                                    }
                                });
    EXPECT_GT(failures, 0u);
}

// ---- An independent reader ----

TEST_F(PushScanEvent, PythonPlistlibReadsTheFile) {
    ASSERT_EQ(Write(kWhen, "ZN417 <&> \xC3\xA9", -5), 0);
    std::string hex;
    for (uint8_t byte : eventData_) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    // The checker compares keys, value types, values and the mode 0666.
    const std::string command = "PYTHONUTF8=1 '" ZN_PYTHON "' '" ZN_EVENT_CHECKER "' '" +
                                PathAt(0) + "' -5 " + hex + " 'ZN417 <&> \xC3\xA9' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char chunk[512];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        output.append(chunk, got);
    }
    EXPECT_EQ(pclose(pipe), 0) << output;
}

}  // namespace
