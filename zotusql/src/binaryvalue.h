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

// Whether a column of type `oid` may be read in binary form on this connection. Dates and
// timestamps need DateStyle ISO, timestamptz also TimeZone UTC (the session's settings, which
// a caller's SET may change).
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

}  // namespace zt

#endif
