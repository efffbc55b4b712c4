// Parsing of the connection texts the driver builds:
//   IP=<host>; DB=<db>; USER=<user>; PWD=<password>; PORT=<port>; CHAR_SET=<charset>
//   IPS=<h1>,<h2>,...; DB=...; USER=...; PWD=...; PORT=...; CHAR_SET=...
// The fields always come in this order. A password is free text and may contain "; "
// or even "; PORT=", so the head (host, database, user) is split at the first
// separator of each following field and the tail (port, charset) at the last one:
// a port is digits only and a charset one of four names, so the last "; CHAR_SET="
// and the last "; PORT=" before it are the real ones whatever the password holds.
// No message ever repeats a field's value, so a password cannot leak into one.
#include "conntext.h"

#include <cstring>
#include <string_view>

namespace zt {

namespace {

using std::string_view;

bool fail(std::string &err, const char *message)
{
    err.assign("[08001] ");
    err.append(message);
    return false;
}

bool equals_nocase(string_view a, const char *b)
{
    size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char c = a[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != b[i])
            return false;
    }
    return true;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

string_view trim(string_view s)
{
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// A port: decimal digits only, 1..65535.
bool parse_port(string_view s, int &port)
{
    if (s.empty() || s.size() > 5)
        return false;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v < 1 || v > 65535)
        return false;
    port = v;
    return true;
}

bool known_charset(string_view s)
{
    return equals_nocase(s, "UTF8") || equals_nocase(s, "UTF-8") || equals_nocase(s, "GBK") ||
           equals_nocase(s, "GB18030");
}

// Checks the host field and stores it with blanks around entries removed.
// A single host must not be a list: a comma there would silently become one.
bool store_hosts(string_view field, bool host_list, ConnText &out, std::string &err)
{
    if (!host_list) {
        string_view host = trim(field);
        if (host.empty())
            return fail(err, "the connection text has an empty IP (host)");
        if (host.find(',') != string_view::npos)
            return fail(err, "the connection text's IP names more than one host; use the host-list form");
        out.hosts.assign(host.data(), host.size());
        return true;
    }
    std::string hosts;
    size_t start = 0;
    for (;;) {
        size_t comma = field.find(',', start);
        string_view entry = trim(field.substr(start, comma == string_view::npos ? string_view::npos : comma - start));
        if (entry.empty())
            return fail(err, "the connection text's IPS (host list) has an empty entry");
        if (!hosts.empty())
            hosts.push_back(',');
        hosts.append(entry.data(), entry.size());
        if (comma == string_view::npos)
            break;
        start = comma + 1;
    }
    out.hosts.swap(hosts);
    return true;
}

}  // namespace

bool parse_connection_text(const char *text, bool host_list, ConnText &out, std::string &err)
{
    try {
        if (text == nullptr)
            return fail(err, "no connection text");
        string_view s(text);
        const char *first = host_list ? "IPS=" : "IP=";
        if (s.substr(0, std::strlen(first)) != first)
            return fail(err, host_list ? "the connection text has no IPS field (host list)"
                                       : "the connection text has no IP field (host)");
        s.remove_prefix(std::strlen(first));

        // Head: host, database and user, each up to the next field's separator.
        static const char *const head_next[] = {"; DB=", "; USER=", "; PWD="};
        static const char *const head_missing[] = {
            "the connection text has no DB field (database)",
            "the connection text has no USER field",
            "the connection text has no PWD field (password)",
        };
        string_view head[3];
        for (int i = 0; i < 3; ++i) {
            size_t at = s.find(head_next[i]);
            if (at == string_view::npos)
                return fail(err, head_missing[i]);
            head[i] = s.substr(0, at);
            s.remove_prefix(at + std::strlen(head_next[i]));
        }

        // Tail: the last "; CHAR_SET=", and the last "; PORT=" before it.
        size_t cs = s.rfind("; CHAR_SET=");
        size_t pt = s.rfind("; PORT=", cs == string_view::npos ? string_view::npos : cs);
        if (pt == string_view::npos)
            return fail(err, "the connection text has no PORT field");
        if (cs == string_view::npos || cs < pt)
            return fail(err, "the connection text has no CHAR_SET field");
        string_view password = s.substr(0, pt);
        string_view port = s.substr(pt + 7, cs - pt - 7);
        string_view charset = s.substr(cs + 11);

        ConnText result;
        if (!store_hosts(head[0], host_list, result, err))
            return false;
        if (!parse_port(port, result.port))
            return fail(err, "the connection text's PORT is not a number in 1..65535");
        if (!known_charset(charset))
            return fail(err, "the connection text's CHAR_SET is not one of UTF8, UTF-8, GBK, GB18030");
        result.db.assign(head[1].data(), head[1].size());
        result.user.assign(head[2].data(), head[2].size());
        result.password.assign(password.data(), password.size());
        result.charset.assign(charset.data(), charset.size());
        out = std::move(result);
        return true;
    } catch (const std::bad_alloc &) {
        err.clear();
        try {
            err.assign("[HY000] out of memory");
        } catch (...) {
        }
        return false;
    }
}

}  // namespace zt
