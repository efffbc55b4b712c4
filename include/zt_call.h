/* zt_call.h - what the two source files of callproc and callfunc share: the kind of
 * call, one bound position (its buffer, length and how it is read back), and the routines
 * of zt_callparam.cpp that fill a position from a Python value. */
#ifndef ZT_CALL_H
#define ZT_CALL_H

#include "zt_cursor.h"

#include <cstdint>
#include <vector>

enum class zt_call_kind { procedure, function };

/* How a bound position is read back after execution. */
enum class zt_readback { none, null, boolean, int8, int32, int16, int64, float32, float64,
                         numeric, refcursor, bytes, text };

/* One bound position. The buffer holds `buflen` bytes for the library plus one zero
 * byte of our own, so that reading a text back never runs past the end even when the
 * library filled the whole buffer. Its storage does not move once bound: the library
 * keeps its address for output values. */
struct zt_slot {
    std::vector<char> buffer;
    int32_t buflen = 0;
    int code = 0;
    zt_readback readback = zt_readback::none;
    int direction = PARAM_INPUT;
    /* An output whose size nobody declared: when the library reports a value longer than
     * the buffer, the whole value is read again (zt_slot_read_whole), never cut. */
    bool whole = false;

    char *data() { return buffer.empty() ? nullptr : buffer.data(); }
    void allocate(int32_t size) {
        buflen = size;
        buffer.assign(static_cast<size_t>(size) + 1, '\0');
    }
    /* The length word clamped into the buffer. The library writes at most buflen - 1
     * bytes of a value and then its terminating zero; a longer length means a cut. */
    int32_t clamp(int32_t length) const {
        int32_t room = buflen > 0 ? buflen - 1 : 0;
        return length < room ? length : room;
    }
};

/* Whether the call frame has a binding for type code `code` (the codes zt_encode_item
 * fills a buffer for). */
bool zt_code_has_binding(int code);
/* A NULL input: no buffer, buffer length 0, length word 0; it reads back as None. */
void zt_null_input(zt_slot &slot, int32_t &length);
/* The double a text starts with, whatever the process locale says (0 when none), like
 * strtod in the C locale. */
double zt_parse_float(const char *text);
/* Fills the slot of parameter i (from 0) from item by its type code (slot.code) and sets
 * its length word; nothing is bound. 0 when the code has a binding, 1 when it has none,
 * -1 with an error set. */
int zt_encode_item(cursorObject *self, zt_call_kind kind, Py_ssize_t i, PyObject *item,
                   int direction, zt_slot &slot, int32_t &length);
/* ---- shared by the families' call encoders (zt_conv_*.cpp) ---- */

/* Where a procedure or function value is going: parameter i (from 0), the declared size
 * of the position (-1 without one), whether the library writes a value back into it,
 * and the kind of call. */
struct zt_call_pos {
    zt_call_kind kind;
    Py_ssize_t i;
    int32_t declared;
    bool output;
};
/* Fills the slot from item by the slot's code and sets its length word: 0, or -1 with
 * an error set. */
typedef int (*zt_call_encode_fn)(const zt_call_pos &pos, PyObject *item, zt_slot &slot,
                                 int32_t &length);
/* A function's return value read from its slot, whose text the caller ended with a zero
 * byte. */
typedef PyObject *(*zt_call_return_fn)(zt_slot &slot, int32_t length);
/* How a position of type code `code` is filled, and how a function returning that code
 * is read (null: as text). */
struct zt_call_codec {
    int code;
    zt_call_encode_fn encode;
    zt_call_return_fn read_return;
};

/* One family's call codecs (zt_conv_<family>.cpp), listed in a conversion table. */
struct zt_call_codecs {
    const zt_call_codec *entries;
    size_t count;
};

/* ProgrammingError for an item whose Python type does not suit its type code. -1. */
int zt_call_unsuitable(Py_ssize_t i, PyObject *item, int code);
/* ProgrammingError when a value of len bytes does not fit a 32-bit length. 0 or -1. */
int zt_call_check_size(Py_ssize_t i, Py_ssize_t len);
/* ProgrammingError for a text holding a zero byte (the library would end it there). */
int zt_call_refuse_zero(Py_ssize_t i, const char *text, Py_ssize_t len);
/* Fills the slot with a text the caller formatted and binds it as VARCHAR. */
void zt_call_text_slot(zt_slot &slot, int32_t &length, const char *text, int len);
/* The text of a slot up to its first zero byte, as str. */
PyObject *zt_slot_text(zt_slot &slot, int32_t length);

/* The UTF-8 text of a procedure name that is an identifier or a dot-qualified identifier;
 * nullptr with ProgrammingError otherwise. */
const char *zt_call_name(PyObject *name, Py_ssize_t *len);

#endif
