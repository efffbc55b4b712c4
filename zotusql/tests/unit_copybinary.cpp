// Timestamp texts as binary COPY reads them: the form the driver writes, the shorter ones,
// and texts that are no valid date-time (which then go to the server as text).
#include "copybinary.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr int64_t kDay = 86400000000LL;  // microseconds
constexpr int64_t kSecond = 1000000LL;

TEST(CopyTimestamp, Table)
{
    static const struct {
        const char *text;
        bool ok;
        int64_t micros;  // since 2000-01-01
    } cases[] = {
        {"2000-01-01 00:00:00.000000", true, 0},
        {"2000-01-02 00:00:00.000001", true, kDay + 1},
        {"1999-12-31 23:59:59.999999", true, -1},
        {"2024-02-29 12:00:00.500000", true, 8825 * kDay + 12 * 3600 * kSecond + 500000},
        {"0001-01-01 00:00:00.000000", true, -730119 * kDay},
        {"9999-12-31 23:59:59.999999", true, 2921940 * kDay - 1},
        {"2000-01-01 00:00:00", true, 0},
        {"2000-01-01 00:00:00.5", true, 500000},
        {"2000-01-01", true, 0},
        {"2023-02-29 00:00:00.000000", false, 0},      // no such day
        {"2024-13-01 00:00:00.000000", false, 0},
        {"2024-00-10 00:00:00.000000", false, 0},
        {"0000-01-01 00:00:00.000000", false, 0},
        {"2024-01-01 24:00:00.000000", false, 0},
        {"2024-01-01 23:60:00.000000", false, 0},
        {"2024-01-01 23:59:60.000000", false, 0},
        {"2024-01-01T00:00:00.000000", false, 0},
        {"2024-01-01 00:00:00.00000x", false, 0},
        {"2024-01-01 00:00:00,000000", false, 0},
        {"   5-03-07 04:05:06.000007", false, 0},      // a blank-padded year
        {"2024-01-01 00:00:00.0000001", false, 0},     // seven fraction digits
    };
    for (const auto &c : cases) {
        int64_t micros = 0;
        std::string text = c.text;
        EXPECT_EQ(zt::parse_iso_timestamp(text.data(), text.size(), false, micros), c.ok)
            << c.text;
        if (c.ok) {
            EXPECT_EQ(micros, c.micros) << c.text;
        }
    }
}

// Microsecond counts since 1970 as the text the library sends for them: it parses back to the
// same count, and reads as the same timestamp on the server (BC years, years past 9999).
TEST(CopyTimestamp, CountText)
{
    constexpr int64_t kShift = 10957 * kDay;  // 1970-01-01 to 2000-01-01
    static const struct {
        int64_t micros;  // since 1970-01-01
        const char *text;
    } cases[] = {
        {0, "1970-01-01 00:00:00.000000"},
        {-1, "1969-12-31 23:59:59.999999"},
        {kShift + 8825 * kDay + 12 * 3600 * kSecond + 1, "2024-02-29 12:00:00.000001"},
        {kShift - 730119 * kDay, "0001-01-01 00:00:00.000000"},
        {kShift + 2921940 * kDay - 1, "9999-12-31 23:59:59.999999"},
        {kShift + 2921940 * kDay, "10000-01-01 00:00:00.000000"},
        {kShift - 730119 * kDay - 1, "0001-12-31 23:59:59.999999 BC"},
        {kShift - 730485 * kDay, "0001-01-01 00:00:00.000000 BC"},
        {kShift - 731215 * kDay, "0003-01-01 00:00:00.000000 BC"},
    };
    for (const auto &c : cases) {
        char buf[zt::kMicrosTextMax];
        const int n = zt::format_micros_text(c.micros, buf);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), c.text) << c.micros;
        int64_t back = 0;
        if (zt::parse_iso_timestamp(buf, static_cast<size_t>(n), false, back)) {
            EXPECT_EQ(back + kShift, c.micros) << c.text;
        }
    }
}

}  // namespace
