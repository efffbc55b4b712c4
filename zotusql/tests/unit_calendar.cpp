// The shared calendar (zt_calendar.h): day counts against a day-by-day walk of the
// calendar, fixed dates around every era boundary, and the writers' texts.
#include "zt_calendar.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace zt_calendar;

// Every day from 1599-03-01 to 2401-03-01 and from 801 BC to 399: the counts run
// one by one and each day's date comes back from its count.
TEST(Calendar, WalkMatchesCounts)
{
    for (int64_t start : {int64_t{1599}, int64_t{-800}}) {
        int64_t y = start;
        int m = 3, d = 1;
        int64_t days = days_from_civil(y, m, d);
        for (int i = 0; i < 400 * 366 * 2; ++i) {
            int64_t yy;
            int mm, dd;
            civil_from_days(days, yy, mm, dd);
            ASSERT_EQ(y, yy) << days;
            ASSERT_EQ(m, mm) << days;
            ASSERT_EQ(d, dd) << days;
            ASSERT_EQ(days, days_from_civil(y, m, d));
            ++days;
            if (++d > days_in_month(y, m)) {
                d = 1;
                if (++m > 12) {
                    m = 1;
                    ++y;
                }
            }
        }
    }
}

TEST(Calendar, FixedDays)
{
    static const struct {
        int64_t y;
        int m, d;
        int64_t days;
    } cases[] = {
        {1970, 1, 1, 0},
        {1969, 12, 31, -1},
        {2000, 1, 1, kPgEpochDays},
        {2000, 2, 29, 11016},
        {2100, 3, 1, 47541},  // 2100 is not a leap year
        {1, 1, 1, -719162},
        {0, 12, 31, -719163},    // 1 BC
        {0, 2, 29, -719469},  // 1 BC is a leap year
        {-4, 2, 29, -720930},
        {9999, 12, 31, 2932896},
        {10000, 1, 1, 2932897},
        {-400, 3, 1, -719468 - 146097},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.days, days_from_civil(c.y, c.m, c.d)) << c.y << "-" << c.m << "-" << c.d;
        int64_t y;
        int m, d;
        civil_from_days(c.days, y, m, d);
        EXPECT_EQ(c.y, y) << c.days;
        EXPECT_EQ(c.m, m) << c.days;
        EXPECT_EQ(c.d, d) << c.days;
    }
}

TEST(Calendar, LeapYearsAndMonths)
{
    static const struct {
        int64_t y;
        int m, days;
        bool valid29;  // whether day 29 of the month exists
    } cases[] = {
        {2000, 2, 29, true}, {1900, 2, 28, false}, {2024, 2, 29, true}, {2023, 2, 28, false},
        {0, 2, 29, true},    {-100, 2, 28, false}, {-400, 2, 29, true}, {2023, 4, 30, true},
        {2023, 9, 30, true}, {2023, 12, 31, true}, {2023, 1, 31, true}, {2023, 11, 30, true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.days, days_in_month(c.y, c.m)) << c.y << "-" << c.m;
        EXPECT_EQ(c.valid29, valid_date(c.y, c.m, 29)) << c.y << "-" << c.m;
        EXPECT_FALSE(valid_date(c.y, c.m, c.days + 1));
    }
    EXPECT_FALSE(valid_date(2023, 0, 1));
    EXPECT_FALSE(valid_date(2023, 13, 1));
    EXPECT_FALSE(valid_date(2023, 1, 0));
}

TEST(Calendar, FloorDivision)
{
    static const struct {
        int64_t a, b, q, r;
    } cases[] = {
        {7, 2, 3, 1}, {-7, 2, -4, 1}, {-8, 2, -4, 0}, {0, 5, 0, 0}, {-1, kMicrosPerDay, -1, kMicrosPerDay - 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.q, floor_div(c.a, c.b)) << c.a << "/" << c.b;
        EXPECT_EQ(c.r, floor_mod(c.a, c.b)) << c.a << "%" << c.b;
    }
}

std::string timestamp_text(int64_t days, int64_t us, bool trim, bool zone)
{
    char buf[kTimestampTextMax];
    return std::string(buf, write_timestamp(buf, days, us, trim, zone));
}

TEST(Calendar, Writers)
{
    static const struct {
        int64_t days, us;
        bool trim, zone;
        const char *text;
    } cases[] = {
        {0, 0, false, false, "1970-01-01 00:00:00.000000"},
        {0, 0, true, false, "1970-01-01 00:00:00"},
        {0, 1500000, true, true, "1970-01-01 00:00:01.5+00"},
        {-1, kMicrosPerDay - 1, true, false, "1969-12-31 23:59:59.999999"},
        {-719163, 0, true, false, "0001-12-31 00:00:00 BC"},
        {-719163, 0, false, true, "0001-12-31 00:00:00.000000+00 BC"},
        {2932897, 3723000000, true, false, "10000-01-01 01:02:03"},
        {-719162 + 4 * 365 + 1, 120000, true, false, "0005-01-01 00:00:00.12"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.text, timestamp_text(c.days, c.us, c.trim, c.zone));

    char buf[kTimestampTextMax];
    EXPECT_EQ("   5-03-07", std::string(buf, write_ymd(buf, 5, 3, 7, ' ')));
    EXPECT_EQ("0005-03-07", std::string(buf, write_ymd(buf, 5, 3, 7)));
    EXPECT_EQ("12345-12-01", std::string(buf, write_ymd(buf, 12345, 12, 1, ' ')));
    EXPECT_EQ("13:04:05.000700", std::string(buf, write_time_of_day(buf, 47045000700, false)));
    EXPECT_EQ("13:04:05.0007", std::string(buf, write_time_of_day(buf, 47045000700, true)));
    bool bc = false;
    EXPECT_EQ("0044-03-15", std::string(buf, write_date(buf, days_from_civil(-43, 3, 15), bc)));
    EXPECT_TRUE(bc);
    // A count before 1970 keeps its time of day within the day.
    EXPECT_EQ("1969-12-31 23:59:59.999999", std::string(buf, buf + format_micros_text(-1, buf)));
    EXPECT_EQ("1970-01-02 00:00:00.000000+00",
              std::string(buf, buf + format_micros_text(kMicrosPerDay, buf, true)));
}

}  // namespace
