/* zt_conntext.cpp - builds the library's connection text.
 *
 * The six fixed fields keep their order and form:
 *   IP=<host>; DB=<database>; USER=<user>; PWD=<password>; PORT=<port>; CHAR_SET=<charset>
 * (IPS= for a host list). The library splits the host, database and user at the first
 * "; " of the next field and the password, free text, from the right, so a host,
 * database, user or charset holding ';' could fake the fields after it: such values are
 * refused. Settings follow the charset as "; NAME=value", only when asked for, with ';'
 * and '%' written %3B and %25, so no setting can fake a separator either. */
#include "zt_conntext.h"
#include "pyzt_util.h"

#include <cstdio>
#include <cstring>

namespace {

/* The fixed fields must fit this buffer, terminator included. */
constexpr size_t CONNECTION_TEXT_SIZE = 512;

/* Field names of the settings, in ZT_SET_ order. */
const char *const zt_setting_fields[ZT_SET_COUNT] = {
    "PORTS", "TARGET_SESSION_ATTRS", "CONNECT_TIMEOUT", "APPLICATION_NAME", "OPTIONS", "DSN",
};

int zt_conn_parameter_error()
{
    PyErr_SetString(ProgrammingError, "Connection parameter error");
    return -1;
}

bool zt_same_nocase(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (x != y)
            return false;
    }
    return *a == *b;
}

/* usessl as an sslmode: a libpq sslmode name, "1"/"true"/"yes" for require, or
 * "0"/"false"/"no"/""/None for nothing (empty mode). Case-insensitive; false for any
 * other text. */
bool zt_usessl_mode(const char *usessl, std::string &mode)
{
    static const char *const nothing[] = {"", "0", "false", "no"};
    static const char *const yes[] = {"1", "true", "yes"};
    static const char *const modes[] = {"disable", "allow", "prefer", "require",
                                        "verify-ca", "verify-full"};
    mode.clear();
    if (!usessl)
        return true;
    for (const char *n : nothing)
        if (zt_same_nocase(usessl, n))
            return true;
    for (const char *y : yes)
        if (zt_same_nocase(usessl, y)) {
            mode = "require";
            return true;
        }
    for (const char *m : modes)
        if (zt_same_nocase(usessl, m)) {
            mode = m;
            return true;
        }
    return false;
}

/* Appends "; NAME=value" with ';' and '%' of the value percent-encoded. */
void zt_append_setting(std::string &out, const char *name, const std::string &value)
{
    out += "; ";
    out += name;
    out += '=';
    for (char c : value) {
        if (c == ';')
            out += "%3B";
        else if (c == '%')
            out += "%25";
        else
            out += c;
    }
}

}  // namespace

const char *const zt_conn_setting_keywords[ZT_SET_COUNT] = {
    "ports", "target_session_attrs", "connect_timeout", "application_name", "options", "dsn",
};

int zt_conn_take_settings(PyObject *kwds, PyObject **rest, ZtConnSettings &settings)
{
    *rest = nullptr;
    for (bool &g : settings.given)
        g = false;
    if (!kwds)
        return 0;
    PyRef copy(PyDict_Copy(kwds));
    if (!copy)
        return -1;
    for (int i = 0; i < ZT_SET_COUNT; ++i) {
        PyObject *value = PyDict_GetItemString(copy.get(), zt_conn_setting_keywords[i]);
        if (!value)
            continue;
        if (value != Py_None) {
            Py_ssize_t n = 0;
            const char *text = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &n)
                                                      : nullptr;
            if (!text || std::strlen(text) != static_cast<size_t>(n)) {
                PyErr_Clear();
                return zt_conn_parameter_error();
            }
            settings.value[i].assign(text, static_cast<size_t>(n));
            settings.given[i] = n > 0;
        }
        if (PyDict_DelItemString(copy.get(), zt_conn_setting_keywords[i]) < 0)
            return -1;
    }
    *rest = copy.release();
    return 0;
}

int zt_format_connection_text(std::string &text, bool host_list, const char *host, int port,
                              const char *database, const char *user, const char *password,
                              const char *charset, const char *usessl,
                              ZtConnSettings &settings)
{
    if (std::strchr(host, ';') || std::strchr(database, ';') || std::strchr(user, ';') ||
        std::strchr(charset, ';') || !zt_usessl_mode(usessl, settings.sslmode))
        return zt_conn_parameter_error();

    /* The settings hold no password: encode them before the text that will. */
    std::string tail;
    if (!settings.sslmode.empty())
        zt_append_setting(tail, "SSLMODE", settings.sslmode);
    for (int i = 0; i < ZT_SET_COUNT; ++i)
        if (settings.given[i])
            zt_append_setting(tail, zt_setting_fields[i], settings.value[i]);

    char fixed[CONNECTION_TEXT_SIZE];
    std::memset(fixed, 0, sizeof fixed);
    int n = host_list
        ? std::snprintf(fixed, sizeof fixed, "IPS=%s; DB=%s; USER=%s; PWD=%s; PORT=%d; CHAR_SET=%s",
                        host, database, user, password, port, charset)
        : std::snprintf(fixed, sizeof fixed, "IP=%s; DB=%s; USER=%s; PWD=%s; PORT=%d; CHAR_SET=%s",
                        host, database, user, password, port, charset);
    bool fits = n >= 0 && static_cast<size_t>(n) < sizeof fixed;
    if (fits) {
        /* One allocation: no copy of the password is left behind by a reallocation. */
        text.reserve(static_cast<size_t>(n) + tail.size() + 1);
        text.assign(fixed, static_cast<size_t>(n));
        text += tail;
    }
    volatile char *p = fixed;
    for (size_t i = 0; i < sizeof fixed; ++i)
        p[i] = 0;
    return fits ? 0 : zt_conn_parameter_error();
}

void zt_wipe_text(std::string &text)
{
    volatile char *p = &text[0];
    for (size_t i = 0; i < text.size(); ++i)
        p[i] = 0;
    text.clear();
}
