// SPDX-License-Identifier: MIT
// Resource files built here byte by byte: lookup by type and id, the table and
// block failures (duplicates, empty and truncated parts, sizes that overflow or
// outrun the file), the handle's ready/locked/released states, byte order, and
// an allocation-failure sweep over the loading path.
#include "runtime/resources.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/files.h"
#include "support/alloc_failure.h"
#include "temp_dir.h"

namespace {

// Builds a resource file in memory. The first 16 bytes are left for table
// offsets, since a lookup reads the table offset at the position named by the
// type: type 4 reads it at byte 4, type 8 at byte 8.
struct ResourceFileBuilder {
    std::vector<char> bytes = std::vector<char>(16, 0);

    void Set32(size_t at, int32_t value) {
        if (bytes.size() < at + 4) {
            bytes.resize(at + 4, 0);
        }
        std::memcpy(bytes.data() + at, &value, 4);
    }
    int32_t Append32(int32_t value) {
        const size_t at = bytes.size();
        Set32(at, value);
        return static_cast<int32_t>(at);
    }
    // A block: its length, then the data. Returns the block's offset.
    int32_t AddBlock(const std::string& data) {
        const int32_t at = Append32(static_cast<int32_t>(data.size()));
        bytes.insert(bytes.end(), data.begin(), data.end());
        return at;
    }
    // A table of rows placed at the end, with its offset stored at `position`.
    int32_t AddTable(int32_t position, const std::vector<ResourceRow>& rows) {
        const int32_t at = Append32(static_cast<int32_t>(rows.size()));
        for (const ResourceRow& row : rows) {
            Append32(row.type);
            Append32(row.id);
            Append32(row.offset);
        }
        Set32(static_cast<size_t>(position), at);
        return at;
    }
};

class ResourceTest : public TempDirTest {
protected:
    void TearDown() override {
        if (stream_ != nullptr) {
            CloseFile(stream_);
        }
        TempDirTest::TearDown();
    }

    FILE* Open(const ResourceFileBuilder& file) {
        FILE* writer = OpenJoinedFile(Dir(), "resources", FileModeCreate);
        EXPECT_NE(writer, nullptr);
        WriteBytes(writer, file.bytes.data(), static_cast<int32_t>(file.bytes.size()));
        CloseFile(writer);
        stream_ = OpenJoinedFile(Dir(), "resources", FileModeRead);
        EXPECT_NE(stream_, nullptr);
        return stream_;
    }

    // A file with type 4 holding ids 1 ("alpha") and 2 ("be"), listed twice
    // with different blocks: the first listing must win.
    FILE* OpenSample() {
        ResourceFileBuilder file;
        const int32_t alpha = file.AddBlock("alpha");
        const int32_t be = file.AddBlock("be");
        const int32_t other = file.AddBlock("other");
        file.AddTable(4, {{4, 1, alpha}, {7, 2, other}, {4, 2, be}, {4, 1, other}});
        return Open(file);
    }

    static std::string Text(const void* data, int32_t length) {
        return std::string(static_cast<const char*>(data), static_cast<size_t>(length));
    }

    // The status of a read that must hand back nothing.
    template <typename Read>
    static int32_t RefusedStatus(Read read) {
        int32_t status = 0;
        void* result = read(&status);
        EXPECT_EQ(result, nullptr);
        FreeMemory(result);
        return status;
    }
    static int32_t TableRefused(FILE* stream, int32_t position) {
        return RefusedStatus([&](int32_t* s) { return ReadResourceTable(stream, position, s); });
    }
    static int32_t BlockRefused(FILE* stream, int32_t offset) {
        return RefusedStatus([&](int32_t* s) { return ReadResourceBlock(stream, offset, s); });
    }
    static int32_t FindRefused(FILE* stream, int32_t type, int32_t id) {
        return RefusedStatus([&](int32_t* s) { return FindResourceData(stream, type, id, s); });
    }
    static int32_t LoadRefused(FILE* stream, int32_t type, int32_t id) {
        return RefusedStatus([&](int32_t* s) { return LoadResource(stream, type, id, s); });
    }

private:
    FILE* stream_ = nullptr;
};

TEST_F(ResourceTest, FindsTheBlockOfTheFirstMatchingRow) {
    FILE* stream = OpenSample();
    int32_t status = 0;
    void* data = FindResourceData(stream, 4, 1, &status);
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(status, 5);
    EXPECT_EQ(Text(data, status), "alpha");
    FreeMemory(data);
    data = FindResourceData(stream, 4, 2, &status);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(Text(data, status), "be");  // the row of type 7 and id 2 is skipped
    FreeMemory(data);
}

TEST_F(ResourceTest, AMissingPairOrANegativeOffsetGivesMinusOne) {
    ResourceFileBuilder file;
    const int32_t good = file.AddBlock("good");
    file.AddTable(4, {{4, 1, -12}, {4, 1, good}, {4, 2, good}});
    FILE* stream = Open(file);
    EXPECT_EQ(FindRefused(stream, 4, 1), -1);  // the first row decides
    EXPECT_EQ(FindRefused(stream, 4, 3), -1);
    void* data = FindResourceData(stream, 4, 2, nullptr);  // no status wanted
    EXPECT_NE(data, nullptr);
    FreeMemory(data);
}

TEST_F(ResourceTest, RefusesBadArgumentsBeforeReading) {
    FILE* stream = OpenSample();
    EXPECT_EQ(FindRefused(nullptr, 4, 1), RtErrArgument);
    EXPECT_EQ(FindRefused(stream, -4, 1), RtErrArgument);
    EXPECT_EQ(LoadRefused(stream, 4, -1), RtErrArgument);
    EXPECT_EQ(TableRefused(stream, -1), RtErrArgument);
    EXPECT_EQ(BlockRefused(stream, -1), RtErrArgument);
    EXPECT_EQ(OpenResource(nullptr, 4, 1), nullptr);
}

TEST_F(ResourceTest, AZeroOrNegativeLengthBlockIsEmpty) {
    ResourceFileBuilder file;
    const int32_t empty = file.AddBlock("");
    const int32_t negative = file.Append32(-5);
    file.AddTable(4, {{4, 1, empty}, {4, 2, negative}});
    FILE* stream = Open(file);
    EXPECT_EQ(FindRefused(stream, 4, 1), RtErrEmpty);
    EXPECT_EQ(LoadRefused(stream, 4, 2), RtErrEmpty);
    EXPECT_EQ(OpenResource(stream, 4, 1), nullptr);
}

TEST_F(ResourceTest, TruncatedTablesAndOffsetsOutsideTheFileAreIoFailures) {
    ResourceFileBuilder file;
    const int32_t block = file.AddBlock("data");
    file.AddTable(4, {{4, 1, block}, {4, 2, block}});
    file.bytes.resize(file.bytes.size() - 1);  // the last row lacks a byte
    file.Set32(8, 100000);                     // a table beyond the end
    file.Set32(12, -8);                        // a table before the start
    FILE* stream = Open(file);
    const int64_t live = LiveAllocations();
    EXPECT_EQ(TableRefused(stream, 4), RtErrIo);
    EXPECT_EQ(TableRefused(stream, 8), RtErrIo);
    EXPECT_EQ(TableRefused(stream, 12), RtErrIo);
    EXPECT_EQ(TableRefused(stream, 100000), RtErrIo);  // P itself outside
    EXPECT_EQ(FindRefused(stream, 4, 1), RtErrIo);
    EXPECT_EQ(LiveAllocations(), live);
}

TEST_F(ResourceTest, TruncatedBlocksAreIoFailures) {
    ResourceFileBuilder file;
    file.AddTable(4, {{4, 1, 0}, {4, 2, 0}});
    const int32_t block = file.AddBlock("0123456789");
    file.bytes.resize(file.bytes.size() - 1);
    file.Set32(16 + 4 + 8, block);   // row 1 points at the cut block
    file.Set32(16 + 16 + 8, 99999);  // row 2 points past the end
    FILE* stream = Open(file);
    const int64_t live = LiveAllocations();
    EXPECT_EQ(FindRefused(stream, 4, 1), RtErrIo);
    EXPECT_EQ(FindRefused(stream, 4, 2), RtErrIo);
    EXPECT_EQ(LiveAllocations(), live);
}

TEST_F(ResourceTest, AnEmptyTableCannotBeAllocated) {
    ResourceFileBuilder file;
    file.AddTable(4, {});
    file.Set32(8, file.Append32(-3));
    FILE* stream = Open(file);
    EXPECT_EQ(TableRefused(stream, 4), RtErrNoMemory);
    EXPECT_EQ(TableRefused(stream, 8), RtErrNoMemory);
}

TEST_F(ResourceTest, ARowCountWhoseTableOverflows32BitsIsRefused) {
    // 12 x 357913942 wraps to 8 in 32 bits; 12 x 178956971 just exceeds
    // INT32_MAX; 12 x 178956970 fits but the file is far too short.
    ResourceFileBuilder file;
    file.Set32(4, file.Append32(357913942));
    file.Set32(8, file.Append32(178956971));
    file.Set32(12, file.Append32(178956970));
    for (int i = 0; i < 8; ++i) {
        file.Append32(0x41414141);
    }
    FILE* stream = Open(file);
    FailAllocationAfter(1, true);  // proves that no table is even allocated
    EXPECT_EQ(TableRefused(stream, 4), RtErrNoMemory);
    EXPECT_EQ(TableRefused(stream, 8), RtErrNoMemory);
    EXPECT_EQ(TableRefused(stream, 12), RtErrIo);
    EXPECT_EQ(InjectedAllocationFailures(), 0u);
    ClearAllocationFailure();
}

TEST_F(ResourceTest, ABlockLongerThanTheFileIsNotAllocated) {
    ResourceFileBuilder file;
    const int32_t huge = file.Append32(0x7FFFFFF0);
    file.Append32(0);
    FILE* stream = Open(file);
    FailAllocationAfter(1, true);
    EXPECT_EQ(BlockRefused(stream, huge), RtErrIo);
    EXPECT_EQ(InjectedAllocationFailures(), 0u);
    ClearAllocationFailure();
}

TEST_F(ResourceTest, ReadsTheTableRowsInFileOrder) {
    FILE* stream = OpenSample();
    int32_t status = 0;
    ResourceRow* rows = ReadResourceTable(stream, 4, &status);
    ASSERT_NE(rows, nullptr);
    ASSERT_EQ(status, 4);
    EXPECT_EQ(rows[1].type, 7);
    EXPECT_EQ(rows[2].id, 2);
    int32_t length = 0;
    void* block = ReadResourceBlock(stream, rows[3].offset, &length);
    EXPECT_EQ(Text(block, length), "other");
    FreeMemory(block);
    FreeMemory(rows);
}

TEST_F(ResourceTest, LoadGivesAFreshCopyEachTime) {
    FILE* stream = OpenSample();
    int32_t first = 0;
    int32_t second = 0;
    void* a = LoadResource(stream, 4, 1, &first);
    void* b = LoadResource(stream, 4, 1, &second);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(first, 5);
    EXPECT_EQ(Text(a, first), Text(b, second));
    FreeMemory(a);
    FreeMemory(b);
    EXPECT_EQ(LoadRefused(stream, 4, 9), -1);
}

TEST_F(ResourceTest, HandleGoesReadyLockedReadyReleased) {
    FILE* stream = OpenSample();
    const int64_t live = LiveAllocations();
    ResourceHandle* handle = OpenResource(stream, 4, 2);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->state, ResourceReady);
    EXPECT_EQ(ResourceSize(handle), 2);
    EXPECT_EQ(handle->lockedData, nullptr);

    void* locked = LockResource(handle);
    ASSERT_NE(locked, nullptr);
    EXPECT_EQ(Text(locked, 2), "be");
    EXPECT_EQ(LockResource(handle), locked);  // locks are not counted
    EXPECT_EQ(handle->state, ResourceLocked);
    EXPECT_EQ(ResourceSize(handle), 2);

    CloseResource(handle);  // refused while locked
    EXPECT_EQ(handle->state, ResourceLocked);
    EXPECT_EQ(handle->data, locked);

    UnlockResource(handle);  // one unlock undoes both locks
    EXPECT_EQ(handle->state, ResourceReady);
    EXPECT_EQ(handle->lockedData, nullptr);
    UnlockResource(handle);
    EXPECT_EQ(handle->state, ResourceReady);

    CloseResource(handle);
    EXPECT_EQ(LiveAllocations(), live);
}

TEST_F(ResourceTest, HandlesWithForeignMarkersAreLeftAlone) {
    char data[4] = "abc";
    ResourceHandle foreign{3, data, nullptr, 0x12345678};
    EXPECT_EQ(LockResource(&foreign), nullptr);
    EXPECT_EQ(ResourceSize(&foreign), RtErrArgument);
    UnlockResource(&foreign);
    CloseResource(&foreign);
    EXPECT_EQ(foreign.state, 0x12345678u);
    EXPECT_EQ(foreign.data, data);
    foreign.state = 0;  // a released record's marker
    EXPECT_EQ(LockResource(&foreign), nullptr);
    EXPECT_EQ(LockResource(nullptr), nullptr);
    EXPECT_EQ(ResourceSize(nullptr), RtErrArgument);
    UnlockResource(nullptr);
    CloseResource(nullptr);
}

TEST_F(ResourceTest, EveryAllocationFailureOnTheLoadingPathLeaksNothing) {
    FILE* stream = OpenSample();
    const uint64_t failingRuns = SweepAllocationFailures(
        [&] { return OpenResource(stream, 4, 1); },
        [](uint64_t failing, ResourceHandle* handle, int64_t liveBefore) {
            if (failing != 0) {
                EXPECT_EQ(handle, nullptr) << "allocation " << failing;
            } else {
                ASSERT_NE(handle, nullptr);
                EXPECT_EQ(ResourceSize(handle), 5);
                CloseResource(handle);
            }
            EXPECT_EQ(LiveAllocations(), liveBefore) << "allocation " << failing;
        });
    EXPECT_EQ(failingRuns, 4u);  // rows, block, copy, record

    int32_t status = 0;
    SweepAllocationFailures([&] { return LoadResource(stream, 4, 1, &status); },
                            [&](uint64_t failing, void* data, int64_t liveBefore) {
                                if (failing != 0) {
                                    EXPECT_EQ(data, nullptr);
                                    EXPECT_EQ(status, RtErrNoMemory);
                                } else {
                                    EXPECT_EQ(status, 5);
                                    FreeMemory(data);
                                }
                                EXPECT_EQ(LiveAllocations(), liveBefore);
                            });
}

TEST(ByteOrder, OnlyDifferentKnownOrdersNeedASwap) {
    EXPECT_EQ(NeedsByteSwap(0, 0), 0);
    EXPECT_EQ(NeedsByteSwap(2, 0), 0);
    EXPECT_EQ(NeedsByteSwap(0, 2), 0);
    EXPECT_EQ(NeedsByteSwap(1, 1), 0);
    EXPECT_EQ(NeedsByteSwap(1, 0), 1);
    EXPECT_EQ(NeedsByteSwap(2, 1), 1);
    EXPECT_EQ(NeedsByteSwap(3, 1), RtErrArgument);
    EXPECT_EQ(NeedsByteSwap(1, -1), RtErrArgument);
}

TEST(ByteOrder, SwapReversesEachItemOfTheGivenWidth) {
    unsigned char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    SwapBytes(bytes, 2, 2);
    EXPECT_EQ(std::memcmp(bytes, "\2\1\4\3\5\6\7\10", 8), 0);
    SwapBytes(bytes, 4, 2);
    EXPECT_EQ(std::memcmp(bytes, "\3\4\1\2\10\7\6\5", 8), 0);
    SwapBytes(bytes, 3, 2);
    SwapBytes(bytes, 4, 0);
    SwapBytes(bytes, 4, -1);
    SwapBytes(nullptr, 4, 1);
    EXPECT_EQ(std::memcmp(bytes, "\3\4\1\2\10\7\6\5", 8), 0);
}

}  // namespace
