/* zt_pgtypes.h - PostgreSQL's own types for a cursor whose class carries an adapters map
 * (attribute `_adapters`, set by ztcondb): json/jsonb, arrays, uuid, inet/cidr, ranges and
 * multiranges, and the loaders and dumpers registered in the map. Columns are read by their
 * server type (ZTC_getResultcolServerType), resolved once per result; parameters go with a
 * server type (ZTC_BindParamTyped, ZTC_SetArrayServerType). A cursor without the map (every
 * _pyztdb cursor) never reaches any of it. */
#ifndef ZT_PGTYPES_H
#define ZT_PGTYPES_H

#include "zt_cursor.h"

#include <string>

/* ---- reading (zt_pgtypes.cpp) ---- */

/* Resolves the readers of the current result's columns once (kept in self->pg_plan until
 * the description changes). 0, or -1 with an error set. */
int zt_pg_prepare_columns(cursorObject *self);
/* The same for a result held by self with the adapters map of owner (the cursor whose
 * procedure call self's result holds the outputs of). */
int zt_pg_prepare_columns_from(cursorObject *self, cursorObject *owner);
/* When column col of the current result has a reader of its own: *served true and the
 * value built from the row view v (nullptr: read with ZTC_GetData), or nullptr with an
 * error set. Otherwise *served false, nothing built. */
PyObject *zt_pg_column_value(cursorObject *self, int col, const ZTC_ROWVALUE *v, bool *served);
/* Forgets the resolved readers (a new result or description). */
void zt_pg_forget_columns(cursorObject *self);

/* ---- sending (zt_pgtypes.cpp) ---- */

/* Binds item at position pos when it is a value of these types (a list, dict, Json,
 * UUID, ip address, Range, or a type with a registered dumper): 1 bound, 0 not one of
 * them (nothing done), -1 with an error set naming the parameter. */
int zt_pg_bind(cursorObject *self, int pos, PyObject *item);
/* True when a batch column of these n values holds one that zt_pg_encode_column writes
 * (the cursor has an adapters map). Sets no error. */
bool zt_pg_batch_column(cursorObject *self, PyObject *const *values, Py_ssize_t n);
/* Writes a batch column of n values as the library's packed texts (4-byte length, -1 for
 * NULL, then the bytes) into packed, sets lengths[i] and *oid to the column's server type
 * (0: mixed, the server infers). 0, or -1 with an error naming column and row. */
int zt_pg_encode_column(cursorObject *self, PyObject *const *values, Py_ssize_t n,
                        Py_ssize_t col, std::string &packed, int *lengths, unsigned *oid);

#endif
