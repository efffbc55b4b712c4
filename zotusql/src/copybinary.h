// What a batch needs to stream its rows in COPY's binary format: whether COPY may replace the
// INSERT and the target's column types (asked once per text and transaction), the plan of how
// each column is written, the binary forms of the dates and timestamps that the driver hands
// over as text, and the rows themselves.
#ifndef ZT_COPYBINARY_H
#define ZT_COPYBINARY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "batchcolumn.h"
#include "internal.h"

namespace zt {

// Asks the catalog, in one query, whether one COPY into `target` stores exactly what one
// INSERT per row of `markers` values would (see copy_equivalence in copybinary.cpp), and for
// the COPY's column list and types. `columns` is the INSERT's column list as written
// ("(a, \"B\")"), or empty for the first `markers` columns. An unknown name, or a list the
// library does not read, leaves out.copy false. False with the message recorded when the query
// fails (a query that runs inside the caller's transaction).
bool describe_copy_target(Session &s, const std::string &target, const std::string &columns,
                          int markers, CopyTarget &out);

// Splits a column list "(a, \"B c\", d)" into its names as written (quotes kept). False for
// anything but plain or double-quoted names separated by commas (comments, for instance).
bool split_column_list(const std::string &columns, std::vector<std::string> &names);

// "YYYY-MM-DD" -> days since 2000-01-01. Only four-digit years (0001 to 9999) and real days of
// the month are read; false otherwise, so that the caller lets the server read the text.
bool parse_iso_date(const char *p, size_t n, int32_t &days);

// "YYYY-MM-DD[ HH:MM:SS[.f, up to 6 digits]]", followed when with_offset by an optional UTC
// offset "+HH[:MM[:SS]]" / "-HH[:MM[:SS]]" -> microseconds since 2000-01-01 00:00:00 (the UTC
// instant when an offset is given; no offset means UTC). False for any other form (24:00:00,
// leap seconds, more than 6 fraction digits, an offset where none is expected).
bool parse_iso_timestamp(const char *p, size_t n, bool with_offset, int64_t &micros);

// Plans every column of a batch for a binary COPY into columns of the given types (wire and,
// where values are converted beforehand, `parsed`). False when the batch must go in text: the
// types are unknown, a type is one the library does not write, or a value's binary form could
// differ from what the server reads from its text (an integer beyond its column, a date text
// of another shape); the server then reads the text and reports what it refuses.
bool plan_binary(const Session &s, std::vector<Column> &cols, const std::vector<Oid> &types,
                 int rows);
// The same with the session's TimeZone given (`utc`: it reads a timestamp without offset as UTC).
bool plan_binary_columns(std::vector<Column> &cols, const std::vector<Oid> &types, int rows,
                         bool utc);

// The plans of each target column type (the codec table's copy_plan): each chooses how a batch
// column of its kind goes into a column of that type (c.wire, and c.parsed for values converted
// beforehand, checking every row where a value could differ from what the server reads from its
// text); false sends the batch as text. `utc`: the session's TimeZone is UTC.
bool plan_into_bool(Column &c, int rows, bool utc);
bool plan_into_int2(Column &c, int rows, bool utc);
bool plan_into_int4(Column &c, int rows, bool utc);
bool plan_into_int8(Column &c, int rows, bool utc);
bool plan_into_float4(Column &c, int rows, bool utc);
bool plan_into_float8(Column &c, int rows, bool utc);
bool plan_into_text(Column &c, int rows, bool utc);
bool plan_into_bytea(Column &c, int rows, bool utc);
bool plan_into_date(Column &c, int rows, bool utc);
bool plan_into_timestamp(Column &c, int rows, bool utc);
bool plan_into_timestamptz(Column &c, int rows, bool utc);

// Appends row r of planned columns in binary COPY's row format.
void append_binary_row(std::string &buf, std::vector<Column> &cols, int r);

// Binary COPY's fixed header: signature, flags, header extension length.
constexpr char kBinaryCopyHeader[19] = {'P', 'G', 'C', 'O', 'P', 'Y', '\n', '\xff', '\r', '\n',
                                        '\0', 0, 0, 0, 0, 0, 0, 0, 0};

// Whether the session reads timestamps without an offset as UTC (its TimeZone setting).
bool session_time_zone_is_utc(const Session &s);

}  // namespace zt

#endif
