// Single-value parameter bindings: reading the caller's buffer by type code into the value the
// server receives (ZTC_BindParamByPos), and keeping output buffers for procedure calls.
#include <cstdio>
#include <cstring>

#include "codec.h"
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

// How the caller's buffer of a type code is read.
enum class Input : uint8_t {
    Null,        // nothing: always NULL
    Boolean,     // one byte: 0 / 1 or 'F' / 'T'
    Int8, Int16, Int32, Int64,
    Float, Double,
    Micros,      // 8 bytes: a microsecond count
    Text,        // a text, ending at its first zero byte
    Bytes,       // every byte of the length word
    CursorName,  // a text; an empty one is sent as NULL (the procedure names the cursor)
};

// The server type a value is sent as.
enum class Target : uint8_t {
    Fixed,       // the entry's type
    Untyped,     // the entry's type writes it, sent without a type for the server to infer
    Smallest,    // the smallest of smallint / integer / bigint that holds the value
    Literal,     // integer when it fits 32 bits, else bigint: the type of the same literal
};

// One type code of ZTC_BindParamByPos: how its buffer is read and which codec writes it.
struct CodeBinding {
    int code;
    Input input;
    Target target;
    Oid oid;     // the codec's type (Fixed, Untyped)
};

// Codes 3 and 4 go as smallint; 5 untyped (the driver sends Python booleans with it, and the
// server then reads '1' / '0' as a boolean as well as an integer); 6 as the smallest integer
// type; texts untyped; floats and binary codes in binary form, exactly.
const CodeBinding kCodeBindings[] = {
    {ZTC_TYPE_NULL, Input::Null, Target::Fixed, 0},
    {ZTC_TYPE_BOOLEAN, Input::Boolean, Target::Fixed, OID_BOOL},
    {ZTC_TYPE_TINYINT, Input::Int8, Target::Fixed, OID_INT2},
    {ZTC_TYPE_SMALLINT, Input::Int16, Target::Fixed, OID_INT2},
    {ZTC_TYPE_INTEGER, Input::Int32, Target::Untyped, OID_INT4},
    {ZTC_TYPE_BIGINT, Input::Int64, Target::Smallest, 0},
    {ZTC_TYPE_INT_LITERAL, Input::Int64, Target::Literal, 0},
    {ZTC_TYPE_INTERVAL_DS, Input::Micros, Target::Fixed, OID_INTERVAL},
    {ZTC_TYPE_DATETIME_UTC_US, Input::Micros, Target::Fixed, OID_TIMESTAMPTZ},
    {ZTC_TYPE_FLOAT, Input::Float, Target::Fixed, OID_FLOAT4},
    {ZTC_TYPE_DOUBLE, Input::Double, Target::Fixed, OID_FLOAT8},
    {ZTC_TYPE_NUMERIC, Input::Text, Target::Fixed, OID_NUMERIC},
    {ZTC_TYPE_VARCHAR, Input::Text, Target::Untyped, OID_TEXT},
    {ZTC_TYPE_CLOB2, Input::Text, Target::Untyped, OID_TEXT},
    {ZTC_TYPE_CHAR, Input::Text, Target::Untyped, OID_TEXT},
    {ZTC_TYPE_CHAR2, Input::Text, Target::Untyped, OID_TEXT},
    {ZTC_TYPE_DATE, Input::Text, Target::Fixed, OID_DATE},
    {ZTC_TYPE_TIME, Input::Text, Target::Fixed, OID_TIME},
    {ZTC_TYPE_TIME2, Input::Text, Target::Fixed, OID_TIME},
    {ZTC_TYPE_DATETIME, Input::Text, Target::Fixed, OID_TIMESTAMP},
    {ZTC_TYPE_DATETIME2, Input::Text, Target::Fixed, OID_TIMESTAMP},
    {ZTC_TYPE_DATETIME_MS, Input::Text, Target::Fixed, OID_TIMESTAMP},
    {ZTC_TYPE_BINARY, Input::Bytes, Target::Fixed, OID_BYTEA},
    {ZTC_TYPE_BINARY2, Input::Bytes, Target::Fixed, OID_BYTEA},
    {ZTC_TYPE_BLOB, Input::Bytes, Target::Fixed, OID_BYTEA},
    {ZTC_TYPE_REFCURSOR, Input::CursorName, Target::Fixed, OID_REFCURSOR},
};

const CodeBinding *code_binding(int code)
{
    for (const CodeBinding &e : kCodeBindings)
        if (e.code == code)
            return &e;
    return nullptr;
}

Oid target_oid(const CodeBinding &e, int64_t v)
{
    switch (e.target) {
    case Target::Smallest:
        return v >= INT16_MIN && v <= INT16_MAX   ? OID_INT2
               : v >= INT32_MIN && v <= INT32_MAX ? OID_INT4
                                                  : OID_INT8;
    case Target::Literal:
        return v >= INT32_MIN && v <= INT32_MAX ? OID_INT4 : OID_INT8;
    default:
        return e.oid;
    }
}

// The caller's value as read from its buffer.
struct Given {
    int64_t integer = 0;
    double real = 0;
    const char *text = nullptr;
    size_t length = 0;
};

// Reads the caller's buffer; false with `err` set for a value no type takes.
bool read_given(Input input, const char *p, int length, Given &g, std::string &err)
{
    switch (input) {
    case Input::Boolean:
        if (p[0] == 1 || p[0] == 'T' || p[0] == 't') {
            g.integer = 1;
        } else if (p[0] != 0 && p[0] != 'F' && p[0] != 'f') {
            set_error(err, "22023", "boolean parameter is neither 0/1 nor F/T");
            return false;
        }
        return true;
    case Input::Int8: g.integer = read_as<int8_t>(p); return true;
    case Input::Int16: g.integer = read_as<int16_t>(p); return true;
    case Input::Int32: g.integer = read_as<int32_t>(p); return true;
    case Input::Int64:
    case Input::Micros: g.integer = read_as<int64_t>(p); return true;
    case Input::Float: g.real = read_as<float>(p); return true;
    case Input::Double: g.real = read_as<double>(p); return true;
    case Input::Bytes:
        g.text = p;
        g.length = static_cast<size_t>(length);
        return true;
    case Input::Text:
    case Input::CursorName:
        g.text = p;
        g.length = text_length(p, length, true);
        return true;
    case Input::Null: break;
    }
    return true;
}

// Writes the given value through the target type's writer.
bool write_given(Input input, const Codec &codec, const Given &g, std::string &out,
                 std::string &err)
{
    const Writer &w = codec.send;
    switch (input) {
    case Input::Boolean:
    case Input::Int8:
    case Input::Int16:
    case Input::Int32:
    case Input::Int64: w.integer(g.integer, out); return true;
    case Input::Float:
    case Input::Double: w.real(g.real, out); return true;
    case Input::Micros: w.micros(g.integer, out); return true;
    case Input::Text:
    case Input::CursorName:
    case Input::Bytes:
        if (w.text(g.text, g.length, out))
            return true;
        set_error(err, "22023", std::string("malformed ") + codec.name + " parameter \"" +
                                    std::string(g.text, utf8_cut(g.text, g.length, 40)) + "\"");
        return false;
    case Input::Null: break;
    }
    return true;
}

}  // namespace

bool encode_value(int type, const void *data, int length, Binding &b, std::string &err)
{
    b.null = true;
    b.oid = 0;
    b.format = 0;
    b.value.clear();
    const CodeBinding *e = code_binding(type);
    if (!e) {
        set_error(err, "22023", "unsupported parameter type code " + std::to_string(type));
        return false;
    }
    const char *p = static_cast<const char *>(data);
    if (!p || length < 0 || e->input == Input::Null)
        return true;
    Given g;
    if (!read_given(e->input, p, length, g, err))
        return false;
    const Oid oid = target_oid(*e, g.integer);
    if (e->input == Input::CursorName && g.length == 0) {
        b.oid = oid;  // NULL, typed: the procedure names the cursor itself
        return true;
    }
    const Codec &codec = codec_of(oid);
    if (!write_given(e->input, codec, g, b.value, err))
        return false;
    b.null = false;
    b.oid = e->target == Target::Untyped ? 0 : oid;
    b.format = codec.send.format;
    return true;
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
