// The catalog query that tells a batch its COPY target's column types, and the parsers that turn
// the driver's date and timestamp texts into COPY's binary forms.
#include "copybinary.h"

#include <cstdlib>
#include <cstring>

namespace zt {

namespace {

// Kind of the relation and the type OIDs of its target columns, as one space-separated text in
// COPY's column order ($2 NULL: every column COPY fills without a list, generated ones left
// out). Missing list names give 0. The names go through parse_ident, which reads quoting and
// case as the server's parser does; ::name cuts long names as the server does.
constexpr const char *kDescribeTarget =
    "SELECT c.relkind, CASE WHEN $2::text[] IS NULL THEN "
    "(SELECT pg_catalog.string_agg(a.atttypid::text, ' ' ORDER BY a.attnum) "
    "FROM pg_catalog.pg_attribute a WHERE a.attrelid = c.oid AND a.attnum > 0 "
    "AND NOT a.attisdropped AND a.attgenerated = '') "
    "ELSE (SELECT pg_catalog.string_agg(COALESCE(a.atttypid::text, '0'), ' ' ORDER BY k.ord) "
    "FROM pg_catalog.unnest($2::text[]) WITH ORDINALITY AS k(name, ord) "
    "LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 "
    "AND NOT a.attisdropped AND a.attname = (pg_catalog.parse_ident(k.name))[1]::name) END "
    "FROM pg_catalog.pg_class c WHERE c.oid = pg_catalog.to_regclass($1)";

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

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to a proleptic Gregorian date (valid for every year >= 1).
int64_t days_from_civil(int64_t y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = y / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Days between 1970-01-01 and 2000-01-01, where the server's binary dates count from.
constexpr int64_t kEpochShiftDays = 10957;

// "YYYY-MM-DD" at p: days since 2000-01-01; p moves past it.
bool read_date(const char *&p, const char *end, int64_t &days)
{
    int y, m, d;
    if (!read_digits(p, end, 4, y) || p == end || *p++ != '-' || !read_digits(p, end, 2, m) ||
        p == end || *p++ != '-' || !read_digits(p, end, 2, d))
        return false;
    if (y < 1 || m < 1 || m > 12 || d < 1 || d > days_in_month(y, m))
        return false;
    days = days_from_civil(y, m, d) - kEpochShiftDays;
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
                          CopyTarget &out)
{
    out = CopyTarget();
    std::vector<std::string> names;
    bool readable = columns.empty() || split_column_list(columns, names);
    std::string list;
    if (!columns.empty() && readable) {
        list = "{";
        for (size_t i = 0; i < names.size(); ++i) {
            if (i)
                list += ',';
            append_array_element(list, names[i]);
        }
        list += '}';
    }
    // A list the library cannot read still asks for the kind: its names then stay unknown.
    const char *values[2] = {target.c_str(), columns.empty() ? nullptr : list.c_str()};
    if (!readable)
        values[1] = "{}";
    ResultPtr r(PQexecParams(s.conn, kDescribeTarget, 2, nullptr, values, nullptr, nullptr, 0));
    if (!r || PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
        set_error_from_result(s, r.get());
        return false;
    }
    if (PQntuples(r.get()) == 0)
        return true;
    out.relkind = *PQgetvalue(r.get(), 0, 0);
    if (!readable || PQgetisnull(r.get(), 0, 1))
        return true;
    const char *p = PQgetvalue(r.get(), 0, 1);
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
    micros = days * 86400 * int64_t{1000000} + us;
    return true;
}

bool session_time_zone_is_utc(const Session &s)
{
    const char *tz = PQparameterStatus(s.conn, "TimeZone");
    return tz && (std::strcmp(tz, "UTC") == 0 || std::strcmp(tz, "Etc/UTC") == 0);
}

}  // namespace zt
