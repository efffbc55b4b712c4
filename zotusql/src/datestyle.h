// Dates and timestamps in the server's other output styles (DateStyle SQL, Postgres, German,
// with either field order), rewritten into the ISO text the rest of the library reads. The
// session asks for ISO, but a user's SET, a database's or role's setting, or a pooled server
// session may give another style; reading then stays exact instead of failing.
#ifndef ZT_DATESTYLE_H
#define ZT_DATESTYLE_H

#include <cstddef>
#include <string>

#include <libpq-fe.h>

namespace zt {

// The output style of one session, read once per result (never per value).
struct DateStyle {
    enum Form { Iso, Sql, Postgres, German };
    Form form = Iso;
    bool day_first = false;   // the field order is DMY
    bool utc = true;          // TimeZone is UTC: the abbreviation "UTC" is exactly +00
    std::string setting;      // the reported DateStyle and TimeZone, for messages
    bool iso() const { return form == Iso; }
};

// The style from the reported settings ("SQL, DMY", "Postgres, MDY", "German, DMY", "ISO,
// MDY"; TimeZone "UTC"). Null or unknown settings read as ISO.
DateStyle parse_date_style(const char *date_style, const char *time_zone);
// The style the server reports for the session now.
DateStyle session_date_style(const PGconn *conn);

enum class DateKind { Date, Timestamp, TimestampTz };

// Whether values of the type `oid` are written in the session's DateStyle.
bool styled_oid(unsigned oid, DateKind &kind);

// Rewrites text of the style `st` into ISO ("YYYY-MM-DD[ HH:MM:SS[.f]][+HH[:MM]][ BC]"),
// "infinity" and "-infinity" as they are. A text the style's layout does not fit is copied
// as it is (the ISO readers then refuse it). False, with `err` set to the message (SQLSTATE 22007), only for
// a timestamptz whose zone is an abbreviation other than "UTC" under TimeZone UTC: its
// offset cannot be known here, and a guessed one would be a wrong value.
bool iso_from_style(const DateStyle &st, DateKind kind, const char *text, size_t len,
                    std::string &out, std::string &err);

}  // namespace zt

#endif
