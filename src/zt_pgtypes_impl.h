/* zt_pgtypes_impl.h - what the reading and the sending of PostgreSQL's own types share:
 * the Python objects they build and recognise, and a cursor's adapters map. */
#ifndef ZT_PGTYPES_IMPL_H
#define ZT_PGTYPES_IMPL_H

#include "zt_cursor.h"
#include "pyzt_util.h"
#include "zt_lexchars.h"

namespace zt_pg {

/* Classes, functions and attribute names looked up once and kept for the life of the
 * process (the module is single-phase), like the row path's decimal.Decimal. */
struct Objects {
    PyObject *object_type;
    PyObject *uuid_type, *safe_unknown;
    PyObject *ip_address, *ip_interface, *ip_network, *ipv4_type;
    PyObject *ip_inet_types;     /* tuple: the address and interface classes */
    PyObject *ip_cidr_types;     /* tuple: the network classes */
    PyObject *decimal_type;
    PyObject *range_type, *multirange_type;
    PyObject *json_type, *jsonb_type;
    PyObject *new_name, *int_name, *is_safe_name, *load_name, *dump_name, *oid_name,
        *format_name, *obj_name, *dumps_name, *mro_name;
};
/* The objects; objects_ready() must have succeeded first. */
const Objects &objects();
/* Looks the objects up at the first call. 0, or -1 with an error set. */
int objects_ready();

/* A cursor's adapters map (ztcondb.adapt.AdaptersMap) as the C side reads it: registered
 * loaders by OID, dumpers by Python type, element types of registered arrays, json loads
 * and dumps, and the context loaders and dumpers are made with. */
struct Context {
    PyRef map;
    PyObject *loaders = nullptr, *dumpers = nullptr, *elements = nullptr;
    PyObject *loads = nullptr, *dumps = nullptr, *context = nullptr;
    PyRef hold[6];
};

/* The value of a hexadecimal digit, -1 for any other character. */
using zt_lexchars::hex_digit;

}  // namespace zt_pg

/* Fills ctx from the cursor's adapters map: 1 when it has one, 0 when not (a _pyztdb
 * cursor, or Python types off), -1 with an error set. */
int zt_pg_context(cursorObject *self, zt_pg::Context *ctx);

#endif
