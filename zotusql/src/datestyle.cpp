// Reading the server's non-ISO date and timestamp styles (see datestyle.h). Each style is one
// row of kStyles: its name, the separator of its numeric dates, and whether its timestamps
// spell the weekday and month ("Wed May 01 12:00:00.5 2024 UTC"). The rewrite moves the
// fields into ISO order and leaves every check of their values to the ISO readers.
#include "datestyle.h"

#include <cstring>

#include "codec.h"
#include "internal.h"

namespace zt {

namespace {

struct StyleRow {
    const char *name;
    DateStyle::Form form;
    char separator;        // of numeric dates: "05/01/2024", "05-01-2024", "01.05.2024"
    bool named_months;     // timestamps as "Wed May 01 12:00:00 2024"
    bool always_day_first; // German writes the day first whatever the field order
};

const StyleRow kStyles[] = {
    {"ISO", DateStyle::Iso, '-', false, false},
    {"SQL", DateStyle::Sql, '/', false, false},
    {"Postgres", DateStyle::Postgres, '-', true, false},
    {"German", DateStyle::German, '.', false, true},
};

const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const StyleRow &row_of(DateStyle::Form form)
{
    for (const StyleRow &row : kStyles)
        if (row.form == form)
            return row;
    return kStyles[0];
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// A run of digits at p (at most `max`), copied into `digits`.
bool digits_at(const char *&p, const char *end, size_t max, std::string &digits)
{
    const char *start = p;
    while (p < end && is_digit(*p) && static_cast<size_t>(p - start) < max)
        ++p;
    if (p == start || (p < end && is_digit(*p)))
        return false;
    digits.assign(start, p);
    return true;
}

bool literal(const char *&p, const char *end, char c)
{
    if (p >= end || *p != c)
        return false;
    ++p;
    return true;
}

// A month's three-letter name as its two-digit number.
bool month_name(const char *&p, const char *end, std::string &month)
{
    if (end - p < 3)
        return false;
    for (int m = 0; m < 12; ++m)
        if (std::memcmp(p, kMonths[m], 3) == 0) {
            month = {static_cast<char>('0' + (m + 1) / 10), static_cast<char>('0' + (m + 1) % 10)};
            p += 3;
            return true;
        }
    return false;
}

// The parts of a date or timestamp, as texts in ISO order.
struct Parts {
    std::string year, month, day, time, zone;
};

// "05/01/2024" (month first) or "01/05/2024" (day first), the separator the style's.
bool numeric_date(const char *&p, const char *end, char sep, bool day_first, Parts &d)
{
    std::string first, second;
    if (!digits_at(p, end, 2, first) || !literal(p, end, sep) || !digits_at(p, end, 2, second) ||
        !literal(p, end, sep) || !digits_at(p, end, 7, d.year))
        return false;
    d.day = day_first ? first : second;
    d.month = day_first ? second : first;
    return true;
}

// "HH:MM:SS[.ffffff]" copied as it is.
bool clock(const char *&p, const char *end, std::string &time)
{
    const char *start = p;
    while (p < end && (is_digit(*p) || *p == ':' || *p == '.'))
        ++p;
    time.assign(start, p);
    return !time.empty();
}

// "Wed May 01 12:00:00.5 2024" (month first) or "Wed 01 May 12:00:00.5 2024".
bool named_timestamp(const char *&p, const char *end, bool day_first, Parts &d)
{
    if (end - p < 4 || p[3] != ' ')
        return false;
    p += 4;
    bool ok = day_first ? digits_at(p, end, 2, d.day) && literal(p, end, ' ') &&
                              month_name(p, end, d.month)
                        : month_name(p, end, d.month) && literal(p, end, ' ') &&
                              digits_at(p, end, 2, d.day);
    return ok && literal(p, end, ' ') && clock(p, end, d.time) && literal(p, end, ' ') &&
           digits_at(p, end, 7, d.year);
}

// The zone of a timestamptz: " UTC", " CEST", " +05:30", or " " alone (a zone without
// an abbreviation). Stops before " BC".
void zone_text(const char *&p, const char *end, std::string &zone)
{
    if (p >= end || *p != ' ' || (end - p == 3 && std::memcmp(p, " BC", 3) == 0))
        return;
    ++p;
    const char *start = p;
    while (p < end && *p != ' ')
        ++p;
    zone.assign(start, p);
    if (zone.empty())
        zone = " ";  // a blank abbreviation: present, and never resolvable
}

bool numeric_offset(const std::string &zone)
{
    return zone.size() >= 3 && (zone[0] == '+' || zone[0] == '-') && is_digit(zone[1]);
}

}  // namespace

DateStyle parse_date_style(const char *date_style, const char *time_zone)
{
    DateStyle st;
    st.utc = time_zone && (std::strcmp(time_zone, "UTC") == 0 ||
                           std::strcmp(time_zone, "Etc/UTC") == 0);
    if (!date_style)
        return st;
    const size_t name_len = std::strcspn(date_style, ", ");
    for (const StyleRow &row : kStyles)
        if (std::strlen(row.name) == name_len && std::strncmp(date_style, row.name, name_len) == 0)
            st.form = row.form;
    st.day_first = row_of(st.form).always_day_first || std::strstr(date_style, "DMY") != nullptr;
    if (!st.iso())  // for messages only: ISO results (the common case) allocate nothing
        st.setting = std::string("DateStyle \"") + date_style + "\", TimeZone \"" +
                     (time_zone ? time_zone : "") + "\"";
    return st;
}

DateStyle session_date_style(const PGconn *conn)
{
    return parse_date_style(PQparameterStatus(conn, "DateStyle"),
                            PQparameterStatus(conn, "TimeZone"));
}

bool styled_oid(unsigned oid, DateKind &kind)
{
    const Codec &codec = codec_of(oid);
    kind = codec.date_kind;
    return codec.date_styled;
}

bool iso_from_style(const DateStyle &st, DateKind kind, const char *text, size_t len,
                    std::string &out, std::string &err)
{
    out.assign(text, len);
    if (st.iso() || len == 0 || text[0] == 'i' || text[0] == '-')
        return true;  // ISO already, or "infinity" / "-infinity"
    const StyleRow &row = row_of(st.form);
    const char *p = text, *end = text + len;
    Parts d;
    bool ok;
    if (kind != DateKind::Date && row.named_months) {
        ok = named_timestamp(p, end, st.day_first, d);
    } else {
        ok = numeric_date(p, end, row.separator, st.day_first, d);
        if (ok && kind != DateKind::Date)
            ok = literal(p, end, ' ') && clock(p, end, d.time);
    }
    if (ok && kind == DateKind::TimestampTz)
        zone_text(p, end, d.zone);
    const bool bc = end - p == 3 && std::memcmp(p, " BC", 3) == 0;
    if (!ok || (p != end && !bc) || (kind == DateKind::TimestampTz && d.zone.empty()))
        return true;  // not this style's layout: the ISO readers refuse it as it is
    const char *offset = nullptr;
    if (numeric_offset(d.zone))
        offset = d.zone.c_str();
    else if (d.zone == "UTC" && st.utc)
        offset = "+00";
    else if (kind == DateKind::TimestampTz) {
        err = "the timestamptz \"" + std::string(text, len < 40 ? len : 40) +
              "\" names its zone only as \"" + d.zone + "\" (" + st.setting +
              "), whose offset is unknown: keep DateStyle ISO or set TimeZone to UTC";
        return false;
    }
    out.clear();
    out.append(d.year.size() < 4 ? 4 - d.year.size() : 0, '0').append(d.year);
    out.append(1, '-').append(d.month).append(1, '-').append(d.day);
    if (!d.time.empty())
        out.append(1, ' ').append(d.time);
    if (offset)
        out.append(offset);
    if (bc)
        out.append(" BC");
    return true;
}

}  // namespace zt
