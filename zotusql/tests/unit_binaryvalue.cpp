// Server-free checks of binary values that no server sends: wrong sizes and malformed numerics
// are refused (no text, nothing decoded) without reading past their bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "binaryvalue.h"
#include "internal.h"

using namespace zt;

struct MalformedCase {
    Oid oid;
    std::string bytes;
};

class MalformedBinary : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedBinary, Refused)
{
    const MalformedCase &c = GetParam();
    // An exact-size copy, so that the sanitizers see any read beyond the value.
    std::unique_ptr<char[]> bytes(new char[c.bytes.size() + 1]);
    std::memcpy(bytes.get(), c.bytes.data(), c.bytes.size());
    bytes[c.bytes.size()] = '\0';
    std::string text;
    EXPECT_FALSE(binary_text(c.oid, bytes.get(), c.bytes.size(), text)) << c.oid;
    ZTC_ROWVALUE v{};
    binary_view(column_type(c.oid, -1).code, c.oid, bytes.get(), c.bytes.size(), v, text);
    EXPECT_EQ(0, v.decoded) << c.oid;
    EXPECT_EQ(nullptr, v.text) << c.oid;
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, MalformedBinary,
    ::testing::Values(
        MalformedCase{OID_BOOL, ""}, MalformedCase{OID_INT2, std::string(1, '\1')},
        MalformedCase{OID_INT4, std::string(2, '\1')}, MalformedCase{OID_OID, std::string(8, '\1')},
        MalformedCase{OID_INT8, std::string(4, '\1')}, MalformedCase{OID_FLOAT4, "\1\2"},
        MalformedCase{OID_FLOAT8, std::string(4, '\1')}, MalformedCase{OID_DATE, "\1"},
        MalformedCase{OID_TIMESTAMP, std::string(7, '\1')},
        // numeric: too short, digit count beyond the bytes, a digit over 9999, a bad sign word
        MalformedCase{OID_NUMERIC, std::string(7, '\0')},
        MalformedCase{OID_NUMERIC, std::string("\0\2\0\0\0\0\0\0\0\1", 10)},
        MalformedCase{OID_NUMERIC, std::string("\0\1\0\0\0\0\0\0\x27\x10", 10)},
        MalformedCase{OID_NUMERIC, std::string("\0\0\0\0\x12\x34\0\0", 8)},
        MalformedCase{OID_INTERVAL, std::string(16, '\0')}));
