#include "logs/text.h"

#include <gtest/gtest.h>

#include "tests/logs/store_test_util.h"

using namespace logs;

TEST(FormatTimestamp, LocalTimeWithinTheLimit) {
    store_test::use_utc();
    char buf[32];
    EXPECT_EQ(format_timestamp(1700000000, buf, sizeof buf), 19u);
    EXPECT_STREQ(buf, "2023-11-14 22:13:20");
    EXPECT_EQ(format_timestamp(0, buf, 20), 19u);
    EXPECT_STREQ(buf, "1970-01-01 00:00:00");
    // 19 characters do not fit 19 bytes with the terminator.
    EXPECT_EQ(format_timestamp(0, buf, 19), 0u);
    EXPECT_STREQ(buf, "");
}

TEST(FormatTimestamp, TimesAfter2038) {
    // Past 2^31 seconds: a 32-bit time_t (32-bit glibc without _TIME_BITS=64)
    // cannot hold them and gave the epoch text.
    store_test::use_utc();
    char buf[32];
    EXPECT_EQ(format_timestamp(2147483648, buf, sizeof buf), 19u);
    EXPECT_STREQ(buf, "2038-01-19 03:14:08");
    EXPECT_EQ(format_timestamp(4102444800, buf, sizeof buf), 19u);
    EXPECT_STREQ(buf, "2100-01-01 00:00:00");
}

TEST(FormatTimestamp, FollowsTheTimeZone) {
    ::setenv("TZ", "CET-1", 1);
    ::tzset();
    char buf[32];
    format_timestamp(1700000000, buf, sizeof buf);
    EXPECT_STREQ(buf, "2023-11-14 23:13:20");
    store_test::use_utc();
}

TEST(FormatTimestamp, UnconvertibleTimeGivesTheEpochTextCut) {
    char buf[32];
    const int64_t far = INT64_MAX;
    EXPECT_EQ(format_timestamp(far, buf, sizeof buf), 23u);
    EXPECT_STREQ(buf, "1970-01-01 00:00:00.000");
    EXPECT_EQ(format_timestamp(far, buf, 20), 19u);
    EXPECT_STREQ(buf, "1970-01-01 00:00:00");
}

TEST(BytesToHex, UpperCasePairs) {
    const uint8_t frame[] = {0x01, 0xA2, 0x04};
    char out[7];
    bytes_to_hex(frame, 3, out);
    EXPECT_STREQ(out, "01A204");
    bytes_to_hex(frame, 0, out);
    EXPECT_STREQ(out, "");
}

TEST(HexToBytes, Cases) {
    struct {
        const char* text;
        std::optional<std::vector<uint8_t>> bytes;
    } cases[] = {
        {"0a1B", std::vector<uint8_t>{0x0A, 0x1B}},
        {"FF00ff", std::vector<uint8_t>{0xFF, 0x00, 0xFF}},
        {"", std::vector<uint8_t>{}},
        {"abc", std::nullopt},
        {"0g", std::nullopt},
        {"g0", std::nullopt},
        {" 01", std::nullopt},
        {"0x", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(hex_to_bytes(c.text), c.bytes) << c.text;
}
