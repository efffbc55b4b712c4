// The codec table: one record per PostgreSQL type the library reads or writes in a form of
// its own, saying in one place what a column of that type reports, how its text and binary
// values are read, how a bound value of it is written, and how a batch column goes into it in
// a binary COPY. Results, row views, binary pages, COPY plans and bindings all ask this table;
// none of them switches on a type OID itself. A type without a record reads as text (type
// code 2), is never asked for in binary form, and takes batches only as text.
#ifndef ZT_CODEC_H
#define ZT_CODEC_H

#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "ZTCsql.h"
#include "datestyle.h"

namespace zt {

struct Column;
struct ColumnInfo;

// When values of a type may be asked for in PostgreSQL's binary form: only while the form
// turns back into exactly the text the server would send on the session.
enum class BinaryRead : uint8_t {
    Never,        // always text
    Always,       // the binary form carries nothing of the session's settings
    FloatDigits,  // while extra_float_digits is 1 or more (the text is the shortest exact form)
    IsoDates,     // while DateStyle is ISO
    IsoUtc,       // while DateStyle is ISO and TimeZone is UTC
};

// How a bound parameter of a type is written: text or binary, and from which of the
// caller's value forms. A writer left null means no type code gives that form for the type.
struct Writer {
    int format;                                              // 0 text, 1 binary
    void (*integer)(int64_t v, std::string &out);            // a whole number
    void (*real)(double v, std::string &out);                // a float or double
    void (*micros)(int64_t us, std::string &out);            // a microsecond count
    // A text, written as the type reads it; false (with nothing sent) when it does not read.
    bool (*text)(const char *p, size_t n, std::string &out);
};

struct Codec {
    Oid oid = 0;
    const char *name = nullptr;

    // Reading. The type code and modifier a column reports, from its type modifier.
    void (*column)(int typmod, ColumnInfo &info) = nullptr;
    bool with_time_zone = false;          // ZTC_COLUMN_WITH_TIME_ZONE
    // Its text follows DateStyle (rewritten into ISO, of form date_kind, as rows load).
    bool date_styled = false;
    DateKind date_kind = DateKind::Date;
    bool bytea_text = false;              // bytea's escaped text (decoded for binary codes)
    // The decoded number of a row view, from the text (null: the view offers the text only).
    // `code` is the column's own type code.
    void (*text_view)(int code, const char *text, size_t len, ZTC_ROWVALUE &v) = nullptr;
    BinaryRead binary = BinaryRead::Never;
    // The text the server would send for a binary value; false for bytes not of the form.
    bool (*binary_text)(const char *p, size_t len, std::string &out) = nullptr;
    // The row view of a binary value (the text left null where only binary_text gives it).
    void (*binary_view)(int code, const char *p, size_t len, ZTC_ROWVALUE &v,
                        std::string &text) = nullptr;

    // Writing a bound parameter of this type.
    Writer send = {0, nullptr, nullptr, nullptr, nullptr};

    // Binary COPY: plans a batch column into a target column of this type (`utc`: the
    // session reads timestamps without offset as UTC); false, or null, sends the batch as
    // text and lets the server read it.
    bool (*copy_plan)(Column &c, int rows, bool utc) = nullptr;
};

// The record of a type: the table's, or the text record for a type it does not list.
const Codec &codec_of(Oid oid);

// Whether a value of `codec` may arrive in binary form on this connection now (the
// session's DateStyle and TimeZone; extra_float_digits is the caller's to check).
bool binary_allowed(const PGconn *conn, const Codec &codec);

}  // namespace zt

#endif
