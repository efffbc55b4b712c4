"""Faults of the call and argument paths against the double: a binding the library
refuses fails the call with the library's own message, and a refused argument list
keeps the parser's reason as the cause of its "Parameter mismatch"."""

import pytest

import _pyztdb

OUT = 2
REFUSED = '[22023] parameter {pos}: malformed date parameter "0000-01-01"'


# method, parameters, directions, declared types, the binding (1-based) that fails
@pytest.mark.parametrize("method, params, directions, types, nth", [
    ("callproc", [1], None, None, 1),
    ("callproc", [1, "a", 2.5], None, None, 2),
    ("callproc", [1, "a"], [1, OUT], [6, 2], 2),
    ("callfunc", [1, 2], None, None, 1),
    ("callfunc", [1, 2], None, None, 3),        # the return value's binding
    ("callfunc", [], None, None, 1),
])
def test_refused_binding_fails_the_call_with_the_library_reason(zd, conn, method, params,
                                                                directions, types, nth):
    cur = conn.cursor()
    if types:
        cur.setinputtype(types)
    zd.fail("ZTC_BindParamByPos", error=REFUSED.format(pos=nth), nth=nth)
    args = ("p1", params) if directions is None else ("p1", params, directions)
    with pytest.raises(_pyztdb.OperationalError) as err:
        getattr(cur, method)(*args)
    assert str(err.value) == REFUSED.format(pos=nth)
    assert zd.calls_of("ZTC_Execute_procesure") == []
    # The cursor goes on: the next call binds and runs.
    assert getattr(cur, method)("p1", [7])[0] == 7


@pytest.mark.parametrize("call, args, text, cause", [
    ("callproc", (), "callproc Parameter mismatch", TypeError),
    ("callfunc", ("f", [], [], 4), "callfunc Parameter mismatch", TypeError),
    ("execute", (), "execute Parameter mismatch", TypeError),
    ("executemany", ("x", [], 1), "executemany Parameter mismatch", TypeError),
    ("executebatch", ("x",), "executebatch Parameter mismatch", TypeError),
    ("fetchmany", ("a",), "fetchmany Parameter mismatch", TypeError),
    ("setinputtype", (), "setinputtype  Parameter mismatch", TypeError),
    ("setinputsizes", ([], []), "setinputsizes  Parameter mismatch", TypeError),
    ("getResultcolname", ("1",), "getResultcolname  Parameter mismatch", TypeError),
    ("getResultcolseq", (1,), "getResultcolseq Parameter mismatch", TypeError),
    ("getResultcolsize", (2 ** 40,), "getResultcolsize Parameter mismatch", OverflowError),
    ("cursor", (1, 2, 3, 4, 5), "Parameter mismatch", TypeError),
])
def test_mismatch_keeps_the_parser_reason_as_cause(zd, conn, call, args, text, cause):
    target = conn if call == "cursor" else conn.cursor()
    with pytest.raises(_pyztdb.ProgrammingError) as err:
        getattr(target, call)(*args)
    assert str(err.value) == text
    assert type(err.value.__cause__) is cause and str(err.value.__cause__)
    assert err.value.__suppress_context__
