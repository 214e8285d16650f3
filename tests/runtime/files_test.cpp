// SPDX-License-Identifier: MIT
// Path joining at its limits, the open modes, removal, temporary files, the
// stream wrappers' statuses, the clock and the fixed lookup.
#include "runtime/files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "runtime/clock.h"
#include "temp_dir.h"

namespace {

std::string ReadAll(FILE* stream) {
    std::string text;
    std::rewind(stream);
    char buffer[64];
    int32_t got;
    while ((got = ReadBytes(stream, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

// The joined path and its length, or RtErrArgument.
TEST(JoinPath, InsertsOneSeparatorAndNeedsRoomForTheNul) {
    const struct {
        const char* directory;
        const char* name;
        int32_t size;
        int32_t result;
        const char* joined;
    } kCases[] = {
        {"dir", "file", 32, 8, "dir/file"},
        {"dir/", "file", 32, 8, "dir/file"},
        {nullptr, "file", 32, 4, "file"},
        {"/", "file", 32, 5, "/file"},
        {"dir", "file", 9, 8, "dir/file"},
        {nullptr, "file", 5, 4, "file"},
        {"dir", "file", 8, RtErrArgument, nullptr},  // 8 bytes, no room for the NUL
        {nullptr, "file", 4, RtErrArgument, nullptr},
        {"dir", "file", 4, RtErrArgument, nullptr},  // the separator does not fit
        {"dir", "file", 3, RtErrArgument, nullptr},  // the directory does not fit
        {"dir", "file", 0, RtErrArgument, nullptr},
        {"dir", "file", -1, RtErrArgument, nullptr},
        {"", "file", 32, RtErrArgument, nullptr},
        {"dir", "", 32, RtErrArgument, nullptr},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.directory != nullptr ? c.directory : "(none)") + " + " + c.name +
                     " in " + std::to_string(c.size));
        char out[32];
        EXPECT_EQ(JoinPath(c.directory, c.name, out, c.size), c.result);
        if (c.joined != nullptr) {
            EXPECT_STREQ(out, c.joined);
        }
    }
    char out[16] = "untouched";
    EXPECT_EQ(JoinPath("dir", nullptr, out, sizeof out), RtErrArgument);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(JoinPath("dir", "file", nullptr, 16), RtErrArgument);
}

using OpenJoinedFileTest = TempDirTest;

TEST_F(OpenJoinedFileTest, CreateUpdateAndReadSeeOneFile) {
    FILE* created = OpenJoinedFile(Dir(), "data", FileModeCreate);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(WriteBytes(created, "abcdef", 6), 6);
    EXPECT_EQ(CloseFile(created), 0);

    FILE* updated = OpenJoinedFile(Dir(), "data", FileModeUpdate);
    ASSERT_NE(updated, nullptr);
    EXPECT_EQ(TellFile(updated), 0);
    EXPECT_EQ(WriteBytes(updated, "XY", 2), 2);  // overwrites, keeps the rest
    EXPECT_EQ(CloseFile(updated), 0);

    FILE* read = OpenJoinedFile(Dir(), "data", FileModeRead);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(ReadAll(read), "XYcdef");
    EXPECT_EQ(WriteBytes(read, "z", 1), 0);  // read-only
    EXPECT_EQ(CloseFile(read), 0);
}

TEST_F(OpenJoinedFileTest, AppendCreatesAMissingFileAndOtherwiseStartsAtTheEnd) {
    FILE* stream = OpenJoinedFile(Dir(), "log", FileModeAppend);
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(Exists("log"));
    EXPECT_EQ(TellFile(stream), 0);
    EXPECT_EQ(WriteBytes(stream, "first", 5), 5);
    EXPECT_EQ(CloseFile(stream), 0);
    stream = OpenJoinedFile(Dir(), "log", FileModeAppend);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(TellFile(stream), 5);
    WriteBytes(stream, "+second", 7);
    EXPECT_EQ(ReadAll(stream), "first+second");
    CloseFile(stream);
}

TEST_F(OpenJoinedFileTest, RefusesMissingFilesUnknownModesAndLongPaths) {
    EXPECT_EQ(OpenJoinedFile(Dir(), "missing", FileModeRead), nullptr);
    EXPECT_EQ(OpenJoinedFile(Dir(), "missing", FileModeUpdate), nullptr);
    EXPECT_EQ(OpenJoinedFile(Dir(), "x", 4), nullptr);
    EXPECT_EQ(OpenJoinedFile(Dir(), "x", -1), nullptr);
    EXPECT_EQ(OpenJoinedFile(Dir(), nullptr, FileModeCreate), nullptr);
    EXPECT_FALSE(Exists("x"));

    // Pad the directory with "d/../" steps so that the joined path is exactly
    // 287 bytes (accepted) or 288 bytes (refused) while staying a valid path.
    std::filesystem::create_directory(PathOf("d"));
    std::string directory = Dir();
    while (directory.size() + 5 + 1 + 8 <= 287) {
        directory += "/d/..";
    }
    const std::string name(287 - directory.size() - 1, 'n');
    FILE* longest = OpenJoinedFile(directory.c_str(), name.c_str(), FileModeCreate);
    ASSERT_NE(longest, nullptr);
    CloseFile(longest);
    EXPECT_TRUE(Exists(name));
    const std::string tooLong = name + "n";
    EXPECT_EQ(OpenJoinedFile(directory.c_str(), tooLong.c_str(), FileModeCreate), nullptr);
    EXPECT_FALSE(Exists(tooLong));
}

using RemoveJoinedFileTest = TempDirTest;

TEST_F(RemoveJoinedFileTest, RemovesAFileAcceptsAMissingOneAndReportsOtherFailures) {
    CloseFile(OpenJoinedFile(Dir(), "gone", FileModeCreate));
    ASSERT_TRUE(Exists("gone"));
    EXPECT_EQ(RemoveJoinedFile(Dir(), "gone"), 0);
    EXPECT_FALSE(Exists("gone"));
    EXPECT_EQ(RemoveJoinedFile(Dir(), "gone"), 0);

    std::filesystem::create_directory(PathOf("full"));
    CloseFile(OpenJoinedFile(PathOf("full").c_str(), "inside", FileModeCreate));
    EXPECT_EQ(RemoveJoinedFile(Dir(), "full"), RtErrIo);  // a directory that is not empty
    EXPECT_TRUE(Exists("full/inside"));
    EXPECT_EQ(RemoveJoinedFile(Dir(), nullptr), RtErrArgument);
    EXPECT_EQ(RemoveJoinedFile("", "x"), RtErrArgument);
    EXPECT_EQ(RemoveJoinedFile(Dir(), std::string(300, 'n').c_str()), RtErrArgument);
}

using CreateTempFileTest = TempDirTest;

TEST_F(CreateTempFileTest, AppendsEightCharactersToThePrefix) {
    char name[32] = "abc";
    FILE* stream = CreateTempFile(Dir(), name, FileModeCreate);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(std::strlen(name), 11u);
    EXPECT_EQ(std::strncmp(name, "abc", 3), 0);
    EXPECT_TRUE(Exists(name));
    EXPECT_EQ(WriteBytes(stream, "temp", 4), 4);
    EXPECT_EQ(ReadAll(stream), "temp");  // opened for reading and writing
    CloseFile(stream);

    char other[32] = "abc";
    FILE* second = CreateTempFile(Dir(), other, FileModeCreate);
    ASSERT_NE(second, nullptr);
    EXPECT_STRNE(name, other);
    CloseFile(second);
}

TEST_F(CreateTempFileTest, APrefixOf23BytesFitsAnd24DoesNot) {
    char name[32] = "prefix-of-23-bytes-long";
    ASSERT_EQ(std::strlen(name), 23u);
    FILE* stream = CreateTempFile(Dir(), name, FileModeCreate);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(std::strlen(name), 31u);
    EXPECT_TRUE(Exists(name));
    CloseFile(stream);

    char tooLong[40] = "prefix-of-24-bytes-long!";
    ASSERT_EQ(std::strlen(tooLong), 24u);
    EXPECT_EQ(CreateTempFile(Dir(), tooLong, FileModeCreate), nullptr);
    EXPECT_STREQ(tooLong, "prefix-of-24-bytes-long!");
}

TEST_F(CreateTempFileTest, RefusesOtherModesAndMissingParts) {
    char name[32] = "abc";
    EXPECT_EQ(CreateTempFile(Dir(), name, FileModeRead), nullptr);
    EXPECT_EQ(CreateTempFile(Dir(), name, FileModeAppend), nullptr);
    EXPECT_EQ(CreateTempFile("", name, FileModeCreate), nullptr);
    EXPECT_EQ(CreateTempFile(Dir(), nullptr, FileModeCreate), nullptr);
    EXPECT_EQ(CreateTempFile(PathOf("missing").c_str(), name, FileModeCreate), nullptr);
    char empty[32] = "";
    EXPECT_EQ(CreateTempFile(Dir(), empty, FileModeCreate), nullptr);
    EXPECT_STREQ(name, "abc");
    EXPECT_TRUE(std::filesystem::is_empty(Dir()));
}

using StreamTest = TempDirTest;

TEST_F(StreamTest, BadCountsOriginsAndStreamsGetStatuses) {
    FILE* stream = OpenJoinedFile(Dir(), "s", FileModeCreate);
    ASSERT_NE(stream, nullptr);
    char buffer[4];
    EXPECT_EQ(ReadBytes(stream, buffer, -1), RtErrIo);
    EXPECT_EQ(WriteBytes(stream, "x", -1), RtErrIo);
    EXPECT_EQ(ReadBytes(nullptr, buffer, 1), RtErrArgument);
    EXPECT_EQ(SeekFile(stream, 0, 3), RtErrIo);
    EXPECT_EQ(SeekFile(stream, -1, 0), RtErrIo);  // before the start
    EXPECT_EQ(SeekFile(nullptr, 0, 0), RtErrArgument);
    EXPECT_EQ(PrintToFile(nullptr, "x"), RtErrIo);
    EXPECT_EQ(PrintToFile(stream, nullptr), RtErrIo);
    EXPECT_EQ(FileSize(nullptr), RtErrArgument);
    EXPECT_EQ(CloseFile(nullptr), RtErrArgument);
    EXPECT_EQ(CloseFile(stream), 0);
}

TEST_F(StreamTest, SeekTellAndSizeAgree) {
    FILE* stream = OpenJoinedFile(Dir(), "s", FileModeCreate);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(PrintToFile(stream, "%s=%d", "key", 123456), 10);
    EXPECT_EQ(SeekFile(stream, 2, 0), 0);
    EXPECT_EQ(SeekFile(stream, 3, 1), 0);
    EXPECT_EQ(TellFile(stream), 5);
    EXPECT_EQ(FileSize(stream), 10);
    EXPECT_EQ(TellFile(stream), 5);  // the size query leaves the position alone
    EXPECT_EQ(SeekFile(stream, -1, 2), 0);
    EXPECT_EQ(TellFile(stream), 9);
    EXPECT_EQ(ReadAll(stream), "key=123456");
    CloseFile(stream);
}

TEST(FixedAnswers, StringSizeClockRateAndLookup) {
    EXPECT_EQ(StringSize("abc"), 4);
    EXPECT_EQ(StringSize(nullptr), RtErrArgument);
    EXPECT_EQ(ClockTicksPerSecond(), 1000000);
    int32_t value = -5;
    EXPECT_EQ(LookupValue(1, &value), 0);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(LookupValue(2, &value), RtErrArgument);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(LookupValue(1, nullptr), RtErrArgument);
}

}  // namespace
