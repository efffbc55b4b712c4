// Parsing of the connection texts the driver builds:
//   IP=<host>; DB=<db>; USER=<user>; PWD=<password>; PORT=<port>; CHAR_SET=<charset>
//   IPS=<h1>,<h2>,...; DB=...; USER=...; PWD=...; PORT=...; CHAR_SET=...
// The fields always come in this order. A password is free text and may contain "; "
// or even "; PORT=", so the head (host, database, user) is split at the first
// separator of each following field and the tail (port, charset) at the last one:
// a port is digits only and a charset one of four names, so the last "; CHAR_SET="
// and the last "; PORT=" before it are the real ones whatever the password holds.
// Settings after the character set never hold a raw ';' (it travels as %3B), so they
// cannot fake a separator either.
// No message ever repeats a field's value, so a password cannot leak into one.
#include "conntext.h"
#include "decode.h"

#include <initializer_list>
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

bool all_digits(string_view s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// A port: decimal digits only, 0..65535 (0: not given).
bool parse_port(string_view s, int &port)
{
    if (s.size() > 5 || !all_digits(s))
        return false;
    int v = 0;
    for (char c : s)
        v = v * 10 + (c - '0');
    if (v > 65535)
        return false;
    port = v;
    return true;
}

size_t count_entries(string_view list)
{
    size_t n = 1;
    for (char c : list)
        n += c == ',';
    return n;
}

// A port list: comma-separated ports in 1..65535, one for every host or one for all.
bool valid_port_list(string_view list, const std::string &hosts)
{
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        string_view entry = list.substr(start, comma == string_view::npos ? string_view::npos : comma - start);
        int port = 0;
        if (!parse_port(entry, port) || port == 0)
            return false;
        if (comma == string_view::npos)
            break;
        start = comma + 1;
    }
    size_t n = count_entries(list);
    return hosts.empty() || n == 1 || n == count_entries(hosts);
}

bool one_of(string_view s, std::initializer_list<const char *> names)
{
    for (const char *n : names)
        if (s == n)
            return true;
    return false;
}

// Decodes %XX in a setting's value; false on a malformed escape or an encoded zero byte.
bool percent_decode(string_view in, std::string &out)
{
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out.push_back(in[i]);
            continue;
        }
        if (i + 2 >= in.size())
            return false;
        int hi = hex_digit(in[i + 1]), lo = hex_digit(in[i + 2]);
        if (hi < 0 || lo < 0 || (hi == 0 && lo == 0))
            return false;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

// The settings that may follow CHAR_SET: field name, where the value goes, and its check.
enum SettingForm { FREE_TEXT, SSL_MODE, PORT_LIST, SESSION_ATTRS, SECONDS };

struct Setting {
    const char *name;
    std::string ConnText::*field;
    SettingForm form;
};

const Setting kSettings[] = {
    {"SSLMODE", &ConnText::sslmode, SSL_MODE},
    {"PORTS", &ConnText::ports, PORT_LIST},
    {"TARGET_SESSION_ATTRS", &ConnText::target_session_attrs, SESSION_ATTRS},
    {"CONNECT_TIMEOUT", &ConnText::connect_timeout, SECONDS},
    {"APPLICATION_NAME", &ConnText::application_name, FREE_TEXT},
    {"OPTIONS", &ConnText::options, FREE_TEXT},
    {"DSN", &ConnText::dsn, FREE_TEXT},
};

bool valid_setting(SettingForm form, const std::string &v, const ConnText &ct)
{
    switch (form) {
    case SSL_MODE:
        return one_of(v, {"disable", "allow", "prefer", "require", "verify-ca", "verify-full"});
    case PORT_LIST:
        return valid_port_list(v, ct.hosts);
    case SESSION_ATTRS:
        return one_of(v, {"any", "read-write", "read-only", "primary", "standby", "prefer-standby"});
    case SECONDS:
        return v.size() <= 9 && all_digits(v);
    case FREE_TEXT:
        return true;
    }
    return false;
}

// Parses the settings after the character set: "; NAME=value" repeated, each name once.
bool parse_settings(string_view s, ConnText &out, std::string &err)
{
    bool seen[sizeof kSettings / sizeof kSettings[0]] = {};
    while (!s.empty()) {
        if (s.substr(0, 2) != "; ")
            return fail(err, "the connection text has something after CHAR_SET that is not a setting");
        s.remove_prefix(2);
        size_t end = s.find(';');
        string_view item = s.substr(0, end);
        s.remove_prefix(end == string_view::npos ? s.size() : end);
        size_t eq = item.find('=');
        string_view name = item.substr(0, eq);
        size_t k = 0;
        while (k < sizeof kSettings / sizeof kSettings[0] && name != kSettings[k].name)
            ++k;
        if (eq == string_view::npos || k == sizeof kSettings / sizeof kSettings[0])
            return fail(err, "the connection text has an unknown setting after CHAR_SET");
        const Setting &setting = kSettings[k];
        std::string value;
        if (seen[k] || !percent_decode(item.substr(eq + 1), value) ||
            !valid_setting(setting.form, value, out)) {
            err.assign("[08001] the connection text's ");
            err.append(setting.name);
            err.append(seen[k] ? " setting is repeated" : " setting is not valid");
            return false;
        }
        seen[k] = true;
        out.*setting.field = std::move(value);
    }
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
        string_view settings;
        size_t after = charset.find(';');
        if (after != string_view::npos) {
            settings = charset.substr(after);
            charset = charset.substr(0, after);
        }

        ConnText result;
        if (!store_hosts(head[0], host_list, result, err))
            return false;
        if (!parse_port(port, result.port))
            return fail(err, "the connection text's PORT is not a number in 0..65535");
        if (!known_charset(charset))
            return fail(err, "the connection text's CHAR_SET is not one of UTF8, UTF-8, GBK, GB18030");
        result.db.assign(head[1].data(), head[1].size());
        result.user.assign(head[2].data(), head[2].size());
        result.password.assign(password.data(), password.size());
        result.charset.assign(charset.data(), charset.size());
        if (!parse_settings(settings, result, err))
            return false;
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
