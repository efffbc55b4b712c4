/* zt_conntext.h - the library's connection text: the six fixed fields, the settings
 * that may follow them, and the checks that keep one field from rewriting another. */
#ifndef ZT_CONNTEXT_H
#define ZT_CONNTEXT_H

#include "pyztdb.h"

#include <string>

/* The settings a caller may add after the fixed fields, in the order they are written
 * into the text. The connection type takes each as a keyword-only argument. */
enum {
    ZT_SET_PORTS,
    ZT_SET_TARGET_SESSION_ATTRS,
    ZT_SET_CONNECT_TIMEOUT,
    ZT_SET_APPLICATION_NAME,
    ZT_SET_OPTIONS,
    ZT_SET_DSN,
    ZT_SET_COUNT
};

struct ZtConnSettings {
    std::string sslmode;            /* from usessl; empty: nothing asked */
    std::string value[ZT_SET_COUNT];
    bool given[ZT_SET_COUNT];
};

/* Keyword names of the settings, for the type's text signature and its stub. */
extern const char *const zt_conn_setting_keywords[ZT_SET_COUNT];

/* Takes the setting keywords out of kwds: *rest gets a new dict without them (or null
 * when kwds is null). A setting must be a str without zero characters, or None; None
 * and "" leave it out.
 * 0, or -1 with ProgrammingError "Connection parameter error". */
int zt_conn_take_settings(PyObject *kwds, PyObject **rest, ZtConnSettings &settings);

/* Formats the connection text into `text`: the host-list form when the host holds a
 * comma, then one "; NAME=value" per setting given. 0, or -1 with ProgrammingError
 * "Connection parameter error" when a host, database, user or charset holds ';', usessl
 * is no known request, or the fixed fields would not fit 511 bytes. */
int zt_format_connection_text(std::string &text, bool host_list, const char *host, int port,
                              const char *database, const char *user, const char *password,
                              const char *charset, const char *usessl,
                              ZtConnSettings &settings);

/* Overwrites a text that held a password, then empties it. */
void zt_wipe_text(std::string &text);

#endif
