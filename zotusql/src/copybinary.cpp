// Binary COPY for batches: the catalog query that tells a batch its target's column types, the
// plan that checks each column can go in binary, the parsers that turn the driver's date and
// timestamp texts into their binary forms, and the writer of binary rows.
#include "copybinary.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "codec.h"
#include "decode.h"

namespace zt {

namespace {

// The catalog query behind describe_copy_target: $1 the target's name, then either $2 the
// marker count (no column list: the INSERT fills the first $2 columns, generated ones included)
// or $2 the listed names and $3 the marker count. The `cols` part differs by shape, so that the
// server parses only what it runs. It gives one row (none for an unknown name): the target
// columns' types in the INSERT's order ("0" for a name the table lacks), their quoted names,
// and whether COPY is equivalent.
//
// COPY stores what one INSERT per row would only into a plain or partitioned table, none of
// whose partitions is a foreign table, and only without each of these, where COPY differs:
// - rules (COPY ignores them), row-level security (COPY FROM refuses it);
// - a target column that is an identity GENERATED ALWAYS or a generated column (COPY stores
//   what the INSERT refuses with [428C9]);
// - an INSERT trigger of the user's on the table or a partition: statement triggers fire once
//   for a COPY but once per INSERT, and AFTER ROW triggers fire after the last row of a COPY
//   but after each INSERT's own row;
// - a foreign key between the table's own partitions or onto itself: a row may name a later
//   row of the same COPY, which an INSERT per row refuses;
// - a column left out whose type is a domain and which has no default: the INSERT checks the
//   domain on its NULL, COPY stores the NULL unchecked;
// - a count of columns other than the markers' (the INSERT reports it).
constexpr const char *kTargetHead =
    "WITH r AS (SELECT c.oid, c.relkind, c.relhasrules, c.relrowsecurity "
    "FROM pg_catalog.pg_class c WHERE c.oid = pg_catalog.to_regclass($1)), "
    "tree AS (SELECT r.oid AS relid FROM r UNION "
    "SELECT p.relid FROM r, pg_catalog.pg_partition_tree(r.oid) p WHERE r.relkind = 'p'), ";
constexpr const char *kFirstColumns =
    "cols AS (SELECT a.attnum, a.atttypid, a.attname, a.attidentity, a.attgenerated, "
    "a.attnum AS ord FROM r JOIN pg_catalog.pg_attribute a ON a.attrelid = r.oid "
    "WHERE a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum LIMIT $2::int) ";
constexpr const char *kListedColumns =
    "cols AS (SELECT a.attnum, a.atttypid, a.attname, a.attidentity, a.attgenerated, k.ord "
    "FROM pg_catalog.unnest($2::text[]) WITH ORDINALITY AS k(name, ord) "
    "LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = (SELECT r.oid FROM r) "
    "AND a.attnum > 0 AND NOT a.attisdropped "
    "AND a.attname = (pg_catalog.parse_ident(k.name))[1]::name) ";
constexpr const char *kTargetBody =
    "SELECT (SELECT pg_catalog.string_agg(COALESCE(cols.atttypid::pg_catalog.text, '0'), ' ' "
    "ORDER BY cols.ord) FROM cols), "
    "(SELECT pg_catalog.string_agg(pg_catalog.quote_ident(cols.attname), ',' ORDER BY cols.ord) "
    "FROM cols), "
    "r.relkind IN ('r', 'p') AND NOT r.relhasrules AND NOT r.relrowsecurity "
    "AND (SELECT pg_catalog.count(*) FROM cols) = $%d "
    "AND NOT EXISTS (SELECT 1 FROM cols WHERE cols.attnum IS NULL OR cols.attidentity = 'a' "
    "OR cols.attgenerated <> '') "
    "AND NOT EXISTS (SELECT 1 FROM tree JOIN pg_catalog.pg_class f ON f.oid = tree.relid "
    "WHERE f.relkind = 'f') "
    "AND NOT EXISTS (SELECT 1 FROM pg_catalog.pg_trigger g JOIN tree ON g.tgrelid = tree.relid "
    "WHERE NOT g.tgisinternal AND (g.tgtype & 4) <> 0) "
    "AND NOT EXISTS (SELECT 1 FROM pg_catalog.pg_constraint k WHERE k.contype = 'f' "
    "AND k.conrelid IN (SELECT relid FROM tree) AND k.confrelid IN (SELECT relid FROM tree)) "
    "AND NOT EXISTS (SELECT 1 FROM pg_catalog.pg_attribute a "
    "JOIN pg_catalog.pg_type y ON y.oid = a.atttypid WHERE a.attrelid = r.oid AND a.attnum > 0 "
    "AND NOT a.attisdropped AND y.typtype = 'd' AND NOT a.atthasdef "
    "AND a.attnum NOT IN (SELECT cols.attnum FROM cols WHERE cols.attnum IS NOT NULL)) "
    "FROM r";

// The catalog query for one shape of the statement (`listed`: with a column list).
std::string target_query(bool listed)
{
    std::string body = kTargetBody;
    body.replace(body.find("$%d"), 3, listed ? "$3" : "$2");
    return std::string(kTargetHead) + (listed ? kListedColumns : kFirstColumns) + body;
}

bool is_name_start(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}

bool is_name_char(unsigned char c)
{
    return is_name_start(c) || (c >= '0' && c <= '9') || c == '$';
}

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Array literal element: double-quoted, with backslashes and quotes escaped.
void append_array_element(std::string &out, const std::string &v)
{
    out += '"';
    for (char c : v) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
}

// Reads exactly `width` digits at p; false when any is not a digit.
bool read_digits(const char *&p, const char *end, int width, int &v)
{
    if (end - p < width)
        return false;
    v = 0;
    for (int i = 0; i < width; ++i, ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + (*p - '0');
    }
    return true;
}

// "YYYY-MM-DD" at p: days since 2000-01-01; p moves past it.
bool read_date(const char *&p, const char *end, int64_t &days)
{
    int y, m, d;
    if (!read_digits(p, end, 4, y) || p == end || *p++ != '-' || !read_digits(p, end, 2, m) ||
        p == end || *p++ != '-' || !read_digits(p, end, 2, d))
        return false;
    if (y < 1 || m < 1 || m > 12 || d < 1 || d > days_in_month(y, m))
        return false;
    days = days_from_civil(y, m, d) - kPgEpochDays;
    return true;
}

// "[+-]HH[:MM[:SS]]" at p up to end: seconds east of UTC.
bool read_offset(const char *p, const char *end, int64_t &seconds)
{
    if (p == end || (*p != '+' && *p != '-'))
        return false;
    const bool negative = *p++ == '-';
    int h, m = 0, s = 0;
    if (!read_digits(p, end, 2, h))
        return false;
    if (p != end && (*p++ != ':' || !read_digits(p, end, 2, m)))
        return false;
    if (p != end && (*p++ != ':' || !read_digits(p, end, 2, s)))
        return false;
    // Beyond 15:59:59 the server refuses the offset: let it say so.
    if (p != end || h > 15 || m > 59 || s > 59)
        return false;
    seconds = (h * 3600 + m * 60 + s) * (negative ? -1 : 1);
    return true;
}

// A batch goes in binary when every column's binary form is known to carry exactly what the
// text format would: each column is planned against its target type, and any type or value the
// library does not write (numeric, json, an integer too big for its column, a date text of an
// unusual shape, ...) sends the whole batch as text instead, so the server reads it and reports
// what it refuses as it always did.

// Calls f(row, value) for each non-null value of the first `rows` rows of c, read through a
// copy of c so that c itself still stands at its first value; false as soon as f says false.
template <class F>
bool each_value(const Column &c, int rows, F &&f)
{
    Column scan = c;
    for (int r = 0; r < rows; ++r) {
        Value v = next_value(scan, r);
        if (v.null)
            continue;
        if (!f(r, v))
            return false;
    }
    return true;
}

// Integer values into an integer or boolean column (`wire`, values lo..hi): when every value
// fits; the server refuses the others from the text, and says so.
bool plan_integers(Column &c, int rows, Wire wire, int64_t lo, int64_t hi)
{
    c.wire = wire;
    if (wire == Wire::Int8)
        return true;   // every integer the library reads fits a bigint: nothing to check
    return each_value(c, rows, [&](int, const Value &v) {
        int64_t i = read_int(v.data, v.len);
        return i >= lo && i <= hi;
    });
}

// A double as a float4 column reads its shortest text; false when that is out of float range
// (the server refuses it).
bool double_to_float4(double d, uint32_t &bits)
{
    float f;
    if (std::isnan(d) || std::isinf(d) || d == 0) {
        f = static_cast<float>(d);
    } else {
        char buf[64];
        auto w = std::to_chars(buf, buf + sizeof buf, d);
        auto r = std::from_chars(buf, w.ptr, f);
        if (r.ec != std::errc() || std::isinf(f) || f == 0)
            return false;
    }
    std::memcpy(&bits, &f, 4);
    return true;
}

// A float as a float8 column reads its shortest text (0.1f arrives as 0.1, not 0.100000001...).
double float_to_float8(float f)
{
    if (std::isnan(f) || std::isinf(f))
        return f;
    char buf[64];
    auto w = std::to_chars(buf, buf + sizeof buf, f);
    double d = f;
    std::from_chars(buf, w.ptr, d);
    return d;
}

// Integer and float values into a float4 (`size` 4) or float8 column: a float of the column's
// own width as it is, any other value converted beforehand into `parsed` as the server reads
// its text (an integer as the nearest float, a double by its shortest text).
bool plan_reals(Column &c, int rows, int size)
{
    if (c.kind == Kind::Float && c.b->size == size) {
        c.wire = size == 4 ? Wire::Float4 : Wire::Float8;
        return true;
    }
    if (c.kind != Kind::Float && c.kind != Kind::Int)
        return false;
    c.wire = size == 4 ? Wire::Converted4 : Wire::Converted8;
    c.parsed.resize(static_cast<size_t>(rows));
    return each_value(c, rows, [&](int r, const Value &v) {
        if (c.kind == Kind::Int) {
            const int64_t i = read_int(v.data, v.len);
            if (size == 4) {
                float f = static_cast<float>(i);
                uint32_t bits;
                std::memcpy(&bits, &f, 4);
                c.parsed[r] = bits;
            } else {
                double d = static_cast<double>(i);
                std::memcpy(&c.parsed[r], &d, 8);
            }
        } else if (size == 4) {
            uint32_t bits;
            if (!double_to_float4(read_float(v.data, 8), bits))
                return false;
            c.parsed[r] = bits;
        } else {
            float f;
            std::memcpy(&f, v.data, 4);
            double d = float_to_float8(f);
            std::memcpy(&c.parsed[r], &d, 8);
        }
        return true;
    });
}

// Date or timestamp texts, parsed now, every one of them, so that a text the library does not
// read sends the batch as text before anything goes.
bool plan_datetime_texts(Column &c, int rows, bool with_offset)
{
    c.parsed.resize(static_cast<size_t>(rows));
    return each_value(c, rows, [&](int r, const Value &v) {
        const size_t len = static_cast<size_t>(v.len);
        if (c.wire == Wire::Date) {
            int32_t days;
            if (!parse_iso_date(v.data, len, days))
                return false;
            c.parsed[r] = days;
            return true;
        }
        return parse_iso_timestamp(v.data, len, with_offset, c.parsed[r]);
    });
}

// Timestamp texts, or microsecond counts (the count itself, moved to the server's epoch).
bool plan_timestamps(Column &c, int rows, bool with_offset)
{
    if (c.kind == Kind::Micros) {
        c.wire = Wire::Micros;
        return true;
    }
    if (c.kind != Kind::Text)
        return false;
    c.wire = Wire::Timestamp;
    return plan_datetime_texts(c, rows, with_offset);
}

}  // namespace

// ---- the plans of each target type, as the codec table holds them ----

// Booleans; integers too when all are 0 or 1 (the text path sends 1 and 0, which a boolean
// column reads; other integers it refuses).
bool plan_into_bool(Column &c, int rows, bool)
{
    if (c.kind == Kind::Bool) {
        c.wire = Wire::Bool;
        return true;
    }
    return c.kind == Kind::Int && plan_integers(c, rows, Wire::Bool, 0, 1);
}

bool plan_into_int2(Column &c, int rows, bool)
{
    return c.kind == Kind::Int && plan_integers(c, rows, Wire::Int2, INT16_MIN, INT16_MAX);
}

bool plan_into_int4(Column &c, int rows, bool)
{
    return c.kind == Kind::Int && plan_integers(c, rows, Wire::Int4, INT32_MIN, INT32_MAX);
}

bool plan_into_int8(Column &c, int rows, bool)
{
    return c.kind == Kind::Int && plan_integers(c, rows, Wire::Int8, INT64_MIN, INT64_MAX);
}

bool plan_into_float4(Column &c, int rows, bool)
{
    return plan_reals(c, rows, 4);
}

bool plan_into_float8(Column &c, int rows, bool)
{
    return plan_reals(c, rows, 8);
}

// text, varchar, bpchar: texts as they are, integers in decimal and microsecond counts as the
// text the other paths send; floats go as text (their digits are the server's to read).
bool plan_into_text(Column &c, int, bool)
{
    c.wire = Wire::Text;
    return c.kind == Kind::Text || c.kind == Kind::Int || c.kind == Kind::Micros;
}

bool plan_into_bytea(Column &c, int, bool)
{
    c.wire = Wire::Bytea;
    return c.kind == Kind::Binary;
}

bool plan_into_date(Column &c, int rows, bool)
{
    if (c.kind != Kind::Text)
        return false;
    c.wire = Wire::Date;
    return plan_datetime_texts(c, rows, false);
}

bool plan_into_timestamp(Column &c, int rows, bool)
{
    return plan_timestamps(c, rows, false);
}

// Only while the session reads a timestamp without offset as UTC: the binary form is the UTC
// instant, which a text without offset is not under another TimeZone.
bool plan_into_timestamptz(Column &c, int rows, bool utc)
{
    return utc && plan_timestamps(c, rows, true);
}

namespace {

// Chooses how one column goes in binary COPY into a column of the given type; false when the
// batch must go as text.
bool plan_binary_column(Column &c, Oid type, int rows, bool utc)
{
    c.parsed.clear();
    if (c.kind == Kind::Null) {
        c.wire = Wire::Null;
        return true;
    }
    const Codec &codec = codec_of(type);
    return codec.copy_plan && codec.copy_plan(c, rows, utc);
}

// Gathers a binary COPY row on the stack and hands it to the output in as few appends as
// the row allows (one for rows of small fields): a std::string append per field costs more
// than the field itself in the rows' inner loop.
class RowWriter {
public:
    explicit RowWriter(std::string &out) : out_(out) {}

    // A field of `bytes` bytes (2, 4 or 8): its length word, then v big-endian.
    void fixed(uint64_t v, int bytes)
    {
        room(12);
        put_be(static_cast<uint32_t>(bytes), 4);
        put_be(v, bytes);
    }
    void null()
    {
        room(4);
        put_be(0xffffffffu, 4);
    }
    // A field of n bytes at p: its length word, then the bytes.
    void field(const char *p, size_t n)
    {
        room(4);
        put_be(n, 4);
        if (n > sizeof buf_ - used_) {
            flush();
            out_.append(p, n);
            return;
        }
        std::memcpy(buf_ + used_, p, n);
        used_ += n;
    }
    void count(size_t fields)
    {
        room(2);
        put_be(fields, 2);
    }
    void flush()
    {
        out_.append(buf_, used_);
        used_ = 0;
    }

private:
    void room(size_t n)
    {
        if (used_ + n > sizeof buf_)
            flush();
    }
    void put_be(uint64_t v, int bytes)
    {
        for (int i = 0; i < bytes; ++i)
            buf_[used_ + i] = static_cast<char>((v >> (8 * (bytes - 1 - i))) & 0xff);
        used_ += static_cast<size_t>(bytes);
    }

    std::string &out_;
    char buf_[1024];
    size_t used_ = 0;
};

// Writes one field of a binary COPY row: its 4-byte big-endian length (-1 for NULL), then its
// bytes.
void write_binary_value(RowWriter &out, const Column &c, const Value &v, int r)
{
    if (v.null || c.wire == Wire::Null) {
        out.null();
        return;
    }
    switch (c.wire) {
    case Wire::Null:
        break;
    case Wire::Bool: {
        const char b = (c.kind == Kind::Bool ? bool_value(v.data) : read_int(v.data, v.len) != 0)
                           ? '\1' : '\0';
        out.field(&b, 1);
        return;
    }
    case Wire::Int2:
    case Wire::Int4:
    case Wire::Int8: {
        const int bytes = c.wire == Wire::Int2 ? 2 : c.wire == Wire::Int4 ? 4 : 8;
        out.fixed(static_cast<uint64_t>(read_int(v.data, v.len)), bytes);
        return;
    }
    case Wire::Float4: {
        uint32_t u;
        std::memcpy(&u, v.data, 4);
        out.fixed(u, 4);
        return;
    }
    case Wire::Float8: {
        uint64_t u;
        std::memcpy(&u, v.data, 8);
        out.fixed(u, 8);
        return;
    }
    case Wire::Converted4:
    case Wire::Date:
        out.fixed(static_cast<uint64_t>(c.parsed[r]), 4);
        return;
    case Wire::Converted8:
    case Wire::Timestamp:
        out.fixed(static_cast<uint64_t>(c.parsed[r]), 8);
        return;
    case Wire::Micros:
        out.fixed(static_cast<uint64_t>(read_int(v.data, 8) - kPgEpochDays * kMicrosPerDay), 8);
        return;
    case Wire::Bytea:
        out.field(v.data, static_cast<size_t>(v.len));
        return;
    case Wire::Text: {
        if (c.kind == Kind::Int) {
            char buf[24];
            auto w = std::to_chars(buf, buf + sizeof buf, read_int(v.data, v.len));
            out.field(buf, static_cast<size_t>(w.ptr - buf));
            return;
        }
        if (c.kind == Kind::Micros) {
            char buf[kMicrosTextMax];
            out.field(buf, static_cast<size_t>(format_micros_text(read_int(v.data, 8), buf)));
            return;
        }
        out.field(v.data, static_cast<size_t>(v.len));
        return;
    }
    }
    out.null();
}

}  // namespace

bool split_column_list(const std::string &columns, std::vector<std::string> &names)
{
    names.clear();
    const char *p = columns.c_str(), *end = p + columns.size();
    auto skip = [&] {
        while (p < end && is_space(*p))
            ++p;
    };
    skip();
    if (p == end || *p++ != '(')
        return false;
    for (;;) {
        skip();
        const char *begin = p;
        if (p < end && *p == '"') {
            for (++p;; ++p) {
                if (p == end)
                    return false;
                if (*p == '"') {
                    if (p + 1 < end && p[1] == '"') {
                        ++p;
                        continue;
                    }
                    break;
                }
            }
            ++p;
            if (p - begin == 2)
                return false;  // "" is no name
        } else {
            if (p == end || !is_name_start(static_cast<unsigned char>(*p)))
                return false;
            while (p < end && is_name_char(static_cast<unsigned char>(*p)))
                ++p;
        }
        names.emplace_back(begin, p);
        skip();
        if (p == end)
            return false;
        if (*p == ')') {
            ++p;
            skip();
            return p == end;
        }
        if (*p++ != ',')
            return false;
    }
}

bool describe_copy_target(Session &s, const std::string &target, const std::string &columns,
                          int markers, CopyTarget &out)
{
    out = CopyTarget();
    std::vector<std::string> names;
    const bool listed = !columns.empty();
    if (listed && !split_column_list(columns, names))
        return true;  // a list the library does not read: the statement path
    std::string list = "{";
    for (size_t i = 0; i < names.size(); ++i) {
        if (i)
            list += ',';
        append_array_element(list, names[i]);
    }
    list += '}';
    const std::string count = std::to_string(markers);
    const char *values[3] = {target.c_str(), listed ? list.c_str() : count.c_str(),
                             count.c_str()};
    const std::string sql = target_query(listed);
    ResultPtr r(exec_params_wait(s, sql.c_str(), listed ? 3 : 2, nullptr, values, nullptr,
                                 nullptr, 0));
    if (!r || PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
        set_error_from_result(s, r.get());
        return false;
    }
    if (PQntuples(r.get()) == 0 || PQgetisnull(r.get(), 0, 0) || PQgetisnull(r.get(), 0, 2) ||
        *PQgetvalue(r.get(), 0, 2) != 't')
        return true;
    const char *p = PQgetvalue(r.get(), 0, 0);
    while (*p) {
        char *next;
        unsigned long oid = std::strtoul(p, &next, 10);
        if (next == p || oid == 0) {
            out.types.clear();
            return true;
        }
        out.types.push_back(static_cast<Oid>(oid));
        p = next;
        while (*p == ' ')
            ++p;
    }
    // The INSERT's own list as written, or the columns it fills by position.
    out.columns = listed ? columns : "(" + std::string(PQgetvalue(r.get(), 0, 1)) + ")";
    out.copy = out.types.size() == static_cast<size_t>(markers);
    return true;
}

bool parse_iso_date(const char *p, size_t n, int32_t &days)
{
    const char *end = p + n;
    int64_t d;
    if (!read_date(p, end, d) || p != end)
        return false;
    days = static_cast<int32_t>(d);
    return true;
}

bool parse_iso_timestamp(const char *p, size_t n, bool with_offset, int64_t &micros)
{
    const char *end = p + n;
    int64_t days;
    if (!read_date(p, end, days))
        return false;
    int64_t us = 0;
    if (p != end) {
        int h, m, sec;
        if (*p++ != ' ' || !read_digits(p, end, 2, h) || p == end || *p++ != ':' ||
            !read_digits(p, end, 2, m) || p == end || *p++ != ':' || !read_digits(p, end, 2, sec))
            return false;
        if (h > 23 || m > 59 || sec > 59)
            return false;
        int64_t fraction = 0;
        if (p != end && *p == '.') {
            ++p;
            int digits = 0;
            for (; p != end && *p >= '0' && *p <= '9'; ++p, ++digits)
                fraction = fraction * 10 + (*p - '0');
            if (digits == 0 || digits > 6)
                return false;
            for (; digits < 6; ++digits)
                fraction *= 10;
        }
        us = ((h * 60 + m) * 60 + sec) * int64_t{1000000} + fraction;
        if (p != end) {
            int64_t offset;
            if (!with_offset || !read_offset(p, end, offset))
                return false;
            us -= offset * 1000000;
        }
    }
    micros = days * kMicrosPerDay + us;
    return true;
}

bool session_time_zone_is_utc(const Session &s)
{
    const char *tz = PQparameterStatus(s.conn, "TimeZone");
    return tz && (std::strcmp(tz, "UTC") == 0 || std::strcmp(tz, "Etc/UTC") == 0);
}

// Plans every column against the target's types; false (the text format) when the types are
// unknown or any column cannot go in binary.
bool plan_binary(const Session &s, std::vector<Column> &cols, const std::vector<Oid> &types,
                 int rows)
{
    return plan_binary_columns(cols, types, rows, session_time_zone_is_utc(s));
}

bool plan_binary_columns(std::vector<Column> &cols, const std::vector<Oid> &types, int rows,
                         bool utc)
{
    if (types.size() != cols.size())
        return false;
    for (size_t i = 0; i < cols.size(); ++i) {
        if (!plan_binary_column(cols[i], types[i], rows, utc)) {
            for (Column &c : cols)
                c.parsed = std::vector<int64_t>();
            return false;
        }
    }
    return true;
}

void append_binary_row(std::string &buf, std::vector<Column> &cols, int r)
{
    RowWriter out(buf);
    out.count(cols.size());
    for (Column &c : cols)
        write_binary_value(out, c, next_value(c, r), r);
    out.flush();
}

}  // namespace zt
