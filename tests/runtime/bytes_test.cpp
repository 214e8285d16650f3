// SPDX-License-Identifier: MIT
// Byte and string primitives: searches, comparisons, copies and fills against
// byte-by-byte references, at every small alignment and count.
#include "runtime/bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// A span that ends exactly at the end of its heap block, so that ASan reports
// any read of data[length].
std::unique_ptr<char[]> ExactBlock(const char* text, size_t length) {
    std::unique_ptr<char[]> block(new char[length]);
    std::memcpy(block.get(), text, length);
    return block;
}

// Every byte and every pattern cut from the text, searched for in every
// prefix of it held in a block of exactly its length (so that ASan reports any
// read past the span), against std::string's find and rfind: first and last
// occurrences, occurrences ending at the span's end, patterns as long as the
// span and longer than it.
TEST(Search, FindsWhatFindAndRfindFindWithinTheSpanOnly) {
    const std::string text = "abXab<Xa\xE9<bab";
    for (size_t length = 0; length <= text.size(); ++length) {
        SCOPED_TRACE(length);
        auto block = ExactBlock(text.data(), length);
        const char* span = block.get();
        const std::string reference = text.substr(0, length);
        auto at = [&](size_t found) { return found == std::string::npos ? nullptr : span + found; };
        for (const char byte : text + "z") {
            EXPECT_EQ(FindByte(span, length, byte), at(reference.find(byte))) << byte;
            EXPECT_EQ(FindLastByte(span, length, byte), at(reference.rfind(byte))) << byte;
        }
        for (size_t from = 0; from < text.size(); ++from) {
            for (size_t count = 1; from + count <= text.size(); ++count) {
                const std::string pattern = text.substr(from, count);
                EXPECT_EQ(FindBytes(span, length, pattern.data(), count),
                          at(reference.find(pattern)))
                    << pattern;
                EXPECT_EQ(FindLastBytes(span, length, pattern.data(), count),
                          at(reference.rfind(pattern)))
                    << pattern;
            }
        }
        EXPECT_EQ(FindBytes(span, length, span, length), length == 0 ? nullptr : span);
    }
}

TEST(ByteSearch, OnlyLowEightBitsOfTheSearchByteCount) {
    const char text[] = "ab<";
    EXPECT_EQ(FindByte(text, 3, 0x13C), text + 2);
    EXPECT_EQ(FindLastByte(text, 3, 0x13C), text + 2);
    const char high[] = {'a', static_cast<char>(0xE9)};
    EXPECT_EQ(FindByte(high, 2, 0xE9), high + 1);
    EXPECT_EQ(FindByte(high, 2, -23), high + 1);  // -23 is 0xE9 in its low byte
}

TEST(ByteSearch, AbsentOrEmptySpansFindNothing) {
    const char text[] = "abc";
    EXPECT_EQ(FindByte(nullptr, 3, 'a'), nullptr);
    EXPECT_EQ(FindByte(text, 0, 'a'), nullptr);
    EXPECT_EQ(FindLastByte(nullptr, 3, 'a'), nullptr);
    EXPECT_EQ(FindLastByte(text, 0, 'a'), nullptr);
    EXPECT_EQ(FindBytes(nullptr, 3, "a", 1), nullptr);
    EXPECT_EQ(FindBytes(text, 3, nullptr, 1), nullptr);
    EXPECT_EQ(FindBytes(text, 0, "a", 1), nullptr);
    EXPECT_EQ(FindBytes(text, 3, "a", 0), nullptr);
    EXPECT_EQ(FindLastBytes(nullptr, 3, "a", 1), nullptr);
    EXPECT_EQ(FindLastBytes(text, 3, "", 0), nullptr);
}

TEST(Comparison, BytesEqualResults) {
    EXPECT_EQ(BytesEqual("abc", "abd", 2), 1);
    EXPECT_EQ(BytesEqual("abc", "abd", 3), 0);
    EXPECT_EQ(BytesEqual("abc", "xyz", 0), 1);
    EXPECT_EQ(BytesEqual(nullptr, "abc", 0), RtErrArgument);
    EXPECT_EQ(BytesEqual("abc", nullptr, 3), RtErrArgument);
    EXPECT_EQ(BytesEqual32("abc", "abd", 3), 0);
    EXPECT_EQ(BytesEqual32("abc", "xyz", -5), 1);
    EXPECT_EQ(BytesEqual32(nullptr, "abc", 1), RtErrArgument);
}

TEST(Comparison, StringsOrderAsUnsignedBytes) {
    const char high[] = {static_cast<char>(0x80), 0};
    EXPECT_EQ(CompareStrings(high, "a"), 1);
    EXPECT_EQ(CompareStrings("a", high), -1);
    EXPECT_EQ(CompareStrings("abc", "abc"), 0);
    EXPECT_EQ(CompareStrings("ab", "abc"), -1);  // a proper prefix orders first
    EXPECT_EQ(CompareStrings("abc", "ab"), 1);
    EXPECT_EQ(CompareStrings(nullptr, "a"), RtErrArgument);
    EXPECT_EQ(CompareStrings("a", nullptr), RtErrArgument);
}

TEST(Strings, LengthCopyAndAppend) {
    EXPECT_EQ(StringLength(nullptr), RtErrArgument);
    EXPECT_EQ(StringLength(""), 0);
    EXPECT_EQ(StringLength("abc"), 3);

    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(CopyString("abc", buffer), 3);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], 'x');  // nothing beyond the NUL
    EXPECT_EQ(AppendString("de", buffer), 5);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(AppendString("", buffer), 5);

    EXPECT_EQ(CopyString(nullptr, buffer), RtErrArgument);
    EXPECT_EQ(CopyString("zz", nullptr), RtErrArgument);
    EXPECT_EQ(AppendString(nullptr, buffer), RtErrArgument);
    EXPECT_EQ(AppendString("zz", nullptr), RtErrArgument);
    EXPECT_STREQ(buffer, "abcde");
}

// Copies between every pair of start offsets 0..7 and every count 0..12,
// between separate buffers and within one buffer (either direction of
// overlap, by bytes and by aligned words), against memmove.
TEST(Copy, MatchesReferenceAtEveryAlignmentAndCount) {
    alignas(8) unsigned char source[32];
    alignas(8) unsigned char actual[32];
    alignas(8) unsigned char expected[32];
    for (int i = 0; i < 32; ++i) {
        source[i] = static_cast<unsigned char>(0x80 + i);
    }
    for (int from = 0; from < 8; ++from) {
        for (int to = 0; to < 8; ++to) {
            for (int count = 0; count <= 12; ++count) {
                std::memset(actual, 0, sizeof actual);
                std::memset(expected, 0, sizeof expected);
                MoveBytes(source + from, actual + to, count);
                std::memmove(expected + to, source + from, count);
                ASSERT_EQ(std::memcmp(actual, expected, 32), 0)
                    << "separate from=" << from << " to=" << to << " count=" << count;

                std::memcpy(actual, source, 32);
                std::memcpy(expected, source, 32);
                MoveBytes(actual + from, actual + to, count);
                std::memmove(expected + to, expected + from, count);
                ASSERT_EQ(std::memcmp(actual, expected, 32), 0)
                    << "overlapping from=" << from << " to=" << to << " count=" << count;
            }
        }
    }
}

// Fills at every start offset 0..7 and count 0..9 set exactly the range.
TEST(Fill, SetsExactlyTheRangeAtEveryAlignmentAndCount) {
    alignas(8) unsigned char actual[24];
    unsigned char expected[24];
    for (int start = 0; start < 8; ++start) {
        for (int count = 0; count <= 9; ++count) {
            std::memset(actual, 0x11, sizeof actual);
            std::memset(expected, 0x11, sizeof expected);
            FillBytes(actual + start, 0x1A5, count);
            std::memset(expected + start, 0xA5, count);
            ASSERT_EQ(std::memcmp(actual, expected, sizeof actual), 0)
                << "start=" << start << " count=" << count;

            std::memset(actual, 0x11, sizeof actual);
            FillBytes32(actual + start, 0xA5, count);
            ASSERT_EQ(std::memcmp(actual, expected, sizeof actual), 0)
                << "32-bit start=" << start << " count=" << count;
        }
    }
}

TEST(CopyAndFill, AbsentPointersAndNonPositiveCountsWriteNothing) {
    char buffer[] = "abcd";
    MoveBytes(nullptr, buffer, 4);
    MoveBytes(buffer, nullptr, 4);
    MoveBytes("zzzz", buffer, 0);
    MoveBytes32("zzzz", buffer, 0);
    MoveBytes32("zzzz", buffer, -3);
    MoveBytes(buffer, buffer, 4);
    FillBytes(nullptr, 'z', 4);
    FillBytes(buffer, 'z', 0);
    FillBytes32(buffer, 'z', 0);
    FillBytes32(buffer, 'z', -1);
    FillBytes32(nullptr, 'z', 4);
    EXPECT_STREQ(buffer, "abcd");
    MoveBytes32("zz", buffer + 1, 2);
    EXPECT_STREQ(buffer, "azzd");
}

}  // namespace
