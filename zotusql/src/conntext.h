// Parsing of the connection texts the driver builds for ZTC_OpenConn / ZTC_OpenConn_Ips.
#ifndef ZT_CONNTEXT_H
#define ZT_CONNTEXT_H

#include <string>

namespace zt {

struct ConnText {
    std::string hosts;  // single host, or the comma-separated list
    std::string db, user, password;
    int port = 0;
    std::string charset;
};

// Parses "IP=<host>; DB=..; USER=..; PWD=..; PORT=..; CHAR_SET=.." (host_list false) or
// "IPS=h1,h2; DB=..; ..." (host_list true) by the fixed field order: a field's value runs up to
// the separator "; " that introduces the NEXT expected field, so a password may contain ';'.
// Malformed (missing field, port not a number in 1..65535, empty host or empty list entry,
// charset not one of UTF8/UTF-8/GBK/GB18030 in any case): false, err = "[08001] <message naming
// the field>" (never containing the password). Blanks around host names are dropped; the
// single-host form refuses a comma (a list there would silently become a host list).
// On failure `out` is left as it was.
bool parse_connection_text(const char *text, bool host_list, ConnText &out, std::string &err);

}  // namespace zt

#endif
