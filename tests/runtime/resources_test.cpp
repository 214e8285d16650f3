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

// Bytes left at the start of a file for table offsets: a lookup reads the
// table offset at the position named by the type (type 4 at byte 4).
constexpr size_t kHeaderSize = 36;

// Builds a resource file in memory.
struct ResourceFileBuilder {
    std::vector<char> bytes = std::vector<char>(kHeaderSize, 0);

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

enum Read { ReadTable, ReadBlock, Find, Load };

class ResourceTest : public TempDirTest {
protected:
    void TearDown() override {
        if (stream_ != nullptr) {
            CloseFile(stream_);
        }
        TempDirTest::TearDown();
    }

    FILE* Open(const ResourceFileBuilder& file) {
        if (stream_ != nullptr) {
            CloseFile(stream_);
        }
        FILE* writer = OpenJoinedFile(Dir(), "resources", FileModeCreate);
        EXPECT_NE(writer, nullptr);
        WriteBytes(writer, file.bytes.data(), static_cast<int32_t>(file.bytes.size()));
        CloseFile(writer);
        stream_ = OpenJoinedFile(Dir(), "resources", FileModeRead);
        EXPECT_NE(stream_, nullptr);
        return stream_;
    }

    // Type 4 holds ids 1 ("alpha") and 2 ("be"), 1 listed twice with different
    // blocks (the first listing must win), and ids 3 to 7 whose first row
    // names a negative offset, an empty block, a negative length or a place
    // past the end. The other table positions hold a table offset past the
    // end (8) and before the start (12), and tables of 0 and -3 rows (16, 20)
    // and of 357913942, 178956971 and 178956970 rows (24, 28, 32): 12 times
    // these wraps to 8 in 32 bits, just exceeds INT32_MAX, and fits but far
    // outruns the file. hugeBlock_ claims 0x7FFFFFF0 bytes.
    FILE* OpenSample() {
        ResourceFileBuilder file;
        const int32_t alpha = file.AddBlock("alpha");
        const int32_t be = file.AddBlock("be");
        const int32_t other = file.AddBlock("other");
        const int32_t empty = file.AddBlock("");
        const int32_t negative = file.Append32(-5);
        file.AddTable(4, {{4, 1, alpha},
                          {7, 2, other},
                          {4, 2, be},
                          {4, 1, other},
                          {4, 3, -12},
                          {4, 3, alpha},
                          {4, 5, empty},
                          {4, 6, negative},
                          {4, 7, 99999}});
        file.Set32(8, 100000);
        file.Set32(12, -8);
        file.AddTable(16, {});
        const int32_t counts[] = {-3, 357913942, 178956971, 178956970};
        for (int i = 0; i < 4; ++i) {
            file.Set32(static_cast<size_t>(20 + 4 * i), file.Append32(counts[i]));
        }
        hugeBlock_ = file.Append32(0x7FFFFFF0);
        for (int i = 0; i < 8; ++i) {
            file.Append32(0x41414141);
        }
        return Open(file);
    }

    static std::string Text(const void* data, int32_t length) {
        return std::string(static_cast<const char*>(data), static_cast<size_t>(length));
    }

    // The status of a read that must hand back nothing: of the table at
    // `first`, the block at `first`, or type `first` and id `second`.
    static int32_t Refused(FILE* stream, Read read, int32_t first, int32_t second = 0) {
        int32_t status = 0;
        void* result = nullptr;
        switch (read) {
            case ReadTable:
                result = ReadResourceTable(stream, first, &status);
                break;
            case ReadBlock:
                result = ReadResourceBlock(stream, first, &status);
                break;
            case Find:
                result = FindResourceData(stream, first, second, &status);
                break;
            case Load:
                result = LoadResource(stream, first, second, &status);
                break;
        }
        EXPECT_EQ(result, nullptr);
        FreeMemory(result);
        return status;
    }

    int32_t hugeBlock_ = 0;

private:
    FILE* stream_ = nullptr;
};

TEST_F(ResourceTest, ReadsTheRowsInFileOrderAndFindsTheBlockOfTheFirstMatchingRow) {
    FILE* stream = OpenSample();
    int32_t status = 0;
    ResourceRow* rows = ReadResourceTable(stream, 4, &status);
    ASSERT_NE(rows, nullptr);
    ASSERT_EQ(status, 9);
    EXPECT_EQ(rows[1].type, 7);
    EXPECT_EQ(rows[2].id, 2);
    int32_t length = 0;
    void* data = ReadResourceBlock(stream, rows[3].offset, &length);
    EXPECT_EQ(Text(data, length), "other");
    FreeMemory(data);
    FreeMemory(rows);

    data = FindResourceData(stream, 4, 1, &status);
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(status, 5);
    EXPECT_EQ(Text(data, status), "alpha");
    FreeMemory(data);
    data = FindResourceData(stream, 4, 2, nullptr);  // no status wanted
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(Text(data, 2), "be");  // the row of type 7 and id 2 is skipped
    FreeMemory(data);
}

// Reads of a malformed part refuse it and leave nothing behind; those that
// need no table of rows do not even allocate.
TEST_F(ResourceTest, MalformedPartsAreRefusedWithTheirStatus) {
    FILE* stream = OpenSample();
    const struct {
        const char* name;
        Read read;
        int32_t first;
        int32_t second;
        int32_t status;
        bool allocates;
    } kCases[] = {
        {"missing pair", Find, 4, 9, -1, true},
        {"missing pair loaded", Load, 4, 9, -1, true},
        {"first row decides: negative offset", Find, 4, 3, -1, true},
        {"negative type", Find, -4, 1, RtErrArgument, false},
        {"negative id", Load, 4, -1, RtErrArgument, false},
        {"negative table position", ReadTable, -1, 0, RtErrArgument, false},
        {"negative block offset", ReadBlock, -1, 0, RtErrArgument, false},
        {"zero-length block", Find, 4, 5, RtErrEmpty, true},
        {"negative-length block", Load, 4, 6, RtErrEmpty, true},
        {"block offset past the end", Find, 4, 7, RtErrIo, true},
        {"table offset past the end", ReadTable, 8, 0, RtErrIo, false},
        {"table offset before the start", ReadTable, 12, 0, RtErrIo, false},
        {"position outside the file", ReadTable, 100000, 0, RtErrIo, false},
        {"empty table", ReadTable, 16, 0, RtErrNoMemory, false},
        {"negative row count", ReadTable, 20, 0, RtErrNoMemory, false},
        {"table size wrapping 32 bits", ReadTable, 24, 0, RtErrNoMemory, false},
        {"table size past INT32_MAX", ReadTable, 28, 0, RtErrNoMemory, false},
        {"table longer than the file", ReadTable, 32, 0, RtErrIo, false},
        {"block longer than the file", ReadBlock, hugeBlock_, 0, RtErrIo, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const int64_t live = LiveAllocations();
        if (!c.allocates) {
            FailAllocationAfter(1, true);  // proves that nothing is allocated
        }
        EXPECT_EQ(Refused(stream, c.read, c.first, c.second), c.status);
        if (!c.allocates) {
            EXPECT_EQ(InjectedAllocationFailures(), 0u);
            ClearAllocationFailure();
        }
        EXPECT_EQ(LiveAllocations(), live);
    }
    EXPECT_EQ(Refused(nullptr, Find, 4, 1), RtErrArgument);
    EXPECT_EQ(OpenResource(nullptr, 4, 1), nullptr);
    EXPECT_EQ(OpenResource(stream, 4, 5), nullptr);  // an empty block
}

TEST_F(ResourceTest, ATableOrBlockCutShortByOneByteIsAnIoFailure) {
    const int64_t live = LiveAllocations();
    ResourceFileBuilder cutTable;
    const int32_t block = cutTable.AddBlock("data");
    cutTable.AddTable(4, {{4, 1, block}, {4, 2, block}});
    cutTable.bytes.pop_back();  // the last row lacks a byte
    FILE* stream = Open(cutTable);
    EXPECT_EQ(Refused(stream, ReadTable, 4), RtErrIo);
    EXPECT_EQ(Refused(stream, Find, 4, 1), RtErrIo);

    ResourceFileBuilder cutBlock;
    const int32_t table = cutBlock.AddTable(4, {{4, 1, 0}});
    const int32_t cut = cutBlock.AddBlock("0123456789");
    cutBlock.bytes.pop_back();
    cutBlock.Set32(static_cast<size_t>(table) + 4 + 8, cut);  // the row's offset
    stream = Open(cutBlock);
    EXPECT_EQ(Refused(stream, Find, 4, 1), RtErrIo);
    EXPECT_EQ(LiveAllocations(), live);
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
