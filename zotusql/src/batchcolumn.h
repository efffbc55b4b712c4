// The columns of a batch as the library reads them: the array bindings' kinds, the read position
// in their values, and how each is written in a binary COPY. Shared by the batch paths
// (batch.cpp) and the binary COPY writer (copybinary.cpp).
#ifndef ZT_BATCHCOLUMN_H
#define ZT_BATCHCOLUMN_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "decode.h"
#include "internal.h"

namespace zt {

// How a column's values are read and sent.
enum class Kind {
    Null,    // code 0: every row NULL
    Bool,    // code 1: low byte 0 / 1 or 'F' / 'T'
    Int,     // codes 3, 4, 5, 6: signed integers of the element size
    Float,   // codes 7, 8: float or double of the element size
    Text,    // text codes: packed layout, sent byte for byte
    Binary,  // codes 15, 18, 42: packed layout, sent as bytea
    Micros,  // code 71: 8-byte microseconds since 1970-01-01 00:00:00, sent as a timestamp's
             // text (or its binary form where the target is a timestamp)
};

inline bool is_packed(Kind k) { return k == Kind::Text || k == Kind::Binary; }

// Reads a signed integer of `size` bytes (1, 2, 4 or 8) in machine order.
inline int64_t read_int(const char *p, int size)
{
    switch (size) {
    case 1: return static_cast<int8_t>(*p);
    case 2: { int16_t v; std::memcpy(&v, p, 2); return v; }
    case 4: { int32_t v; std::memcpy(&v, p, 4); return v; }
    default: { int64_t v; std::memcpy(&v, p, 8); return v; }
    }
}

inline double read_float(const char *p, int size)
{
    if (size == 4) {
        float f;
        std::memcpy(&f, p, 4);
        return f;
    }
    double d;
    std::memcpy(&d, p, 8);
    return d;
}

// How a column's values are written in a binary COPY: the target column's binary form.
enum class Wire {
    Null,         // every row NULL: fits any column type
    Bool,         // from booleans, or from integers that are all 0 or 1
    Int2, Int4, Int8,
    Float4, Float8,
    Text,         // text, varchar, bpchar: the bytes the text format would carry
    Bytea,
    Date,         // from texts, parsed beforehand into `parsed`
    Timestamp,    // from texts, parsed beforehand into `parsed`
    Micros,       // a timestamp from a microsecond count (moved to the server's epoch)
    Converted4,   // a 4-byte value computed beforehand into `parsed` (float4 from a double)
    Converted8,   // an 8-byte value computed beforehand into `parsed` (float8 from a float)
};

// One column of a batch while it runs: the binding, and the read position in its packed values.
struct Column {
    const ArrayBinding *b = nullptr;
    Kind kind = Kind::Null;
    size_t at = 0;          // packed layout: offset of the next row's length
    Oid oid = 0;            // pipeline path: the parameter's type
    int format = 0;         // pipeline path: 0 text, 1 binary
    int int_bytes = 8;      // pipeline path, integer columns: 2, 4 or 8 bytes sent
    Wire wire = Wire::Null;         // binary COPY: how the values are written
    std::vector<int64_t> parsed;    // binary COPY: per row, values read from text beforehand
};

// One value of a row: NULL, or the bytes of a packed value / the fixed-size element.
struct Value {
    bool null = true;
    const char *data = nullptr;
    int len = 0;
};

// Reads row r of the column (rows are read in order: the packed position advances).
inline Value next_value(Column &c, int r)
{
    Value v;
    const ArrayBinding &b = *c.b;
    const int *lengths = b.lengths;
    bool null = lengths && lengths[r] == -1;
    if (is_packed(c.kind)) {
        int32_t len;
        std::memcpy(&len, b.data + c.at, 4);
        c.at += 4;
        if (len >= 0) {
            v.data = b.data + c.at;
            v.len = len;
            c.at += static_cast<size_t>(len);
        } else {
            null = true;
        }
    } else if (c.kind != Kind::Null) {
        // A length of 0 in a fixed-size column is the caller's NULL (an integer column's None).
        null = null || (lengths && lengths[r] == 0);
        v.data = b.data + static_cast<size_t>(r) * static_cast<size_t>(b.size);
        v.len = b.size;
    } else {
        null = true;
    }
    v.null = null;
    return v;
}

inline bool bool_value(const char *p) { return !(*p == 0 || *p == 'F' || *p == 'f'); }

// Appends a big-endian integer of `bytes` bytes (the binary form of int2, int4, int8).
inline void append_be(std::string &out, uint64_t v, int bytes)
{
    char buf[8];
    for (int i = 0; i < bytes; ++i)
        buf[i] = static_cast<char>((v >> (8 * (bytes - 1 - i))) & 0xff);
    out.append(buf, static_cast<size_t>(bytes));
}

}  // namespace zt

#endif
