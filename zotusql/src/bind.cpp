// Single-value parameter bindings: reading the caller's buffer by type code into the value the
// server receives (ZTC_BindParamByPos), and keeping output buffers for procedure calls.
#include <cstdio>
#include <cstring>

#include "decode.h"
#include "internal.h"

namespace zt {

namespace {

// Highest parameter number the server's protocol allows.
constexpr int kMaxPosition = 65535;

template <class T>
T read_as(const void *data)
{
    T v;
    std::memcpy(&v, data, sizeof v);
    return v;
}

// Writes v in network byte order (the binary form of float4 / float8).
template <class T, class U>
void put_binary(std::string &out, T value)
{
    U bits;
    static_assert(sizeof bits == sizeof value, "size");
    std::memcpy(&bits, &value, sizeof bits);
    out.resize(sizeof bits);
    for (size_t i = 0; i < sizeof bits; ++i)
        out[i] = static_cast<char>(bits >> (8 * (sizeof bits - 1 - i)));
}

// Text parameters end at the length word or at their first zero byte, whichever comes first
// (the server cannot store a zero byte in a text, and some buffers come zero-terminated with
// the whole buffer size as their length word).
size_t text_length(const char *p, int length, bool stop_at_zero)
{
    size_t n = static_cast<size_t>(length);
    if (stop_at_zero) {
        const void *z = std::memchr(p, '\0', n);
        if (z)
            n = static_cast<const char *>(z) - p;
    }
    return n;
}

bool set_text(Binding &b, Oid oid, const char *p, size_t n)
{
    b.null = false;
    b.oid = oid;
    b.format = 0;
    b.value.assign(p, n);
    return true;
}

bool set_datetime(Binding &b, Oid oid, const char *p, int length, std::string &err)
{
    size_t n = text_length(p, length, true);
    std::string text;
    if (!normalise_datetime_text(p, n, text)) {
        set_error(err, "22023",
                  std::string("malformed ") + (oid == OID_DATE ? "date" : "timestamp") +
                      " parameter \"" + std::string(p, utf8_cut(p, n, 40)) + "\"");
        return false;
    }
    return set_text(b, oid, text.data(), text.size());
}

// Smallest integer type that holds v.
Oid integer_oid(int64_t v)
{
    if (v >= INT16_MIN && v <= INT16_MAX)
        return OID_INT2;
    if (v >= INT32_MIN && v <= INT32_MAX)
        return OID_INT4;
    return OID_INT8;
}

void set_integer(Binding &b, Oid oid, int64_t v)
{
    b.null = false;
    b.oid = oid;
    b.format = 0;
    b.value = std::to_string(v);
}

// An interval of `us` microseconds as days and seconds ("-1 days -0.500000 seconds"): the
// days stay days, as the server keeps them apart from hours.
void set_interval(Binding &b, int64_t us)
{
    const int64_t days = us / kMicrosPerDay, rest = us % kMicrosPerDay;
    const uint64_t mag = rest < 0 ? 0 - static_cast<uint64_t>(rest) : static_cast<uint64_t>(rest);
    char text[80];
    std::snprintf(text, sizeof text, "%lld days %s%llu.%06llu seconds",
                  static_cast<long long>(days), rest < 0 ? "-" : "",
                  static_cast<unsigned long long>(mag / 1000000),
                  static_cast<unsigned long long>(mag % 1000000));
    b.null = false;
    b.oid = OID_INTERVAL;
    b.format = 0;
    b.value = text;
}

// An instant, `us` microseconds since 1970 UTC, as a timestamp with time zone written with
// its offset ("+00"), so the server reads the same instant whatever the session's TimeZone.
void set_instant(Binding &b, int64_t us)
{
    char text[kMicrosTextMax];
    const int n = format_micros_text(us, text, true);
    set_text(b, OID_TIMESTAMPTZ, text, static_cast<size_t>(n));
}

}  // namespace

bool encode_value(int type, const void *data, int length, Binding &b, std::string &err)
{
    b.null = true;
    b.oid = 0;
    b.format = 0;
    b.value.clear();
    const char *p = static_cast<const char *>(data);
    bool null = !data || length < 0;
    switch (type) {
    case ZTC_TYPE_NULL:
        return true;
    case ZTC_TYPE_BOOLEAN: {
        if (null)
            return true;
        char c = p[0];
        if (c == 1 || c == 'T' || c == 't')
            return set_text(b, OID_BOOL, "t", 1);
        if (c == 0 || c == 'F' || c == 'f')
            return set_text(b, OID_BOOL, "f", 1);
        set_error(err, "22023", "boolean parameter is neither 0/1 nor F/T");
        return false;
    }
    case ZTC_TYPE_TINYINT:
        if (!null)
            set_integer(b, OID_INT2, read_as<int8_t>(p));
        return true;
    case ZTC_TYPE_SMALLINT:
        if (!null)
            set_integer(b, OID_INT2, read_as<int16_t>(p));
        return true;
    case ZTC_TYPE_INTEGER:
        // Untyped: the driver sends Python booleans with this code, and the server then reads
        // '1' / '0' as a boolean as well as an integer.
        if (!null)
            set_integer(b, 0, read_as<int32_t>(p));
        return true;
    case ZTC_TYPE_BIGINT:
        if (!null) {
            int64_t v = read_as<int64_t>(p);
            set_integer(b, integer_oid(v), v);
        }
        return true;
    case ZTC_TYPE_INT_LITERAL:
        // The type the server gives the same number written as a literal: integer when it
        // fits, bigint otherwise, so that `? + ?` of two small numbers does not overflow.
        if (!null) {
            int64_t v = read_as<int64_t>(p);
            set_integer(b, v >= INT32_MIN && v <= INT32_MAX ? OID_INT4 : OID_INT8, v);
        }
        return true;
    case ZTC_TYPE_INTERVAL_DS:
        if (!null)
            set_interval(b, read_as<int64_t>(p));
        return true;
    case ZTC_TYPE_DATETIME_UTC_US:
        if (!null)
            set_instant(b, read_as<int64_t>(p));
        return true;
    case ZTC_TYPE_FLOAT:
        if (!null) {
            b.null = false;
            b.oid = OID_FLOAT4;
            b.format = 1;
            put_binary<float, uint32_t>(b.value, read_as<float>(p));
        }
        return true;
    case ZTC_TYPE_DOUBLE:
        if (!null) {
            b.null = false;
            b.oid = OID_FLOAT8;
            b.format = 1;
            put_binary<double, uint64_t>(b.value, read_as<double>(p));
        }
        return true;
    case ZTC_TYPE_NUMERIC:
        if (null)
            return true;
        return set_text(b, OID_NUMERIC, p, text_length(p, length, true));
    case ZTC_TYPE_VARCHAR:
    case ZTC_TYPE_CLOB2:
    case ZTC_TYPE_CHAR:
    case ZTC_TYPE_CHAR2:
        // The value also ends at a zero byte: the driver passes some texts (floats) as a
        // zero-terminated text in a buffer whose whole size is the length word.
        if (null)
            return true;
        return set_text(b, 0, p, text_length(p, length, true));
    case ZTC_TYPE_DATE:
        return null || set_datetime(b, OID_DATE, p, length, err);
    case ZTC_TYPE_TIME:
    case ZTC_TYPE_TIME2:
        if (null)
            return true;
        return set_text(b, OID_TIME, p, text_length(p, length, true));
    case ZTC_TYPE_DATETIME:
    case ZTC_TYPE_DATETIME2:
    case ZTC_TYPE_DATETIME_MS:
        return null || set_datetime(b, OID_TIMESTAMP, p, length, err);
    case ZTC_TYPE_BINARY:
    case ZTC_TYPE_BINARY2:
    case ZTC_TYPE_BLOB:
        if (!null) {
            b.null = false;
            b.oid = OID_BYTEA;
            b.format = 1;
            b.value.assign(p, static_cast<size_t>(length));
        }
        return true;
    case ZTC_TYPE_REFCURSOR: {
        // An empty name is sent as NULL so that the procedure names the cursor itself.
        if (null)
            return true;
        size_t n = text_length(p, length, true);
        if (n == 0) {
            b.oid = OID_REFCURSOR;
            return true;
        }
        return set_text(b, OID_REFCURSOR, p, n);
    }
    default:
        set_error(err, "22023", "unsupported parameter type code " + std::to_string(type));
        return false;
    }
}

}  // namespace zt

using namespace zt;

// Binds position pos. Input values (directions 1, 3) are encoded now; for directions 2, 3 and 6
// the buffer and length-word addresses are kept for the procedure call to write into.
ZTC_API int ZTC_BindParamByPos(ZTC_HANDLE *S, int pos, int direction, int type, void *buffer,
                               int buflen, int *length)
{
    // Binding never ends a pipeline batch: it readies the batch's next statement.
    Session *s = connected_session(S, false);
    if (!s)
        return -1;
    return guarded(slot_of(s), [&]() -> int {
        if (pos < 1 || pos > kMaxPosition) {
            set_error(*s, "22023", "parameter position " + std::to_string(pos) + " is out of range");
            return -1;
        }
        if (direction != PARAM_INPUT && direction != PARAM_OUTPUT &&
            direction != PARAM_INPUTOUTPUT && direction != PARAM_RETURNVALUE) {
            set_error(*s, "22023", "unsupported parameter direction " + std::to_string(direction));
            return -1;
        }
        Binding b;
        b.direction = direction;
        b.type = type;
        bool input = direction == PARAM_INPUT || direction == PARAM_INPUTOUTPUT;
        // The length word gives the value's length; never read past the buffer's own length.
        int n = length ? *length : buflen;
        if (buflen > 0 && n > buflen)
            n = buflen;
        std::string err;
        if (!encode_value(type, input ? buffer : nullptr, input ? n : -1, b, err)) {
            // "[22023] text" becomes "[22023] parameter N: text".
            size_t at = err.find("] ");
            err.insert(at == std::string::npos ? 0 : at + 2,
                       "parameter " + std::to_string(pos) + ": ");
            *s->error = err;
            return -1;
        }
        if (direction != PARAM_INPUT) {
            b.out_buffer = buffer;
            b.out_capacity = buflen;
            b.out_length = length;
        }
        b.bound = true;
        if (s->params.size() < static_cast<size_t>(pos))
            s->params.resize(pos);
        s->params[pos - 1] = std::move(b);
        return 0;
    });
}
