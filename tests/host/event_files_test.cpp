// SPDX-License-Identifier: MIT
// Event files as the host learns them from inotify: the file of a press is
// the one written for the host's location, another program's is left alone,
// a press without a file is reported as such, and a file is removed only when
// it is not to be kept.
#include "event_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

class EventFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zn_event_files_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(EventFilesOpen(&watch_, dir_.c_str()), 0);
    }
    void TearDown() override {
        EventFilesClose(&watch_);
        ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }
    // An event file as the plug-in writes it: button `code`, port `port`.
    std::string Write(const char* name, int32_t port, int code) {
        const std::string path = dir_ + "/" + name;
        // 32 bytes of event data, byte 4 the button code, in base64.
        const std::string data = code == 1 ? "AAAAAAEAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="
                                           : "AAAAAAIAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
        std::ofstream(path) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            << "<plist version=\"1.0\"><dict>"
                            << "<key>FileID</key><string>KorvelTX_PushScan</string>"
                            << "<key>PortName</key><string>" << port << "</string>"
                            << "<key>EventData</key><data>" << data << "</data>"
                            << "</dict></plist>\n";
        return path;
    }
    std::string dir_;
    EventFileWatch watch_;
};

TEST_F(EventFiles, ThePressGetsTheFileWrittenForItsLocationWithButtonAndData) {
    Write("TRNV.20240301090500.plist", 99, 2);  // another program's
    const std::string ours = Write("TRNV.20240301090501.plist", 336592896, 1);
    Write("notes.txt", 336592896, 1);
    HostEvent event;
    ASSERT_TRUE(EventFilesClaim(&watch_, 336592896, &event));
    EXPECT_EQ(event.file, ours);
    EXPECT_EQ(event.button, 1);
    EXPECT_EQ(event.eventData, "0000000001" + std::string(54, '0'));
    HostEvent again;
    EXPECT_FALSE(EventFilesClaim(&watch_, 336592896, &again));  // each file once
    EXPECT_TRUE(again.file.empty());
}

// A press finds no file when none was written, when only another location's
// was, when the file for its location is not named as event files are, or
// when it is not a well-formed property list: any local user can plant a file
// named as an event file, and one with a NUL byte once made libplist abort
// the host.
TEST_F(EventFiles, APressFindsNoFileButAWellFormedOneNamedAsAnEventFileForItsLocation) {
    HostEvent event;
    EXPECT_FALSE(EventFilesClaim(&watch_, 1, &event));
    Write("TRNV.20240301090500.plist", 2, 1);
    for (const char* name : {"notes.txt", "XRNV.20240301090500.plist", "TRNV.plist",
                             "TRNV.20240301090500.plist~", "trnv.20240301090500.plist"}) {
        Write(name, 1, 1);
        EXPECT_FALSE(EventFilesClaim(&watch_, 1, &event)) << name;
    }
    const std::string planted =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>PortName</key><string>1" +
        std::string(1, '\0') + "</string><key>EventData</key><data>AQID</data></dict></plist>";
    std::ofstream(dir_ + "/TRNV.20240301090501.plist", std::ios::binary) << planted;
    EXPECT_FALSE(EventFilesClaim(&watch_, 1, &event));
}

// Files written faster than the host reads their names overflow the inotify
// queue; the press's file is then found by a search of the directory.
TEST_F(EventFiles, AfterTheNotificationsOverflowThePressFindsItsFileInTheDirectory) {
    int queued = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    if (queued <= 0 || queued > 65536) {
        GTEST_SKIP() << "inotify queue of " << queued << " events: too long to overflow here";
    }
    // Each file makes two notifications (created, closed after writing).
    for (int i = 0; i <= queued / 2; ++i) {
        const std::string path = dir_ + "/filler" + std::to_string(i);
        close(open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    }
    const std::string ours = Write("TRNV.20240301090501.plist", 336592896, 2);
    HostEvent event;
    ASSERT_TRUE(EventFilesClaim(&watch_, 336592896, &event));
    EXPECT_EQ(event.file, ours);
    EXPECT_EQ(event.button, 2);
}

TEST_F(EventFiles, AFileIsRemovedAfterItsActionUnlessKept) {
    HostEvent event;
    event.file = Write("TRNV.20240301090500.plist", 1, 1);
    EventFileDone(event, true);
    struct stat info;
    EXPECT_EQ(stat(event.file.c_str(), &info), 0);
    EventFileDone(event, false);
    EXPECT_NE(stat(event.file.c_str(), &info), 0);
    ::testing::internal::CaptureStderr();
    EventFileDone(event, false);  // gone already: nothing to say
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
