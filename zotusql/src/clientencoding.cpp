// The session's client_encoding. Every text the library sends (statements, parameters, batch
// and COPY rows) and every text it hands over is UTF-8; a session whose client_encoding is
// another one would have the server store those bytes converted once more (double-encoded)
// and send texts in an encoding the driver does not read. So the encoding stays UTF8: a
// change the server reports is set back at once and the statement that made it fails.
#include <cstring>

#include "internal.h"

namespace zt {

namespace {

constexpr const char *kUtf8 = "UTF8";

bool encoding_is_utf8(const Session &s)
{
    // The server reports client_encoding in its canonical form ("UTF8" for UTF8, UTF-8,
    // Unicode, ...); libpq keeps the latest report.
    const char *now = PQparameterStatus(s.conn, "client_encoding");
    return now == nullptr || std::strcmp(now, kUtf8) == 0;
}

}  // namespace

bool keep_utf8_encoding(Session &s, std::string &err)
{
    if (!s.conn || encoding_is_utf8(s))
        return true;
    std::string name = PQparameterStatus(s.conn, "client_encoding");
    // A failed transaction refuses the SET; its rollback, which must come next anyway,
    // brings back the encoding the transaction began with.
    if (PQtransactionStatus(s.conn) != PQTRANS_INERROR) {
        ResultPtr r(exec_wait(s, "SET client_encoding TO 'UTF8'"));
    }
    std::string text = "client_encoding " + name +
                       " is not supported: the driver sends and reads UTF8 only; ";
    text += encoding_is_utf8(s) ? "the session's client_encoding was set back to UTF8"
                                : "roll the transaction back to go on";
    set_error(err, "0A000", text);
    return false;
}

}  // namespace zt
