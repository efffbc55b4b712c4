// Server types: each result column's type OID (with a built-in array's element type), a
// type's catalog entry looked up once per session, and bindings that carry a server type
// (ZTC_BindParamTyped, ZTC_SetArrayServerType).
#include <algorithm>
#include <cstring>

#include "internal.h"

namespace zt {

namespace {

// The built-in array types and their element types (pg_type.typarray of the built-in
// types), sorted by array OID. A driver reading an array column needs its element type
// without a catalog query; user-defined arrays are looked up (ZTC_GetServerType).
struct ArrayOfType {
    Oid array;
    Oid element;
};
constexpr ArrayOfType kBuiltinArrays[] = {
    {143, 142},    // xml
    {199, 114},    // json
    {629, 628},    // line
    {651, 650},    // cidr
    {719, 718},    // circle
    {775, 774},    // macaddr8
    {791, 790},    // money
    {1000, 16},    // bool
    {1001, 17},    // bytea
    {1002, 18},    // char
    {1003, 19},    // name
    {1005, 21},    // int2
    {1006, 22},    // int2vector
    {1007, 23},    // int4
    {1008, 24},    // regproc
    {1009, 25},    // text
    {1010, 27},    // tid
    {1011, 28},    // xid
    {1012, 29},    // cid
    {1013, 30},    // oidvector
    {1014, 1042},  // bpchar
    {1015, 1043},  // varchar
    {1016, 20},    // int8
    {1017, 600},   // point
    {1018, 601},   // lseg
    {1019, 602},   // path
    {1020, 603},   // box
    {1021, 700},   // float4
    {1022, 701},   // float8
    {1027, 604},   // polygon
    {1028, 26},    // oid
    {1034, 1033},  // aclitem
    {1040, 829},   // macaddr
    {1041, 869},   // inet
    {1115, 1114},  // timestamp
    {1182, 1082},  // date
    {1183, 1083},  // time
    {1185, 1184},  // timestamptz
    {1187, 1186},  // interval
    {1231, 1700},  // numeric
    {1270, 1266},  // timetz
    {1561, 1560},  // bit
    {1563, 1562},  // varbit
    {2201, 1790},  // refcursor
    {2210, 2205},  // regclass
    {2211, 2206},  // regtype
    {2951, 2950},  // uuid
    {3221, 3220},  // pg_lsn
    {3643, 3614},  // tsvector
    {3645, 3615},  // tsquery
    {3807, 3802},  // jsonb
    {3905, 3904},  // int4range
    {3907, 3906},  // numrange
    {3909, 3908},  // tsrange
    {3911, 3910},  // tstzrange
    {3913, 3912},  // daterange
    {3927, 3926},  // int8range
    {4073, 4072},  // jsonpath
    {6150, 4451},  // int4multirange
    {6151, 4532},  // nummultirange
    {6152, 4533},  // tsmultirange
    {6153, 4534},  // tstzmultirange
    {6155, 4535},  // datemultirange
    {6157, 4536},  // int8multirange
};

// The text codes an array binding may carry a server type with.
bool is_text_code(int type)
{
    switch (type) {
    case ZTC_TYPE_VARCHAR:
    case ZTC_TYPE_CHAR:
    case ZTC_TYPE_CHAR2:
    case ZTC_TYPE_CLOB:
    case ZTC_TYPE_CLOB2:
        return true;
    default:
        return false;
    }
}

bool valid_position(Session &s, int pos)
{
    if (pos >= 1 && pos <= 65535)
        return true;
    set_error(s, "22023", "parameter position " + std::to_string(pos) + " is out of range");
    return false;
}

// One character column of the catalog row ('\0' when empty).
char first_char(const PGresult *r, int col)
{
    const char *v = PQgetvalue(r, 0, col);
    return v ? v[0] : '\0';
}

Oid oid_at(const PGresult *r, int col)
{
    return static_cast<Oid>(std::strtoul(PQgetvalue(r, 0, col), nullptr, 10));
}

}  // namespace

Oid builtin_array_element(Oid array)
{
    const auto *end = std::end(kBuiltinArrays);
    const auto *it = std::lower_bound(std::begin(kBuiltinArrays), end, array,
                                      [](const ArrayOfType &a, Oid o) { return a.array < o; });
    return it != end && it->array == array ? it->element : 0;
}

}  // namespace zt

using namespace zt;

ZTC_API int ZTC_getResultcolServerType(ZTC_HANDLE *R, int col, unsigned *oid, unsigned *element)
{
    Result *r = result_of(R);
    if (!r || !oid || !element)
        return -1;
    if (col < 1 || col > r->ncols) {
        return guarded(r->error.get(), [&]() -> int {
            set_error(*r->error, "HY000", "column " + std::to_string(col) + " does not exist");
            return -1;
        });
    }
    *oid = r->columns[col - 1].oid;
    *element = builtin_array_element(*oid);
    return 0;
}

ZTC_API int ZTC_GetServerType(ZTC_HANDLE *S, unsigned oid, ZTC_SERVERTYPE *out)
{
    if (!out)
        return -1;
    // An empty text: with_statement only wants one that is not null.
    return with_statement(S, "", [&](Session &s) -> int {
        auto kept = s.server_types.find(oid);
        if (kept != s.server_types.end()) {
            *out = kept->second;
            return 0;
        }
        const std::string number = std::to_string(oid);
        const char *values[1] = {number.c_str()};
        const Oid types[1] = {OID_OID};
        ResultPtr res = exec_params_wait(
            s,
            "SELECT typname, typtype, typcategory, typdelim, typelem, typbasetype, typarray "
            "FROM pg_catalog.pg_type WHERE oid = $1",
            1, types, values, nullptr, nullptr, 0);
        if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
            set_error_from_result(s, res.get());
            check_connection(s, res.get());
            return -1;
        }
        if (PQntuples(res.get()) == 0)
            return ZTC_NO_MORE;
        ZTC_SERVERTYPE t;
        std::memset(&t, 0, sizeof t);
        t.oid = oid;
        std::strncpy(t.name, PQgetvalue(res.get(), 0, 0), sizeof t.name - 1);
        t.kind = first_char(res.get(), 1);
        t.category = first_char(res.get(), 2);
        t.delimiter = first_char(res.get(), 3);
        // typelem is also set for fixed-length types read by subscript (point, name):
        // only a true array (category 'A') has an element type here.
        t.element = t.category == 'A' ? oid_at(res.get(), 4) : 0;
        t.base = oid_at(res.get(), 5);
        t.array = oid_at(res.get(), 6);
        s.server_types.emplace(oid, t);
        *out = t;
        return 0;
    });
}

ZTC_API int ZTC_BindParamTyped(ZTC_HANDLE *S, int pos, unsigned oid, int format,
                               const void *data, int length)
{
    // Binding never ends a pipeline batch: it readies the batch's next statement.
    Session *s = connected_session(S, false);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (!valid_position(*s, pos))
            return -1;
        if (format != 0 && format != 1) {
            set_error(*s, "22023", "parameter " + std::to_string(pos) + ": unknown format " +
                                       std::to_string(format));
            return -1;
        }
        Binding b;
        b.type = format == 0 ? ZTC_TYPE_VARCHAR : ZTC_TYPE_BINARY;
        b.oid = oid;
        b.format = format;
        if (length >= 0) {
            if (length > 0 && !data) {
                set_error(*s, "22023", "parameter " + std::to_string(pos) + ": no value");
                return -1;
            }
            const char *p = static_cast<const char *>(data);
            // Text goes zero-terminated to the server: a zero byte would cut it silently.
            if (format == 0 && length > 0 && std::memchr(p, 0, static_cast<size_t>(length))) {
                set_error(*s, "22021", "parameter " + std::to_string(pos) +
                                           ": a text value holds a zero byte");
                return -1;
            }
            b.null = false;
            b.value.assign(p, static_cast<size_t>(length));
        }
        b.bound = true;
        if (s->params.size() < static_cast<size_t>(pos))
            s->params.resize(static_cast<size_t>(pos));
        s->params[pos - 1] = std::move(b);
        return 0;
    });
}

ZTC_API int ZTC_SetArrayServerType(ZTC_HANDLE *S, int pos, unsigned oid)
{
    Session *s = connected_session(S);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (!valid_position(*s, pos))
            return -1;
        if (s->arrays.size() < static_cast<size_t>(pos) || !s->arrays[pos - 1].bound) {
            set_error(*s, "07001", "parameter " + std::to_string(pos) + " is not bound");
            return -1;
        }
        ArrayBinding &b = s->arrays[pos - 1];
        if (!is_text_code(b.type)) {
            set_error(*s, "22023", "parameter " + std::to_string(pos) +
                                       ": only a column of texts takes a server type");
            return -1;
        }
        b.server_oid = oid;
        return 0;
    });
}
