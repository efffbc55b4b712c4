"""The test double's own behaviour, driven directly through ctypes.

Every driver test leans on these rules (value encodings, cut texts, failure injection,
handle robustness), so they are checked here without the driver in between."""

import ctypes
import struct

import pytest

H = ctypes.c_void_p
PH = ctypes.POINTER(H)
I = ctypes.c_int
PI = ctypes.POINTER(ctypes.c_int)


@pytest.fixture
def lib(zd):
    lib = zd.lib
    sigs = {
        "ZTC_OpenConn": [ctypes.c_char_p, PH],
        "ZTC_OpenConn_Ips": [ctypes.c_char_p, I, PH, PH],
        "ZTC_CloseConn": [PH],
        "Release_IpsAttrs": [PH],
        "ZTC_GetError": [PH, ctypes.c_char_p, PI],
        "ZTC_Execute_no_query": [PH, ctypes.c_char_p],
        "fun_sql_type": [ctypes.c_char_p],
        "ZTC_ExecwithDataReader": [PH, ctypes.c_char_p, PH, PI,
                                   ctypes.POINTER(ctypes.c_int64), PI],
        "ZTC_Execute2": [PH, H, H, PH],
        "ZTC_ExecBatch": [PH, ctypes.c_char_p, I],
        "ZTC_Execute_procesure": [PH, ctypes.c_char_p, H],
        "ZTC_BindParamByPos": [PH, I, I, I, H, I, PI],
        "ZTC_BindParamArrayByPos": [PH, I, I, I, I, I, H, I, PI],
        "ZTC_BindParamArrayInPlace": [PH, I, I, I, I, I, H, I, PI],
        "ZTC_getResultRet": [PH, PI, PI, PI, PI, H],
        "ZTC_getResultcolname": [PH, I, ctypes.c_char_p],
        "ZTC_getResultcolseq": [PH, ctypes.c_char_p],
        "ZTC_ReadNext": [PH],
        "ZTC_NextResult": [PH],
        "ZTC_GetData": [PH, I, I, H, I, PI],
        "ZTC_FreeRowset": [PH],
        "ZTC_FetchServerCursorRowset": [PH, ctypes.c_char_p, PH],
        "ZTC_Create_Lob": [PH],
        "ZTC_Get_Lob_data": [PH, H, I],
        "ZTC_Distroy_Lob": [PH],
    }
    for name, args in sigs.items():
        getattr(lib, name).argtypes = args
        getattr(lib, name).restype = I
    return lib


def open_session(lib):
    s = H()
    assert lib.ZTC_OpenConn(b"IP=h", ctypes.byref(s)) == 0 and s.value
    return s


def execute(lib, s):
    r, cols, rows, aff = H(), I(), ctypes.c_int64(), I()
    rc = lib.ZTC_ExecwithDataReader(ctypes.byref(s), b"select 1", ctypes.byref(r),
                                    ctypes.byref(cols), ctypes.byref(rows), ctypes.byref(aff))
    assert rc == 0
    return r, (cols.value, rows.value, aff.value)


def get_data(lib, r, col, type_, capacity):
    buf = ctypes.create_string_buffer(b"\xee" * capacity, capacity)
    length = I(-7)
    rc = lib.ZTC_GetData(ctypes.byref(r), col, type_, buf, capacity, ctypes.byref(length))
    return rc, buf.raw, length.value


@pytest.mark.parametrize("type_, value, expected", [
    (3, -2, struct.pack("=b", -2)),
    (4, 300, struct.pack("=h", 300)),
    (5, -70000, struct.pack("=i", -70000)),
    (28, 14, struct.pack("=i", 14)),
    (6, 2**40, struct.pack("=q", 2**40)),
    (23, -1, struct.pack("=q", -1)),
    (31, 5, struct.pack("=q", 5)),
    (7, 1.5, struct.pack("=f", 1.5)),
    (8, 0.1, struct.pack("=d", 0.1)),
    (1, True, b"T"),
    (1, False, b"F"),
    (9, "12.50", b"12.50"),
    (2, "h\u00e9", "h\u00e9".encode()),
    (15, b"\x00\x01", b"\x00\x01"),
])
def test_cells_encoded_by_column_type(zd, lib, type_, value, expected):
    zd.queue_execution(zd.Result([zd.Column("c", type_)], [[value]]))
    s = open_session(lib)
    r, counts = execute(lib, s)
    assert counts == (1, 1, 0)
    assert lib.ZTC_ReadNext(ctypes.byref(r)) == 0
    rc, raw, length = get_data(lib, r, 1, type_, 16)
    assert rc == 0 and length == len(expected) and raw[:len(expected)] == expected


@pytest.mark.parametrize("cell, capacity, written, length", [
    ("abcdef", 4, b"abcd", 6),          # cut: full length reported, no terminator room
    ("abc", 4, b"abc\x00", 3),          # fits: zero-terminated
    (None, 4, b"\xee" * 4, -1),         # NULL: nothing written
    ("Cell", 8, b"ab\x00", 9),          # explicit length word larger than the data
    ("empty", 4, b"\x00", 0),
])
def test_text_cells_cut_and_length_word(zd, lib, cell, capacity, written, length):
    value = {"Cell": zd.Cell(b"ab", 9), "empty": zd.Cell(b"", 0)}.get(cell, cell)
    zd.queue_execution(zd.Result([zd.Column("t", 2)], [[value]]))
    r, _ = execute(lib, open_session(lib))
    lib.ZTC_ReadNext(ctypes.byref(r))
    rc, raw, got = get_data(lib, r, 1, 2, capacity)
    assert (rc, raw[:len(written)], got) == (0, written, length)


def test_rows_results_and_counts(zd, lib):
    zd.queue_execution(zd.Result([zd.Column("a", 5), zd.Column("B", 2)], [[1, "x"], [2, "y"]]),
                       zd.Result(sql_type=2, affected=7))
    s = open_session(lib)
    r, counts = execute(lib, s)
    assert counts == (2, 2, 0)
    assert lib.ZTC_getResultcolseq(ctypes.byref(r), b"b") == 2
    name = ctypes.create_string_buffer(256)
    assert lib.ZTC_getResultcolname(ctypes.byref(r), 3, name) == -1
    assert [lib.ZTC_ReadNext(ctypes.byref(r)) for _ in range(4)] == [0, 0, 100, 100]
    assert lib.ZTC_NextResult(ctypes.byref(r)) == 0
    ret = [I(-5) for _ in range(4)]
    lib.ZTC_getResultRet(ctypes.byref(r), *[ctypes.byref(x) for x in ret], None)
    assert [x.value for x in ret] == [2, 0, 0, 7]
    assert lib.ZTC_NextResult(ctypes.byref(r)) == 100
    # Without a queued execution: an empty class-3 result.
    r2, counts = execute(lib, s)
    assert counts == (0, 0, 0)
    assert zd.open_results() == 2
    assert lib.ZTC_FreeRowset(ctypes.byref(r)) == 0 and r.value is None
    assert lib.ZTC_FreeRowset(ctypes.byref(r)) == 0
    assert zd.open_results() == 1


def test_failures_next_and_nth_with_message(zd, lib):
    s = open_session(lib)
    zd.fail("ZTC_Execute_no_query", error="boom", nth=3)
    zd.set_return("ZTC_Execute_no_query", -5)
    results = [lib.ZTC_Execute_no_query(ctypes.byref(s), b"x") for _ in range(4)]
    assert results == [-5, 0, -1, 0]
    buf, n = ctypes.create_string_buffer(256), I(0)
    assert lib.ZTC_GetError(ctypes.byref(s), buf, ctypes.byref(n)) == 0
    assert (buf.value, n.value) == (b"boom", 4)


def test_error_text_cut_to_255_bytes(zd, lib):
    s = open_session(lib)
    zd.fail("ZTC_Execute_no_query", error="\u00e9" * 200)
    lib.ZTC_Execute_no_query(ctypes.byref(s), b"x")
    buf, n = ctypes.create_string_buffer(b"\xff" * 256, 256), I(0)
    lib.ZTC_GetError(ctypes.byref(s), buf, ctypes.byref(n))
    assert n.value == 254 and buf.raw[254] == 0
    assert buf.raw[:254].decode() == "\u00e9" * 127


def test_empty_and_stale_handles(zd, lib):
    empty = H()
    assert lib.ZTC_Execute_no_query(ctypes.byref(empty), b"x") == -1
    assert lib.ZTC_ReadNext(ctypes.byref(empty)) == -1
    assert lib.ZTC_GetData(None, 1, 2, None, 0, None) == -1
    assert lib.ZTC_CloseConn(ctypes.byref(empty)) == 0
    assert lib.Release_IpsAttrs(ctypes.byref(empty)) == 0
    assert lib.ZTC_Distroy_Lob(ctypes.byref(empty)) == 0
    s = open_session(lib)
    zd.reset()
    assert lib.ZTC_Execute_no_query(ctypes.byref(s), b"x") == -1
    assert zd.calls() == []  # a handle from before the reset leaves no trace


def test_host_list_open_and_release(zd, lib):
    s, attrs = H(), H()
    assert lib.ZTC_OpenConn_Ips(b"IPS=a,b", 1, ctypes.byref(attrs), ctypes.byref(s)) == 0
    assert zd.open_attrs() == 1 and zd.open_sessions() == 1
    assert lib.Release_IpsAttrs(ctypes.byref(attrs)) == 0 and attrs.value is None
    assert lib.ZTC_CloseConn(ctypes.byref(s)) == 0
    assert (zd.open_attrs(), zd.open_sessions()) == (0, 0)
    assert zd.calls()[0] == zd.Call("ZTC_OpenConn_Ips", {
        "text": "IPS=a,b", "ntimes": 1, "attrs": False, "session": False})


def test_bind_logs_and_outputs(zd, lib):
    s = open_session(lib)
    value = ctypes.c_int64(7)
    length = I(8)
    lib.ZTC_BindParamByPos(ctypes.byref(s), 1, 1, 6, ctypes.byref(value), 8, ctypes.byref(length))
    out = ctypes.create_string_buffer(b"\xee" * 6, 6)
    out_len = I(6)
    lib.ZTC_BindParamByPos(ctypes.byref(s), 2, 2, 2, out, 6, ctypes.byref(out_len))
    lib.ZTC_BindParamByPos(ctypes.byref(s), 3, 0, 0, None, 0, None)
    zd.program_outputs({2: "abcdefgh", 1: "ignored: input position"})
    assert lib.ZTC_Execute_procesure(ctypes.byref(s), b"execute p(?,?)", None) == 0
    # Cut as the library cuts (the last byte is the zero), full length; kept whole.
    assert out.raw == b"abcde\0" and out_len.value == 8
    whole, whole_len = ctypes.create_string_buffer(9), I(0)
    assert lib.ZTC_GetOutputData(ctypes.byref(s), 2, whole, 9, ctypes.byref(whole_len)) == 0
    assert (whole.raw, whole_len.value) == (b"abcdefgh\0", 8)
    assert lib.ZTC_GetOutputData(ctypes.byref(s), 1, whole, 9, ctypes.byref(whole_len)) == -1
    assert value.value == 7
    binds = zd.calls_of("ZTC_BindParamByPos")
    assert binds[0].args == {"session": True, "pos": 1, "direction": 1, "type": 6,
                             "buflen": 8, "length": 8, "data": struct.pack("=q", 7)}
    assert binds[2].args["data"] is None and binds[2].args["length"] is None


def test_array_binding_lengths_read_at_bind_and_exec(zd, lib):
    s = open_session(lib)
    ints = (ctypes.c_int64 * 2)(5, 0)
    lengths = (ctypes.c_int * 2)(8, 0)
    packed = struct.pack("=i", 2) + b"ab" + struct.pack("=i", 3) + b"cde"
    tlens = (ctypes.c_int * 2)(2, 3)
    lib.ZTC_BindParamArrayByPos(ctypes.byref(s), 1, 2, 1, 6, 2, ints, 8, lengths)
    lib.ZTC_BindParamArrayByPos(ctypes.byref(s), 2, 2, 1, 2, 2, packed, 13, tlens)
    # Code 23 binds timestamp texts, packed like any text.
    stamps = b"".join(struct.pack("=i", 19) + t for t in (b"2024-01-02 03:04:05",
                                                           b"1999-12-31 23:59:59"))
    slens = (ctypes.c_int * 2)(19, 19)
    lib.ZTC_BindParamArrayByPos(ctypes.byref(s), 3, 2, 1, 23, 2, stamps, len(stamps), slens)
    lengths[1] = -1
    lib.ZTC_ExecBatch(ctypes.byref(s), b"insert", 2)
    first, second, third = zd.calls_of("ZTC_BindParamArrayByPos")
    assert first["values"] == struct.pack("=qq", 5, 0) and first["lengths"] == [8, 0]
    assert second["values"] == packed and second["size"] == 13
    assert third["values"] == stamps
    assert zd.calls_of("ZTC_ExecBatch")[0]["lengths_at_exec"] == {1: [8, -1], 2: [2, 3],
                                                                   3: [19, 19]}


def test_server_cursor_rowsets_then_empty(zd, lib):
    cols = [zd.Column("x", 5)]
    zd.program_cursor("c1", zd.Result(cols, [[1], [2]]), zd.Result(cols, [[3]]))
    s, r = open_session(lib), H()
    counts = [lib.ZTC_FetchServerCursorRowset(ctypes.byref(s), b"c1", ctypes.byref(r))
              for _ in range(3)]
    assert counts == [2, 1, 0]
    assert zd.open_results() == 1  # each fetch freed what R held
    assert lib.ZTC_ReadNext(ctypes.byref(r)) == 100
    name = ctypes.create_string_buffer(256)
    assert lib.ZTC_getResultcolname(ctypes.byref(r), 1, name) == 0 and name.value == b"x"


def test_large_objects(zd, lib):
    zd.queue_execution(zd.Result([zd.Column("b", 42)], [[b"\x00blob"], [None]]))
    r, _ = execute(lib, open_session(lib))
    lob = H()
    assert lib.ZTC_Create_Lob(ctypes.byref(lob)) == 0 and zd.lob_count() == 1
    lib.ZTC_ReadNext(ctypes.byref(r))
    length = I(0)
    assert lib.ZTC_GetData(ctypes.byref(r), 1, 42, ctypes.byref(lob), 8, ctypes.byref(length)) == 0
    out = ctypes.create_string_buffer(8)
    assert length.value == 5 and lib.ZTC_Get_Lob_data(ctypes.byref(lob), out, 8) == 5
    assert out.raw[:5] == b"\x00blob"
    lib.ZTC_ReadNext(ctypes.byref(r))
    lib.ZTC_GetData(ctypes.byref(r), 1, 42, ctypes.byref(lob), 8, ctypes.byref(length))
    assert length.value == -1
    assert lib.ZTC_Distroy_Lob(ctypes.byref(lob)) == 0 and zd.lob_count() == 0


@pytest.mark.parametrize("text, programmed, expected", [
    ("  \n select 1", None, 9),
    ("SeLeCt", None, 9),
    ("insert into t", None, 3),
    ("insert into t", {"insert into t": 1}, 1),
    ("anything", {None: 10}, 10),
    ("select x", {None: 10, "select x": 2}, 2),
])
def test_sql_type(zd, lib, text, programmed, expected):
    for key, cls in (programmed or {}).items():
        zd.set_sql_type(cls, key)
    assert lib.fun_sql_type(text.encode()) == expected


NULL_CALLS = """
import ctypes, ztdouble as zd
lib = zd.lib
H = ctypes.c_void_p
empty = H()
e = ctypes.byref(empty)
calls = {
    "ZTC_OpenConn": (None, None), "ZTC_OpenConn_Ips": (None, 1, None, None),
    "ZTC_CloseConn": (None,), "Release_IpsAttrs": (None,),
    "ZTC_Execute_no_query": (e, None), "ZTC_GetError": (e, None, None),
    "ZTC_Reset": (None,), "fun_sql_type": (None,),
    "ZTC_ExecwithDataReader": (e, None, None, None, None, None),
    "ZTC_Prepare2": (None, None, None), "ZTC_Execute2": (e, None, None, None),
    "ZTC_UnPrepare": (None, None), "ZTC_ExecBatch": (None, None, 0),
    "ZTC_Execute_procesure": (None, None, None),
    "ZTC_BindParamByPos": (e, 1, 1, 2, None, 0, None),
    "ZTC_BindParamArrayByPos": (e, 1, 1, 1, 2, 3, None, 0, None),
    "ZTC_BindParamArrayInPlace": (e, 1, 1, 1, 2, 3, None, 0, None),
    "ZTC_getResultRet": (e, None, None, None, None, None),
    "ZTC_getResultColumnsnum": (None, None), "ZTC_getResultcolname": (e, 1, None),
    "ZTC_getResultcolType": (e, 1, None), "ZTC_getResultcolmodi": (None, 1, None),
    "ZTC_getResultcolseq": (e, None), "ZTC_ReadNext": (None,), "ZTC_NextResult": (e,),
    "ZTC_GetData": (e, 1, 42, None, 8, None), "ZTC_FreeRowset": (None,),
    "ZTC_FetchServerCursorRowset": (e, None, None), "ZTC_CloseCursor": (None, None),
    "ZTC_Create_Lob": (None,), "ZTC_Get_Lob_data": (e, None, 5), "ZTC_Distroy_Lob": (e,),
}
for name, args in calls.items():
    assert getattr(lib, name)(*args) in (-1, 0, 3), name
# A live session and result, then every result call with null out-pointers.
s, r = H(), H()
lib.ZTC_OpenConn(b"t", ctypes.byref(s))
zd.queue_execution(zd.Result([zd.Column("c", 42)], [[b"x"]]))
lib.ZTC_ExecwithDataReader(ctypes.byref(s), None, ctypes.byref(r), None, None, None)
rr = ctypes.byref(r)
lib.ZTC_getResultRet(rr, None, None, None, None, None)
lib.ZTC_getResultColumnsnum(rr, None)
lib.ZTC_getResultcolname(rr, 1, None)
lib.ZTC_ReadNext(rr)
small = ctypes.create_string_buffer(4)
assert lib.ZTC_GetData(rr, 1, 42, small, 4, None) == -1
assert lib.ZTC_GetData(rr, 1, 2, None, 100, None) == 0
lib.ZTC_GetError(ctypes.byref(s), None, None)
lib.ZTC_Execute_procesure(ctypes.byref(s), None, None)
print("survived")
"""


def test_null_pointers_never_crash(zd):
    """Every call given null pointers and empty handles fails cleanly (in a child process,
    so that a crash is a failure and not a lost run)."""
    import os
    import subprocess
    import sys

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", NULL_CALLS], env=env,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "survived"
