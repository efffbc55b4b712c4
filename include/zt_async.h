/* zt_async.h - opt-in stepping methods for an event loop: each starts or moves on one
 * non-blocking operation of the library and never waits on the network (zt_async.cpp). */
#ifndef ZT_ASYNC_H
#define ZT_ASYNC_H

#include "zt_connect.h"
#include "zt_cursor.h"

/* cursor._async_execute(sql, parameters=None): binds as execute does and starts the
 * statement. cursor._async_finish(): takes the finished statement's result into the
 * cursor, as execute does after its call. */
PyObject *pyzt_curs_async_execute(cursorObject *self, PyObject *args);
PyObject *pyzt_curs_async_finish(cursorObject *self, PyObject *);

/* connection._async_poll(): 0 once the operation is done, else the wait bits (1 read,
 * 2 write). connection._async_finish(): ends an open (None), a COPY start (its
 * direction, 1 in / 2 out) or a COPY end (its row count). */
PyObject *pyzt_conn_async_poll(RhConnect *self, PyObject *);
PyObject *pyzt_conn_async_finish(RhConnect *self, PyObject *);
/* connection._async_copy_start(sql), _async_copy_put(data) -> 0 taken / 2 wait,
 * _async_copy_get() -> bytes, or 1 (wait to read), or None after the last,
 * _async_copy_end(abort_message=None) -> 0 / 2 wait. */
PyObject *pyzt_conn_async_copy_start(RhConnect *self, PyObject *args);
PyObject *pyzt_conn_async_copy_put(RhConnect *self, PyObject *args);
PyObject *pyzt_conn_async_copy_get(RhConnect *self, PyObject *);
PyObject *pyzt_conn_async_copy_end(RhConnect *self, PyObject *args);
#endif
