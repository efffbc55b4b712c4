/* zt_serving.h - the methods for serving many: notifications (zt_notify.cpp) and
 * pipelines (zt_pipeline.cpp). Opt-in additions: nothing else calls them. */
#ifndef ZT_SERVING_H
#define ZT_SERVING_H

#include "zt_connect.h"
#include "zt_cursor.h"

/* connection.fileno(): the session's socket descriptor. */
PyObject *pyzt_conn_fileno(RhConnect *self, PyObject *unused);
/* connection.getnotifies(): [(channel, payload, pid), ...] received so far, oldest first;
 * each is handed out once. */
PyObject *pyzt_conn_getnotifies(RhConnect *self, PyObject *unused);
/* connection.waitnotify(timeout=None): True once a notification is pending, False after
 * timeout seconds; the interpreter lock is released meanwhile and Ctrl-C ends it. */
PyObject *pyzt_conn_waitnotify(RhConnect *self, PyObject *args);
/* connection.pipeline_sync(): ends the pipeline batch in flight; the outcomes kept. */
PyObject *pyzt_conn_pipeline_sync(RhConnect *self, PyObject *unused);
/* cursor.pipeline_send(sql, parameters=None): sends a statement of a pipeline batch. */
PyObject *pyzt_curs_pipeline_send(cursorObject *self, PyObject *args);
/* cursor.pipeline_take(): takes the session's oldest pipeline outcome as the cursor's
 * result (raising the statement's failure); False when none is kept. */
PyObject *pyzt_curs_pipeline_take(cursorObject *self, PyObject *unused);

/* 0 when a session is open, else -1 with OperationalError (zt_connect.cpp). */
int zt_conn_check(RhConnect *self);

#endif
