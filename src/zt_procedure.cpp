/* zt_procedure.cpp - stored procedure and function calls (callproc, callfunc).
 *
 * Both methods run in one frame: the call text "execute NAME(?,...,?);" is built from
 * the name and the number of parameters, every item is bound by position into a heap
 * buffer of its own (the library writes output values into those buffers during
 * ZTC_Execute_procesure), and after execution every buffer is read back into a Python
 * value. A function call binds one more position, the return value, after the last
 * parameter. A RefCursor output opens the named server cursor as the cursor's result. */
#include "zt_cursor.h"
#include "zt_pgtypes.h"
#include "zt_call.h"
#include "zt_conv.h"
#include "pyzt_util.h"
#include "zt_session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

/* Texts that differ between the two methods. */
struct zt_call_texts {
    const char *mismatch;       /* failed argument parse */
    const char *unsupported;    /* diagnostic line for a code that has no binding */
    size_t unsupported_len;
};

/* The GBK bytes of the function call's "unsupported type" line, newline included. */
const char zt_gbk_unsupported[] = "\xB2\xBB\xD6\xA7\xB3\xD6\xB5\xC4\xC0\xE0\xD0\xCD\n";
const char zt_plain_unsupported[] = "the type not supported\n";

const zt_call_texts zt_proc_texts = {
    "callproc Parameter mismatch", zt_plain_unsupported, sizeof zt_plain_unsupported - 1};
const zt_call_texts zt_func_texts = {
    "callfunc Parameter mismatch", zt_gbk_unsupported, sizeof zt_gbk_unsupported - 1};

/* Size of a function call's return buffer when none is declared. */
const int32_t ZT_RETURN_BUFFER = 65536;

/* Keeps the exception recorded during a call; a later one replaces an earlier one,
 * and the call fails with it at its end. While it is held, no exception is set, so the
 * call can go on using the interpreter. */
class zt_pending_error {
public:
    zt_pending_error() = default;
    zt_pending_error(const zt_pending_error &) = delete;
    zt_pending_error &operator=(const zt_pending_error &) = delete;
    ~zt_pending_error() { drop(); }

    /* Takes the currently set exception over. */
    void record() {
        drop();
        PyErr_Fetch(&type_, &value_, &traceback_);
        if (!type_) {
            type_ = PyExc_SystemError;
            Py_INCREF(type_);
            value_ = PyUnicode_FromString("a parameter failed without an error");
        }
    }
    bool any() const { return type_ != nullptr; }
    /* Sets the recorded exception again and forgets it; returns nullptr. */
    PyObject *raise() {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
        return nullptr;
    }
    void drop() {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(traceback_);
    }

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
};

/* Working state of one call; everything is released when it goes out of scope. */
struct zt_call_frame {
    std::vector<zt_slot> slots;         /* one per parameter, then the return value */
    std::vector<int32_t> lengths;       /* one length word per slot */
    std::vector<PyRef> items;           /* the parameters as given (null: unreadable) */
    zt_pending_error pending;
    char last_boolean = 0;              /* last 'T' or 'F' read back in this call */
};

/* Writes a diagnostic line to standard output as raw bytes. Python's own buffered
 * stdout is flushed first and ours after, so the lines keep their order. */
void zt_print_diagnostic(const char *line, size_t len)
{
    PyObject *out = PySys_GetObject("stdout");      /* borrowed */
    if (out && out != Py_None) {
        PyRef flushed(PyObject_CallMethod(out, "flush", nullptr));
        if (!flushed)
            PyErr_Clear();
    }
    std::fflush(stdout);
    std::fwrite(line, 1, len, stdout);
    std::fflush(stdout);
}

/* The direction of parameter i: the caller's integer, or PARAM_INPUT without a
 * directions object. -1 with an error set when it cannot be read. */
int zt_call_direction(PyObject *directions, Py_ssize_t i, int *direction)
{
    if (!directions) {
        *direction = PARAM_INPUT;
        return 0;
    }
    PyRef index(PyLong_FromSsize_t(i));
    if (!index)
        return -1;
    PyRef item(PyObject_GetItem(directions, index.get()));
    if (!item) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            return -1;
        PyErr_Clear();
        PyErr_Format(ProgrammingError, "The direction of parameter %zd cannot be read", i + 1);
        return -1;
    }
    if (!PyLong_Check(item.get())) {
        PyErr_Format(ProgrammingError, "The direction of parameter %zd is not an integer", i + 1);
        return -1;
    }
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(item.get(), &overflow);
    if (overflow || value < INT32_MIN || value > INT32_MAX) {
        PyErr_Format(ProgrammingError, "The direction of parameter %zd is out of range", i + 1);
        return -1;
    }
    if (value == -1 && PyErr_Occurred())
        return -1;
    *direction = static_cast<int>(value);
    return 0;
}

/* Binds every parameter. Errors of a position are recorded in the frame and binding goes
 * on; 0 then, or -1 with an error set when the call must fail at once. */
int zt_call_bind(cursorObject *self, zt_call_kind kind, const zt_call_texts &texts,
                 PyObject *parameters, PyObject *directions, Py_ssize_t n, zt_call_frame &frame)
{
    for (Py_ssize_t i = 0; i < n; i++) {
        zt_slot &slot = frame.slots[static_cast<size_t>(i)];
        PyRef index(PyLong_FromSsize_t(i));
        if (!index)
            return -1;
        PyRef item(PyObject_GetItem(parameters, index.get()));
        if (!item) {
            /* Reported below as "The parameter variable is empty"; an interrupt is not. */
            if (!PyErr_ExceptionMatches(PyExc_Exception))
                return -1;
            PyErr_Clear();
        }
        /* -1 is both the failure of the rule and a code the caller may have declared;
         * a declared -1 goes on to be refused as a code without a binding. */
        slot.code = zt_default_parameter_type(self, item.get(), static_cast<int>(i));
        const bool unresolved = (slot.code == -1 && PyErr_Occurred());
        if (unresolved)
            frame.pending.record();

        int direction = PARAM_INPUT;
        if (zt_call_direction(directions, i, &direction) < 0) {
            frame.pending.record();
            continue;
        }
        slot.direction = direction;
        frame.items[static_cast<size_t>(i)] = PyRef::borrow(item.get());
        /* An input of PostgreSQL's own types (a list, dict, UUID, ...) goes with its
         * server type when the cursor has an adapters map. */
        const zt_conv_table &table = zt_conv_of(self);
        if (direction == PARAM_INPUT && item && !unresolved && !self->ParameterType &&
            table.bind_own != nullptr) {
            const int typed = table.bind_own(self, static_cast<int>(i + 1), item.get());
            if (typed < 0)
                frame.pending.record();
            if (typed != 0)
                continue;
        }
        /* With Python types on, outputs are read by the server's type, so they need no
         * declared code. */
        if ((direction == PARAM_OUTPUT || direction == PARAM_INPUTOUTPUT) && !self->ParameterType
            && !zt_conv_of(self).typed_calls) {
            frame.pending.drop();
            PyErr_SetString(ProgrammingError, "Please set the parameter data type first");
            return -1;
        }
        if (unresolved) {
            zt_print_diagnostic(texts.unsupported, texts.unsupported_len);
            continue;
        }

        int32_t &length = frame.lengths[static_cast<size_t>(i)];
        /* None at an input position is NULL of the position's declared type. An output
         * or in-out position still needs a value that suits its code: its buffer is
         * where the result is written. */
        int rc = 0;
        if (item.get() == Py_None && direction == PARAM_INPUT && zt_code_has_binding(slot.code))
            zt_null_input(slot, length);
        else
            rc = zt_encode_item(self, kind, i, item.get(), direction, slot, length);
        if (rc < 0) {
            frame.pending.record();
            continue;
        }
        if (rc > 0) {
            zt_print_diagnostic(texts.unsupported, texts.unsupported_len);
            PyErr_Format(ProgrammingError, "The type code %d of parameter %zd is not supported",
                         slot.code, i + 1);
            frame.pending.record();
            continue;
        }
        /* Reading the item ran Python code (__getitem__, __index__, a Decimal's
         * __str__) that may have closed the connection. */
        if (zt_curs_check(self) < 0) {
            frame.pending.drop();
            return -1;
        }
        /* The library's refusal (a malformed date, a direction it does not know) is the
         * reason the call fails, not the unbound position execution would report. */
        if (zt_lib_bind_param(&self->p_conn, static_cast<int>(i + 1), direction, slot.code,
                              slot.data(), slot.buflen, &length) < 0) {
            zt_raise_library_error(&self->p_conn);
            frame.pending.record();
        }
    }
    return 0;
}

/* Binds the function's return value at position n + 1: a text buffer of the declared
 * size of entry n (which cuts the value), or 64 KiB (a longer value is read again). A
 * refusal of the library is recorded in the frame. */
void zt_call_bind_return(cursorObject *self, Py_ssize_t n, zt_call_frame &frame)
{
    zt_slot &slot = frame.slots[static_cast<size_t>(n)];
    int32_t &length = frame.lengths[static_cast<size_t>(n)];
    int32_t declared = zt_declared_size(self, n);
    slot.code = ZTC_TYPE_VARCHAR;
    slot.readback = zt_readback::text;
    slot.allocate(declared >= 0 ? declared : ZT_RETURN_BUFFER);
    slot.whole = declared < 0;
    length = slot.buflen;
    if (zt_lib_bind_param(&self->p_conn, static_cast<int>(n + 1), PARAM_RETURNVALUE,
                          ZTC_TYPE_VARCHAR, slot.data(), slot.buflen, &length) < 0) {
        zt_raise_library_error(&self->p_conn);
        frame.pending.record();
    }
    /* From here the word is the library's outcome: a length it does not write reads as
     * NULL, never as a whole buffer that it cut. */
    length = 0;
}

/* "execute NAME", then "(?,...,?);" when there are parameters. */
std::string zt_call_text(const char *name, Py_ssize_t name_len, Py_ssize_t n)
{
    std::string sql;
    sql.reserve(static_cast<size_t>(name_len) + 12 + 2 * static_cast<size_t>(n));
    sql.append("execute ");
    sql.append(name, static_cast<size_t>(name_len));
    if (n > 0) {
        sql.push_back('(');
        for (Py_ssize_t i = 0; i < n; i++)
            sql.append(i + 1 < n ? "?," : "?);");
    }
    return sql;
}

/* A value of type T read from a buffer that may not be aligned for it. */
template <typename T>
T zt_load(const char *data)
{
    T v;
    std::memcpy(&v, data, sizeof v);
    return v;
}

} // namespace

/* The text of a buffer up to its first zero byte, at most `length` bytes, as str. */
PyObject *zt_slot_text(zt_slot &slot, int32_t length)
{
    int32_t end = slot.clamp(length);
    slot.buffer[static_cast<size_t>(end)] = '\0';
    size_t len = strnlen(slot.data(), static_cast<size_t>(end));
    return PyUnicode_DecodeUTF8(slot.data(), static_cast<Py_ssize_t>(len), nullptr);
}

namespace {

/* The one-byte bytes of a BOOLEAN read-back: 'T' or 1 give T, 'F' or 0 give F; any
 * other value repeats the last character of the call (or its truth when none). */
PyObject *zt_slot_boolean(zt_slot &slot, zt_call_frame &frame)
{
    int32_t value = zt_load<int32_t>(slot.data());
    char c;
    if (value == 'T' || value == 1)
        c = 'T';
    else if (value == 'F' || value == 0)
        c = 'F';
    else
        c = frame.last_boolean ? frame.last_boolean : 'T';
    frame.last_boolean = c;
    return PyBytes_FromStringAndSize(&c, 1);
}

/* Opens the server cursor named by a RefCursor output as the cursor's result. Returns
 * the name as str; a failure to fetch its first rowset is recorded and the server
 * cursor closed again. nullptr with an error set when the name cannot be read. */
PyObject *zt_call_open_cursor(cursorObject *self, zt_slot &slot, int32_t length,
                              zt_call_frame &frame)
{
    PyRef value(zt_slot_text(slot, length));
    if (!value)
        return nullptr;
    /* A second RefCursor of the call replaces the first, which is closed first. */
    if (self->p_results)
        FreeResults(self);
    std::free(self->name);
    self->name = nullptr;
    self->service_cur = 0;

    size_t len = std::strlen(slot.data());
    self->name = static_cast<char *>(std::malloc(len + 1));
    if (!self->name)
        return PyErr_NoMemory();
    std::memcpy(self->name, slot.data(), len + 1);

    int fetched = zt_lib_fetch_rowset(&self->p_conn, self->name, &self->p_results);
    if (fetched < 0) {
        zt_raise_library_error(&self->p_conn);
        frame.pending.record();
        zt_lib_close_cursor(&self->p_conn, self->name);
        ZTC_FreeRowset(&self->p_results);
        std::free(self->name);
        self->name = nullptr;
        self->row = 0;
        self->sql_type = -1;
        self->closed = 1;
        Py_INCREF(Py_None);
        zt_curs_set_description(self, Py_None);
        return value.release();
    }
    self->row = fetched;
    self->service_cur = 1;
    int rows = 0;
    ZTC_getResultRet(&self->p_results, &self->sql_type, &self->fieldnum, &rows,
                     &self->effect_num, nullptr);
    self->rowcount = rows;
    self->sql_type = ZTC_SQL_SERVER_CURSOR;
    self->closed = 0;
    zt_curs_rowcount(self);
    if (self->p_results && zt_curs_description(self) < 0)
        frame.pending.record();
    return value.release();
}

/* An output longer than its buffer was cut by the library, which reports its full length
 * and keeps the whole value: it is read again into a buffer of that length. 0, or -1
 * with an error set. */
int zt_slot_read_whole(cursorObject *self, int pos, zt_slot &slot, int32_t &length)
{
    if (!slot.whole || length <= slot.buflen - 1)
        return 0;
    if (length >= INT32_MAX - 1) {
        PyErr_Format(ProgrammingError, "The output of parameter %d is too long", pos);
        return -1;
    }
    /* Python code run since the call (a finalizer) may have closed the connection. */
    if (zt_curs_check(self) < 0)
        return -1;
    slot.allocate(length + 1);
    int32_t full = 0;
    if (ZTC_GetOutputData(&self->p_conn, pos, slot.data(), slot.buflen, &full) < 0) {
        zt_raise_library_error(&self->p_conn);
        return -1;
    }
    length = full < length ? full : length;
    return 0;
}

/* The Python value of slot j after execution (position j + 1). */
PyObject *zt_call_read_slot(cursorObject *self, Py_ssize_t j, zt_slot &slot, int32_t length,
                            zt_call_frame &frame)
{
    if (slot.readback == zt_readback::none || slot.readback == zt_readback::null || length <= 0)
        Py_RETURN_NONE;
    if (zt_slot_read_whole(self, static_cast<int>(j + 1), slot, length) < 0)
        return nullptr;
    const char *data = slot.data();
    switch (slot.readback) {
    case zt_readback::boolean:
        return zt_slot_boolean(slot, frame);
    case zt_readback::int8:
        /* The library writes a TINYINT output into its one byte of buffer only; the
         * other bytes still hold the input's. */
        return PyLong_FromLong(zt_load<int8_t>(data));
    case zt_readback::int32:
        return PyLong_FromLong(zt_load<int32_t>(data));
    case zt_readback::int16:
        return PyLong_FromLong(zt_load<int16_t>(data));
    case zt_readback::int64:
        return PyLong_FromLongLong(zt_load<int64_t>(data));
    case zt_readback::float32:
        return PyFloat_FromDouble(zt_load<float>(data));
    case zt_readback::float64:
        return PyFloat_FromDouble(zt_load<double>(data));
    case zt_readback::numeric:
        slot.buffer[static_cast<size_t>(slot.clamp(length))] = '\0';
        return PyFloat_FromDouble(zt_parse_float(data));
    case zt_readback::bytes:
        return PyBytes_FromStringAndSize(data, slot.clamp(length));
    case zt_readback::refcursor:
        return zt_call_open_cursor(self, slot, length, frame);
    default:
        return zt_slot_text(slot, length);
    }
}

/* The function's return value, read by the conversion table's entry for the code
 * declared for entry n (as text without one). */
PyObject *zt_call_read_return(cursorObject *self, Py_ssize_t n, zt_call_frame &frame)
{
    zt_slot &slot = frame.slots[static_cast<size_t>(n)];
    int32_t length = frame.lengths[static_cast<size_t>(n)];
    if (length <= 0)
        Py_RETURN_NONE;
    if (zt_slot_read_whole(self, static_cast<int>(n + 1), slot, length) < 0)
        return nullptr;
    int code = ZTC_TYPE_VARCHAR;
    if (self->ParameterType) {
        if (n >= self->ParameterNum) {
            PyErr_SetString(ProgrammingError, "The parameter is out of range");
            frame.pending.record();
        } else {
            code = self->ParameterType[n];
        }
    }
    /* The numeric forms read the text up to its zero byte, which the clamp provides. */
    slot.buffer[static_cast<size_t>(slot.clamp(length))] = '\0';
    const zt_call_codec *codec = zt_conv_call_codec(zt_conv_of(self), code);
    if (codec != nullptr && codec->read_return != nullptr)
        return codec->read_return(slot, length);
    return zt_slot_text(slot, length);
}

/* With Python types on: the row the call took its output values from, converted by the
 * row builder as a result row is (a cursor of the same connection holds it while it is
 * built); an empty tuple when the call returned no row. nullptr with an error set. */
PyObject *zt_call_output_row(cursorObject *self)
{
    PyRef holder(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&cursorType),
                                              self->conn, nullptr));
    if (!holder)
        return nullptr;
    cursorObject *rows = reinterpret_cast<cursorObject *>(holder.get());
    if (ZTC_GetOutputRowset(&rows->p_conn, &rows->p_results) < 0)
        return zt_raise_library_error(&rows->p_conn);
    int rc = ZTC_ReadNext(&rows->p_results);
    if (rc < 0)
        return zt_raise_library_error(&rows->p_conn);
    if (rc == ZTC_NO_MORE)
        return PyTuple_New(0);
    /* The outputs are read with the calling cursor's adapters. */
    if (zt_pg_prepare_columns_from(rows, self) < 0)
        return nullptr;
    return _pyzt_curs_buildrow(rows);
}

/* Item k of the output row, or None beyond its end (a new reference). */
PyObject *zt_row_item(PyObject *row, Py_ssize_t k)
{
    PyObject *item = k < PyTuple_GET_SIZE(row) ? PyTuple_GET_ITEM(row, k) : Py_None;
    Py_INCREF(item);
    return item;
}

/* The values of a call with Python types on, appended to `list`: an input parameter as it
 * was given; an output or in-out one of a procedure, and a function's value, from the row
 * the server returned, in the types result rows have; a function's pure output None and
 * its in-out parameter as given (a function reports only its value); a RefCursor output
 * as its name, opening the cursor. Returns the list, or nullptr with an error set. */
PyObject *zt_call_read_typed(cursorObject *self, zt_call_kind kind, Py_ssize_t n,
                             zt_call_frame &frame, PyObject *list)
{
    PyRef row(zt_call_output_row(self));
    if (!row)
        return nullptr;
    const bool function = (kind == zt_call_kind::function);
    Py_ssize_t column = 0;
    for (Py_ssize_t j = 0; j < n; j++) {
        zt_slot &slot = frame.slots[static_cast<size_t>(j)];
        const bool output = slot.direction == PARAM_OUTPUT || slot.direction == PARAM_INPUTOUTPUT;
        PyRef value;
        if (output && slot.readback == zt_readback::refcursor) {
            value.reset(zt_call_read_slot(self, j, slot, frame.lengths[static_cast<size_t>(j)],
                                          frame));
        } else if (output && !function) {
            value.reset(zt_row_item(row.get(), column));
        } else if (slot.direction == PARAM_OUTPUT) {
            value = PyRef::borrow(Py_None);
        } else {
            PyObject *given = frame.items[static_cast<size_t>(j)].get();
            value = PyRef::borrow(given ? given : Py_None);
        }
        column += output ? 1 : 0;
        if (!value || PyList_Append(list, value.get()) < 0)
            frame.pending.record();
    }
    if (function) {
        PyRef value(zt_row_item(row.get(), 0));
        if (PyList_Append(list, value.get()) < 0)
            frame.pending.record();
    }
    if (frame.pending.any())
        return frame.pending.raise();
    Py_INCREF(list);
    return list;
}

/* callproc and callfunc: the arguments are read into a frame, every position is bound,
 * the call runs, and every buffer is read back into the method's list. */
class ZtCall final : public ZtExecution {
public:
    ZtCall(PyObject *args, zt_call_kind kind)
        : ZtExecution(true), args_(args), kind_(kind),
          texts_(kind == zt_call_kind::function ? zt_func_texts : zt_proc_texts)
    {
    }

    int parse(cursorObject *) override
    {
        PyObject *name = nullptr;
        if (!PyArg_ParseTuple(args_, "O|OO", &name, &parameters_, &directions_)) {
            zt_raise_mismatch(texts_.mismatch);
            return -1;
        }
        name_text_ = zt_call_name(name, &name_len_);
        if (!name_text_)
            return -1;
        if (parameters_) {
            n_ = PyObject_Length(parameters_);
            if (n_ < 0)
                return -1;
            if (n_ >= INT32_MAX - 1) {
                PyErr_SetString(ProgrammingError, "Too many parameters");
                return -1;
            }
        }
        const size_t nslots = static_cast<size_t>(n_) + (function() ? 1 : 0);
        frame_.slots.resize(nslots);
        frame_.lengths.assign(nslots, 0);
        frame_.items.resize(nslots);
        return 0;
    }

    int bind(cursorObject *self) override
    {
        if (zt_call_bind(self, kind_, texts_, parameters_, directions_, n_, frame_) < 0)
            return -1;
        if (function())
            zt_call_bind_return(self, n_, frame_);
        /* A position that failed to bind would leave the call short of a value. */
        if (frame_.pending.any()) {
            frame_.pending.raise();
            return -1;
        }
        return 0;
    }

    int run(cursorObject *self) override
    {
        std::string sql = zt_call_text(name_text_, name_len_, n_);
        if (zt_lib_procedure(&self->p_conn, sql.c_str(), self->p_results) < 0) {
            zt_raise_library_error(&self->p_conn);
            return -1;
        }
        return 0;
    }

    PyObject *result(cursorObject *self) override
    {
        PyRef list(PyList_New(0));
        if (!list)
            return nullptr;
        if (zt_conv_of(self).typed_calls)
            return zt_call_read_typed(self, kind_, n_, frame_, list.get());

        for (Py_ssize_t j = 0; j < n_; j++) {
            zt_slot &slot = frame_.slots[static_cast<size_t>(j)];
            PyRef value(zt_call_read_slot(self, j, slot, frame_.lengths[static_cast<size_t>(j)],
                                          frame_));
            if (!value || PyList_Append(list.get(), value.get()) < 0) {
                frame_.pending.record();
                continue;
            }
            slot.buffer.clear();
            slot.buffer.shrink_to_fit();
        }
        if (function()) {
            PyRef value(zt_call_read_return(self, n_, frame_));
            if (!value || PyList_Append(list.get(), value.get()) < 0)
                frame_.pending.record();
        }
        if (frame_.pending.any())
            return frame_.pending.raise();
        return list.release();
    }

private:
    bool function() const { return kind_ == zt_call_kind::function; }

    PyObject *args_;                    /* borrowed: the call's arguments */
    const zt_call_kind kind_;
    const zt_call_texts &texts_;
    PyObject *parameters_ = nullptr;    /* borrowed from args_, or null */
    PyObject *directions_ = nullptr;    /* borrowed from args_, or null */
    const char *name_text_ = nullptr;   /* borrowed from the name argument */
    Py_ssize_t name_len_ = 0;
    Py_ssize_t n_ = 0;                  /* parameters */
    zt_call_frame frame_;
};

} // namespace

/* callproc(name[, parameters[, directions]]): runs a stored procedure and returns the
 * values of all its parameters after the call. */
PyObject *pyzt_curs_callproc(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)kwds;
    ZtCall how(args, zt_call_kind::procedure);
    return zt_curs_execution(self, how);
}

/* callfunc(name[, parameters[, directions]]): as callproc, followed by the function's
 * return value. */
PyObject *pyzt_curs_callfunc(cursorObject *self, PyObject *args, PyObject *kwds)
{
    (void)kwds;
    ZtCall how(args, zt_call_kind::function);
    return zt_curs_execution(self, how);
}
