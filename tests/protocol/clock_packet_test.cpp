// SPDX-License-Identifier: MIT
// The 36-byte date/time packet: the example byte for byte in local time, and
// its layout and checksum at any time of day.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "protocol/clock_exchange.h"
#include "protocol_test_util.h"

using prototest::kExamplePacket;

namespace {

// Switches the process to a time zone for one test and back to UTC after it.
class LocalTime : public ::testing::Test {
protected:
    static void Zone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    void SetUp() override { Zone("UTC0"); }
    void TearDown() override { Zone("UTC0"); }

    static time_t Utc(int year, int month, int day, int hour, int minute) {
        struct tm fields = {};
        fields.tm_year = year - 1900;
        fields.tm_mon = month - 1;
        fields.tm_mday = day;
        fields.tm_hour = hour;
        fields.tm_min = minute;
        return timegm(&fields);
    }
};

std::string Hex(const uint8_t (&bytes)[ClockPacketSize]) {
    std::string text;
    for (uint8_t byte : bytes) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X ", byte);
        text += two;
    }
    return text;
}

TEST_F(LocalTime, ThePacketCarriesLocalNotUniversalTime) {
    ClockPacket packet;
    ASSERT_TRUE(BuildClockPacket(Utc(2024, 3, 1, 9, 5), &packet));
    EXPECT_EQ(Hex(packet.bytes), Hex(kExamplePacket));
    Zone("CET-1");  // one hour east of UTC, no summer time on 1 March
    ASSERT_TRUE(BuildClockPacket(Utc(2024, 3, 1, 8, 5), &packet));
    EXPECT_EQ(Hex(packet.bytes), Hex(kExamplePacket));
    Zone("EST5EDT");  // the day before, in the evening
    ASSERT_TRUE(BuildClockPacket(Utc(2024, 3, 1, 9, 5), &packet));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(packet.bytes + 16)), "24/03/01 04:05");
}

TEST_F(LocalTime, PayloadSumsToZeroAndPaddingStaysZeroAtAnyTime) {
    const int years[] = {1999, 2000, 2024, 2037, 2099, 2100};
    for (int year : years) {
        for (int minuteOfYear = 0; minuteOfYear < 366 * 24 * 60; minuteOfYear += 997) {
            const time_t now = Utc(year, 1, 1, 0, 0) + time_t{minuteOfYear} * 60;
            ClockPacket packet;
            ASSERT_TRUE(BuildClockPacket(now, &packet));
            unsigned sum = 0;
            for (int i = 16; i < 36; ++i) {
                sum += packet.bytes[i];
            }
            ASSERT_EQ(sum % 256, 0u) << Hex(packet.bytes);
            for (int i : {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 30, 31, 32, 33, 34}) {
                ASSERT_EQ(packet.bytes[i], 0) << "byte " << i << ": " << Hex(packet.bytes);
            }
            ASSERT_EQ(packet.bytes[15], 0x14);

            struct tm local = {};
            gmtime_r(&now, &local);
            char expected[64];
            std::snprintf(expected, sizeof expected, "%02d/%02d/%02d %02d:%02d",
                          local.tm_year % 100, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min);
            ASSERT_EQ(std::string(reinterpret_cast<const char*>(packet.bytes + 16)), expected);
        }
    }
}

TEST_F(LocalTime, TimesWithoutLocalTimeLeaveThePacketUntouched) {
    ClockPacket packet;
    std::memcpy(packet.bytes, kExamplePacket, ClockPacketSize);
    EXPECT_FALSE(BuildClockPacket(static_cast<time_t>(INT64_MAX), &packet));
    EXPECT_EQ(Hex(packet.bytes), Hex(kExamplePacket));
    EXPECT_FALSE(BuildClockPacket(0, nullptr));
}

}  // namespace
