/* zt_connect.h - the connection record and type. */
#ifndef ZT_CONNECT_H
#define ZT_CONNECT_H

#include "pyztdb.h"
#include "ZTCsql.h"

#include <stdint.h>

typedef struct {
    PyObject_HEAD
    ZTC_HANDLE p_conn;          /* session handle; empty when closed */
    uint64_t ip;
    int16_t port;
    char *db_name, *usr_name, *pass_word, *usessl, *char_set, *time_zone, *encryptor,
        *iso_level;
    int32_t lock_timeout;
    int32_t ntimes;             /* 1 when opened in the host-list form */
    ZTC_HANDLE turnIP_attrs;    /* host-list attributes; empty otherwise */
    char pytypes;               /* opt-in: Python types read and sent, whole column names */
    struct zt_conn_sync *sync;  /* the session's lock and deferred work (zt_session.cpp) */
    uint64_t session_gen;       /* changes whenever a session is opened or ended */
    /* opt-in: runs of a text before the library prepares it; -1 never. Unset (zero
     * prepare_set) leaves every session at the library's own default. */
    int32_t prepare_runs;
    char prepare_set;
    /* The exceptions this connection and its cursors raise (zt_error.cpp): null for the
     * module's own classes, else the face's table, taken from the class attribute
     * `_error_table` when the connection is made. */
    PyObject *error_table;
} RhConnect;

extern PyTypeObject connectionType;

#endif
