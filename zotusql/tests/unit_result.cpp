// Server-free checks of the value writers: bytea text forms, text cuts, refused buffers.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "internal.h"

using namespace zt;

struct ByteaCase {
    const char *text;
    bool ok;
    std::string bytes;
};

class Bytea : public ::testing::TestWithParam<ByteaCase> {};

TEST_P(Bytea, Decoded)
{
    std::string out;
    const ByteaCase &c = GetParam();
    EXPECT_EQ(c.ok, decode_bytea(c.text, std::strlen(c.text), out)) << c.text;
    if (c.ok) {
        EXPECT_EQ(c.bytes, out) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Bytea,
    ::testing::Values(ByteaCase{"\\x", true, ""}, ByteaCase{"\\x00fF10", true, std::string("\0\xff\x10", 3)},
                      ByteaCase{"\\x0", false, ""}, ByteaCase{"\\xzz", false, ""},
                      ByteaCase{"ab\\\\c\\000\\377", true, std::string("ab\\c\0\xff", 6)},
                      ByteaCase{"a\\", false, ""}, ByteaCase{"\\400", false, ""},
                      ByteaCase{"\\12", false, ""}));

TEST(WriteValue, TextCutsAndTerminators)
{
    std::string err;
    char buf[8];
    const char *v = "\xe2\x82\xac\xe2\x82\xac";  // two 3-byte characters
    for (int cap = 0; cap <= 7; ++cap) {
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(6, write_value(2, 25, v, 6, buf, cap, err)) << cap;
        size_t written = cap >= 6 ? 6 : cap >= 3 ? 3 : 0;
        EXPECT_EQ(0, std::memcmp(buf, v, written)) << cap;
        if (static_cast<int>(written) < cap) {
            EXPECT_EQ('\0', buf[written]) << cap;
        }
        EXPECT_EQ('#', buf[cap]) << cap;  // never past the capacity
    }
    EXPECT_EQ(6, write_value(2, 25, v, 6, nullptr, 0, err));
}

TEST(WriteValue, RefusedWithoutOverrun)
{
    std::string err;
    char buf[8] = {0};
    EXPECT_EQ(INT32_MIN, write_value(6, 20, "12", 2, buf, 4, err));
    EXPECT_EQ(0u, err.rfind("[22023] ", 0));
    EXPECT_EQ(INT32_MIN, write_value(5, 23, "99999999999", 11, buf, 8, err));
    EXPECT_EQ(0u, err.rfind("[22003] ", 0));
    EXPECT_EQ(INT32_MIN, write_value(5, 25, "12abc", 5, buf, 8, err));
    EXPECT_EQ(INT32_MIN, write_value(23, 1114, "yesterday", 9, buf, 8, err));
    EXPECT_EQ(-1, write_value(23, 1114, "-infinity", 9, buf, 8, err));
    EXPECT_EQ(INT32_MIN, write_value(8, 701, "1.5x", 4, buf, 8, err));
    double d = 0;
    EXPECT_EQ(8, write_value(8, 701, "-Infinity", 9, &d, 8, err));
    EXPECT_TRUE(d < 0 && d * 0 != 0);
}
