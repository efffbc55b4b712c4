// Values of results that arrive in PostgreSQL's binary wire format (a named cursor's pages once
// its columns are known). Such a result is asked for only when every column has a type listed
// here, whose binary form turns back into exactly the text the server would have sent on this
// session: the readers of values (ZTC_GetData, ZTC_GetRowValues) then work as on text, while the
// server skips writing numbers and date-times as text and the library skips parsing them.
#ifndef ZT_BINARYVALUE_H
#define ZT_BINARYVALUE_H

#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ZTCsql.h"

namespace zt {

// Whether a column of type `oid` may be read in binary form on this connection (its codec's
// BinaryRead: dates and timestamps need DateStyle ISO, timestamptz also TimeZone UTC, the
// session's settings, which a caller's SET may change).
bool binary_readable(const PGconn *conn, Oid oid);
// Whether columns of these types may all be read in binary form (false for no columns).
bool binary_readable_types(const PGconn *conn, const std::vector<Oid> &types);

// The text form of a binary value of type `oid` into out; false for a type not listed or bytes
// not of that type's form.
bool binary_text(Oid oid, const char *bytes, size_t len, std::string &out);

// Fills the view of a binary value of type `oid` read in type code `code`: the decoded number
// as decode_view gives it from the text; the text where the bytes are the text (character
// types) or rendered into `text` (numeric, date); otherwise a null text (the caller reads the
// text with ZTC_GetData).
void binary_view(int code, Oid oid, const char *bytes, size_t len, ZTC_ROWVALUE &v,
                 std::string &text);

// The binary forms of each type, as the codec table (codec.cpp) holds them: *_text writes the
// text the server would send (false for bytes not of the form), *_view fills a row view as
// binary_view describes.
namespace binary {
bool bool_text(const char *p, size_t len, std::string &out);
void bool_view(int code, const char *p, size_t len, ZTC_ROWVALUE &v, std::string &text);
// int2 (2 bytes), int4 (4), oid (4, unsigned), int8 (8).
template <int size, bool is_unsigned>
bool integer_text(const char *p, size_t len, std::string &out);
template <int size, bool is_unsigned>
void integer_view(int code, const char *p, size_t len, ZTC_ROWVALUE &v, std::string &text);
// float4 (4 bytes), float8 (8).
template <int size>
bool real_text(const char *p, size_t len, std::string &out);
template <int size>
void real_view(int code, const char *p, size_t len, ZTC_ROWVALUE &v, std::string &text);
bool numeric_text(const char *p, size_t len, std::string &out);
void numeric_view(int code, const char *p, size_t len, ZTC_ROWVALUE &v, std::string &text);
// text, varchar, bpchar, name: the bytes are the text.
bool character_text(const char *p, size_t len, std::string &out);
void character_view(int code, const char *p, size_t len, ZTC_ROWVALUE &v, std::string &text);
bool date_text(const char *p, size_t len, std::string &out);
void date_view(int code, const char *p, size_t len, ZTC_ROWVALUE &v, std::string &text);
bool timestamp_text(const char *p, size_t len, std::string &out);
bool timestamptz_text(const char *p, size_t len, std::string &out);
void timestamp_view(int code, const char *p, size_t len, ZTC_ROWVALUE &v, std::string &text);
}  // namespace binary

}  // namespace zt

#endif
