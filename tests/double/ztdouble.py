"""Scripting helper for the libzotusql test double (libztdouble.so).

The driver module built for unit tests links libztdouble.so; this module reaches the
same loaded copy through ctypes and programs it: results of executions and server
cursors, procedure outputs, statement classes and failures of any call. It also reads
back the log of every library call the driver made, with its arguments.

The double opens a session for any connection text and logs the text as given, so the
driver's tests assert it byte for byte: the six fixed fields, then the settings the
library contract lists (`; SSLMODE=...`, `; PORTS=...`, ..., values with `;` and `%`
percent-encoded). As the library does, a failed open (`fail("ZTC_OpenConn", error=...)`)
still hands back a session carrying the message, which ZTC_GetError reads and
ZTC_CloseConn frees.
"""

import ast
import ctypes
import math
import os

__all__ = [
    "Call", "Cell", "Column", "Result", "reset", "fail", "set_return", "set_sql_type",
    "queue_execution", "queue_notify", "program_cursor", "program_outputs", "calls", "names",
    "calls_of", "lob_count", "open_results", "open_sessions", "open_attrs",
]

_TEXT_KEYS = frozenset(("sql", "text", "name"))

# Kinds of programmed values, as the library's control interface numbers them.
_NULL, _BYTES, _CELL, _INT, _FLOAT, _BOOL, _STR = range(7)


def _loaded_double():
    """Path of the libztdouble.so already mapped into this process, or None."""
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                fields = line.split(None, 5)
                if len(fields) == 6 and os.path.basename(fields[5].strip()).startswith(
                        "libztdouble"):
                    return fields[5].strip()
    except OSError:
        pass
    return None


def _library_path():
    explicit = os.environ.get("ZT_DOUBLE_LIB")
    if explicit:
        return explicit
    try:  # the driver's unit build pulls in the double; share that copy
        import _pyztdb  # noqa: F401
    except ImportError:
        pass
    found = _loaded_double()
    if found:
        return found
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    build = os.environ.get("ZT_BUILD_DIR") or os.path.join(repo, "build")
    return os.path.join(build, "double", "libztdouble.so")


def _load():
    # PyDLL keeps the interpreter lock across calls, as the driver does.
    lib = ctypes.PyDLL(_library_path())
    c_int, c_char_p, c_int64, c_double, c_size_t = (
        ctypes.c_int, ctypes.c_char_p, ctypes.c_int64, ctypes.c_double, ctypes.c_size_t)
    signatures = {
        "ztd_reset": (None, []),
        "ztd_fail": (None, [c_char_p, c_int, c_char_p, c_int]),
        "ztd_set_sql_type": (None, [c_int, c_char_p]),
        "ztd_result_begin": (None, [c_int, c_int, c_int64, c_int]),
        "ztd_result_column": (None, [c_char_p, c_int, c_int, c_int]),
        "ztd_result_column_type": (None, [ctypes.c_uint, ctypes.c_uint]),
        "ztd_result_row": (None, []),
        "ztd_result_cell": (None, [c_int, c_int64, c_double, c_char_p, c_int, c_int]),
        "ztd_queue_execution": (None, []),
        "ztd_program_cursor": (None, [c_char_p]),
        "ztd_output": (None, [c_int, c_int, c_int64, c_double, c_char_p, c_int, c_int]),
        "ztd_program_outputs": (None, []),
        "ztd_queue_notify": (None, [c_char_p, c_char_p, c_int, c_int]),
        "ztd_row_views": (None, [c_int]),
        "ztd_lob_count": (c_int, []),
        "ztd_open_results": (c_int, []),
        "ztd_open_sessions": (c_int, []),
        "ztd_open_attrs": (c_int, []),
        "ztd_log_size": (c_size_t, []),
        "ztd_log_export": (c_size_t, [c_size_t]),
        "ztd_log_copy": (None, [ctypes.c_void_p]),
    }
    for name, (restype, argtypes) in signatures.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


lib = _load()


class Column:
    """A result column: name, library type code and modifier; the server type (OID)
    and an array's element type that ZTC_getResultcolServerType reports (0: none)."""

    __slots__ = ("name", "type", "modi", "oid", "element")

    def __init__(self, name, type, modi=0, oid=0, element=0):  # noqa: A002 - the contract's name
        self.name = name
        self.type = type
        self.modi = modi
        self.oid = oid
        self.element = element

    def __repr__(self):
        return "Column(%r, %r, %r, oid=%r, element=%r)" % (
            self.name, self.type, self.modi, self.oid, self.element)


class Cell:
    """Raw cell bytes with an explicit length word (NULL as length 0, cut texts...)."""

    __slots__ = ("data", "length")

    def __init__(self, data, length):
        self.data = bytes(data)
        self.length = length

    def __repr__(self):
        return "Cell(%r, %r)" % (self.data, self.length)


class Result:
    """One result of an execution or one rowset of a server cursor.

    rowcount None means len(rows) for class 9 and 0 otherwise."""

    def __init__(self, columns=(), rows=(), sql_type=9, rowcount=None, affected=0):
        self.columns = list(columns)
        self.rows = [list(r) for r in rows]
        self.sql_type = sql_type
        self.rowcount = rowcount
        self.affected = affected

    def __repr__(self):
        return "Result(columns=%r, rows=%r, sql_type=%r, rowcount=%r, affected=%r)" % (
            self.columns, self.rows, self.sql_type, self.rowcount, self.affected)


class Call:
    """One logged library call: its name and a dict of its arguments."""

    __slots__ = ("name", "args")

    def __init__(self, name, args):
        self.name = name
        self.args = args

    def __getitem__(self, key):
        return self.args[key]

    def __eq__(self, other):
        if isinstance(other, Call):
            return (self.name, self.args) == (other.name, other.args)
        return NotImplemented

    def __repr__(self):
        return "Call(%r, %r)" % (self.name, self.args)


def _wrap64(v):
    return ctypes.c_int64(v).value


def _value(v):
    """(kind, int, float, bytes, length) for a programmed Python value."""
    if v is None:
        return _NULL, 0, 0.0, b"", -1
    if isinstance(v, Cell):
        return _CELL, 0, 0.0, v.data, int(v.length)
    if isinstance(v, (bytes, bytearray, memoryview)):
        b = bytes(v)
        return _BYTES, 0, 0.0, b, len(b)
    if isinstance(v, bool):
        return _BOOL, int(v), float(v), (b"T" if v else b"F"), 1
    if isinstance(v, int):
        try:
            f = float(v)
        except OverflowError:
            f = 0.0
        text = str(v).encode()
        return _INT, _wrap64(v), f, text, len(text)
    if isinstance(v, float):
        i = _wrap64(int(v)) if math.isfinite(v) else 0
        text = repr(v).encode()
        return _FLOAT, i, v, text, len(text)
    if isinstance(v, str):
        b = v.encode("utf-8", "surrogatepass")
        return _STR, 0, 0.0, b, len(b)
    raise TypeError("the double cannot encode %r" % (v,))


def _text(s):
    if s is None:
        return None
    if isinstance(s, bytes):
        return s
    return s.encode("utf-8", "surrogatepass")


def _stage(result):
    rowcount = result.rowcount
    lib.ztd_result_begin(result.sql_type, rowcount is not None,
                         0 if rowcount is None else _wrap64(rowcount), result.affected)
    for col in result.columns:
        name = _text(col.name) or b""
        lib.ztd_result_column(name, len(name), col.type, col.modi)
        if col.oid or col.element:
            lib.ztd_result_column_type(col.oid, col.element)
    for row in result.rows:
        lib.ztd_result_row()
        for cell in row:
            kind, i, f, data, length = _value(cell)
            lib.ztd_result_cell(kind, i, f, data, len(data), length)


_cache = []


def reset():
    """Forget everything programmed and logged; handle counters restart."""
    lib.ztd_reset()
    del _cache[:]


def fail(call, rc=-1, error=None, nth=None):
    """Make the next (or the nth since reset, 1-based) use of `call` return rc."""
    if nth is not None and nth < 1:
        raise ValueError("nth counts from 1")
    lib.ztd_fail(_text(call), rc, _text(error), nth or 0)


def set_return(call, rc, nth=None):
    fail(call, rc, None, nth)


def row_views(on):
    """Whether ZTC_GetRowValues gives views of the cells (on after reset) or none, so
    that the driver reads every value with ZTC_GetData."""
    lib.ztd_row_views(1 if on else 0)


def set_sql_type(cls, text=None):
    """fun_sql_type returns cls for exactly `text`, or for every other text when None."""
    lib.ztd_set_sql_type(cls, _text(text))


def queue_execution(*results):
    """The next ZTC_ExecwithDataReader / ZTC_Execute2 returns a handle over these."""
    for r in results:
        _stage(r)
    lib.ztd_queue_execution()


def queue_notify(channel, payload="", pid=0):
    """Any session's next ZTC_GetNotify (after those queued before) hands this out."""
    data = payload.encode("utf-8") if isinstance(payload, str) else bytes(payload)
    lib.ztd_queue_notify(_text(channel), data, len(data), pid)


def program_cursor(name, *rowsets):
    """Each ZTC_FetchServerCursorRowset or ZTC_FetchCursorPage of `name` returns the next
    of these rowsets."""
    for r in rowsets:
        _stage(r)
    lib.ztd_program_cursor(_text(name))


def program_outputs(outputs):
    """The next ZTC_Execute_procesure writes {pos: cell} into the bound output buffers."""
    for pos, cell in sorted(outputs.items()):
        kind, i, f, data, length = _value(cell)
        lib.ztd_output(pos, kind, i, f, data, len(data), length)
    lib.ztd_program_outputs()


def _convert(name, args):
    for key in _TEXT_KEYS.intersection(args):
        if isinstance(args[key], bytes):
            args[key] = args[key].decode("utf-8", "surrogateescape")
    return Call(name, args)


def calls():
    """Every library call since reset, in order."""
    size = lib.ztd_log_size()
    if size < len(_cache):
        del _cache[:]
    if size > len(_cache):
        n = lib.ztd_log_export(len(_cache))
        buf = ctypes.create_string_buffer(n)
        lib.ztd_log_copy(buf)
        _cache.extend(_convert(name, args) for name, args in ast.literal_eval(buf.raw.decode("ascii")))
    return list(_cache)


def names():
    return [c.name for c in calls()]


def calls_of(name):
    return [c for c in calls() if c.name == name]


def lob_count():
    return lib.ztd_lob_count()


def open_results():
    return lib.ztd_open_results()


def open_sessions():
    return lib.ztd_open_sessions()


def open_attrs():
    return lib.ztd_open_attrs()
