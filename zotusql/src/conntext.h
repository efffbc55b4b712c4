// Parsing of the connection texts the driver builds for ZTC_OpenConn / ZTC_OpenConn_Ips.
#ifndef ZT_CONNTEXT_H
#define ZT_CONNTEXT_H

#include <string>

namespace zt {

// The fields of a connection text. An empty host, database, user or password and a port of 0
// mean "not given": the DSN field, then libpq's environment variables, ~/.pgpass and its
// defaults supply them. The settings after CHAR_SET are empty when absent.
struct ConnText {
    std::string hosts;  // single host, or the comma-separated list
    std::string db, user, password;
    int port = 0;
    std::string charset;
    std::string sslmode;               // SSLMODE: one of libpq's sslmode names
    std::string ports;                 // PORTS: one port, or one per host, comma-separated
    std::string target_session_attrs;  // TARGET_SESSION_ATTRS: libpq's names
    std::string connect_timeout;       // CONNECT_TIMEOUT: whole seconds, digits only
    std::string application_name;      // APPLICATION_NAME: free text
    std::string options;               // OPTIONS: server options (-c name=value ...)
    std::string dsn;                   // DSN: a libpq conninfo string or postgresql:// URI
};

// Parses "IP=<host>; DB=..; USER=..; PWD=..; PORT=..; CHAR_SET=.." (host_list false) or
// "IPS=h1,h2; DB=..; ..." (host_list true) by the fixed field order: a field's value runs up to
// the separator "; " that introduces the NEXT expected field, so a password may contain ';'.
// Settings may follow the character set, each "; NAME=value" with ';' and '%' in the value
// written as %3B and %25 (any %XX is decoded), so no setting can hold a separator.
// Malformed (missing field, port not a number in 0..65535, empty list entry, charset not one of
// UTF8/UTF-8/GBK/GB18030 in any case, unknown, repeated or badly encoded setting, a setting
// value outside its form): false, err = "[08001] <message naming the field>" (never repeating a
// value, so never the password). Blanks around host names are dropped; the single-host form
// refuses a comma (a list there would silently become a host list).
// On failure `out` is left as it was.
bool parse_connection_text(const char *text, bool host_list, ConnText &out, std::string &err);

}  // namespace zt

#endif
