"""The connection object against the double: connection texts, transactions, closing,
context-manager use, deallocation and the cursor factory."""

import gc
import weakref

import pytest

import _pyztdb

BASE = "DB=d; USER=u; PWD=p; PORT=5432; CHAR_SET=UTF8"


def connect(host="h", port=5432, password="p", usessl="0"):
    return _pyztdb._connect(port, host, "d", "u", password, "UTF8", usessl)


def open_text(zd):
    (call,) = [c for c in zd.calls() if c.name.startswith("ZTC_OpenConn")]
    return call.name, call.args["text"]


@pytest.mark.parametrize("host, call, text", [
    ("h", "ZTC_OpenConn", "IP=h; " + BASE),
    ("db.example:x", "ZTC_OpenConn", "IP=db.example:x; " + BASE),
    ("a,b", "ZTC_OpenConn_Ips", "IPS=a,b; " + BASE),
    (",a", "ZTC_OpenConn_Ips", "IPS=,a; " + BASE),
    ("a,", "ZTC_OpenConn_Ips", "IPS=a,; " + BASE),
    ("a,b,c", "ZTC_OpenConn_Ips", "IPS=a,b,c; " + BASE),
])
def test_connection_text_forms(zd, host, call, text):
    conn = connect(host)
    assert open_text(zd) == (call, text)
    if call == "ZTC_OpenConn_Ips":
        assert zd.calls_of(call)[0].args["ntimes"] == 1
        assert zd.open_attrs() == 1
    conn.close()
    assert (zd.open_sessions(), zd.open_attrs()) == (0, 0)


@pytest.mark.parametrize("port", [0, 1, 5432, 32767, 32768, 65535])
def test_ports_reach_the_text_as_themselves(zd, port):
    connect(port=port)
    assert open_text(zd)[1] == "IP=h; DB=d; USER=u; PWD=p; PORT=%d; CHAR_SET=UTF8" % port


@pytest.mark.parametrize("port", [-1, 65536, -65535, 2 ** 31 - 1, -2 ** 31])
def test_ports_out_of_range_refused(zd, port):
    with pytest.raises(_pyztdb.ProgrammingError) as err:
        connect(port=port)
    assert str(err.value) == "Connection parameter error"
    assert [n for n in zd.names() if n.startswith("ZTC_OpenConn")] == []


@pytest.mark.parametrize("usessl, tail", [
    ("0", ""), ("false", ""), ("No", ""), ("", ""), (None, ""),
    ("1", "; SSLMODE=require"), ("TRUE", "; SSLMODE=require"), ("yes", "; SSLMODE=require"),
    ("disable", "; SSLMODE=disable"), ("allow", "; SSLMODE=allow"),
    ("Prefer", "; SSLMODE=prefer"), ("require", "; SSLMODE=require"),
    ("verify-ca", "; SSLMODE=verify-ca"), ("VERIFY-FULL", "; SSLMODE=verify-full"),
])
def test_usessl_appends_one_sslmode_field(zd, usessl, tail):
    connect(usessl=usessl)
    assert open_text(zd)[1] == "IP=h; " + BASE + tail


@pytest.mark.parametrize("usessl", ["2", "on", "ssl", "require; PORT=1", "USESSL=1", " 1"])
def test_usessl_unknown_refused(zd, usessl):
    with pytest.raises(_pyztdb.ProgrammingError) as err:
        connect(usessl=usessl)
    assert str(err.value) == "Connection parameter error"
    assert [n for n in zd.names() if n.startswith("ZTC_OpenConn")] == []


# Values that try to rewrite the fields after them (or fake an escape).
HOSTILE = ["x; DB=postgres; USER=postgres; PWD=", "; USER=postgres; PWD=",
           "a; PORT=5433; CHAR_SET=UTF8", ";", "%3B", "50%; SSLMODE=disable", "é;漢"]


@pytest.mark.parametrize("field", ["host", "database", "user", "charset"])
@pytest.mark.parametrize("value", HOSTILE)
def test_separator_refused_in_host_database_user_charset(zd, field, value):
    if ";" not in value:
        pytest.skip("only values holding the separator are refused")
    values = {"host": "h", "port": 5432, "database": "d", "user": "u", "password": "p",
              "charset": "UTF8", "usessl": "0"}
    values[field] = value
    with pytest.raises(_pyztdb.ProgrammingError) as err:
        _pyztdb._connect(**values)
    assert str(err.value) == "Connection parameter error"
    assert [n for n in zd.names() if n.startswith("ZTC_OpenConn")] == []


@pytest.mark.parametrize("password", HOSTILE + ["", "p; PWD=q"])
def test_password_is_free_text(zd, password):
    connect(password=password, usessl="1")
    assert open_text(zd)[1] == (
        "IP=h; DB=d; USER=u; PWD=%s; PORT=5432; CHAR_SET=UTF8; SSLMODE=require" % password)


SETTINGS = [
    ("ports", "PORTS"), ("target_session_attrs", "TARGET_SESSION_ATTRS"),
    ("connect_timeout", "CONNECT_TIMEOUT"), ("application_name", "APPLICATION_NAME"),
    ("options", "OPTIONS"), ("dsn", "DSN"),
]


@pytest.mark.parametrize("keyword, field", SETTINGS)
@pytest.mark.parametrize("value, written", [
    ("read-write", "read-write"),
    ("a; PORT=1; CHAR_SET=GBK", "a%3B PORT=1%3B CHAR_SET=GBK"),
    ("100%; SSLMODE=disable", "100%25%3B SSLMODE=disable"),
    ("%3B", "%253B"),
    ("é 漢", "é 漢"),
    ("", None),
])
def test_settings_follow_the_fixed_fields_encoded(zd, keyword, field, value, written):
    _pyztdb.connection("h", 5432, "d", "u", "p", "UTF8", "1", **{keyword: value})
    tail = "" if written is None else "; %s=%s" % (field, written)
    assert open_text(zd)[1] == "IP=h; %s; SSLMODE=require%s" % (BASE, tail)


def test_settings_in_a_fixed_order_after_sslmode(zd):
    kwargs = {keyword: str(k) for k, (keyword, _) in enumerate(reversed(SETTINGS))}
    _pyztdb.connection("a,b", 5432, "d", "u", "p", "UTF8", "verify-full", **kwargs)
    assert open_text(zd) == ("ZTC_OpenConn_Ips", "IPS=a,b; " + BASE + "; SSLMODE=verify-full; "
                             "PORTS=5; TARGET_SESSION_ATTRS=4; CONNECT_TIMEOUT=3; "
                             "APPLICATION_NAME=2; OPTIONS=1; DSN=0")


@pytest.mark.parametrize("value", [5, b"x", "a\0b", ["x"]])
@pytest.mark.parametrize("keyword", [k for k, _ in SETTINGS])
def test_settings_must_be_text(zd, keyword, value):
    with pytest.raises(_pyztdb.ProgrammingError) as err:
        _pyztdb.connection("h", 5432, "d", "u", "p", "UTF8", "0", **{keyword: value})
    assert str(err.value) == "Connection parameter error"
    assert [n for n in zd.names() if n.startswith("ZTC_OpenConn")] == []


def test_settings_none_is_not_given(zd):  # as is an empty text (above)
    _pyztdb.connection("h", 5432, "d", "u", "p", "UTF8", "0", **{k: None for k, _ in SETTINGS})
    assert open_text(zd)[1] == "IP=h; " + BASE


@pytest.mark.parametrize("host", ["h", "h,k"])
@pytest.mark.parametrize("extra, accepted", [(0, True), (1, False), (1000, False)])
def test_connection_text_limited_to_511_bytes(zd, host, extra, accepted):
    prefix = "IPS=" if "," in host else "IP="
    fixed = len(prefix + host + "; " + BASE) - 1  # BASE holds the 1-byte password
    password = "x" * (511 - fixed + extra)
    if accepted:
        conn = connect(host, password=password)
        text = open_text(zd)[1]
        assert len(text) == 511 and text.endswith("PWD=%s; PORT=5432; CHAR_SET=UTF8" % password)
        conn.close()
    else:
        with pytest.raises(_pyztdb.ProgrammingError) as err:
            connect(host, password=password)
        assert str(err.value) == "Connection parameter error"
        assert [n for n in zd.names() if n.startswith("ZTC_OpenConn")] == []


def test_utf8_text_counted_in_bytes(zd):
    connect(password="\u00e9")
    assert open_text(zd)[1] == "IP=h; DB=d; USER=u; PWD=\u00e9; PORT=5432; CHAR_SET=UTF8"
    fixed = len("IP=h; " + BASE) - 1
    with pytest.raises(_pyztdb.ProgrammingError):
        connect(password="\u00e9" * ((511 - fixed) // 2 + 1))


@pytest.mark.parametrize("call, host", [("ZTC_OpenConn", "h"), ("ZTC_OpenConn_Ips", "a,b")])
@pytest.mark.parametrize("rc", [-1, -3])
@pytest.mark.parametrize("error, message", [
    ("[08001] refused", "Connection information is not correct: [08001] refused"),
    (None, "Connection information is not correct"),
    # A library that quotes the password loses its reason rather than show it.
    ("[28P01] bad password s3cret for u", "Connection information is not correct"),
])
def test_open_failure_carries_the_reason(zd, call, host, rc, error, message):
    zd.fail(call, rc=rc, error=error)
    with pytest.raises(_pyztdb.OperationalError) as err:
        connect(host, password="s3cret")
    assert str(err.value) == message
    # The failed session is given back: nothing stays open.
    assert (zd.open_sessions(), zd.open_attrs()) == (0, 0)


@pytest.mark.parametrize("args, kwargs", [
    (("h", 5432, "d", "u", "p", "UTF8"), {}),
    (("h", "5432", "d", "u", "p", "UTF8", "0"), {}),
    (("h", 5432, "d", "u", None, "UTF8", "0"), {}),
    ((), {"host": "h"}),
])
def test_connection_argument_errors_print_diagnostic(zd, capfd, args, kwargs):
    with pytest.raises(TypeError):
        _pyztdb.connection(*args, **kwargs)
    assert capfd.readouterr().out == "-- connection_setup error"
    assert [n for n in zd.names() if n.startswith("ZTC_OpenConn")] == []


@pytest.mark.parametrize("flag, text", [
    (True, "set auto commit on"),
    (1, "set auto commit on"),
    ("x", "set auto commit on"),
    (False, "set auto commit off"),
    (0, "set auto commit off"),
    ("", "set auto commit off"),
    ([], "set auto commit off"),
])
def test_autocommit_texts(zd, conn, flag, text):
    assert conn.autocommit(flag) is None
    (call,) = zd.calls_of("ZTC_Execute_no_query")
    assert call.args == {"session": True, "sql": text}


def test_autocommit_none_sends_nothing(zd, conn):
    assert conn.autocommit(None) is None
    assert zd.calls_of("ZTC_Execute_no_query") == []


@pytest.mark.parametrize("args, kwargs", [((), {}), ((), {"flag": True}), ((1, 2), {})])
def test_autocommit_argument_errors(zd, conn, args, kwargs):
    with pytest.raises(_pyztdb.ProgrammingError) as err:
        conn.autocommit(*args, **kwargs)
    assert str(err.value) == "parameters is not object"


def test_autocommit_keywords_ignored(zd, conn):
    conn.autocommit(True, anything=1)
    assert zd.calls_of("ZTC_Execute_no_query")[0].args["sql"] == "set auto commit on"


def test_autocommit_truth_value_error_propagates(zd, conn):
    class Bad:
        def __bool__(self):
            raise KeyError("no truth")

    with pytest.raises(KeyError):
        conn.autocommit(Bad())
    assert zd.calls_of("ZTC_Execute_no_query") == []


@pytest.mark.parametrize("method, args, text, message", [
    ("commit", (), "commit;", "Commit failed"),
    ("rollback", (), "rollback;", "rollback() failed"),
    ("autocommit", (True,), "set auto commit on", "set auto commit failed"),
    ("autocommit", (False,), "set auto commit off", "set auto commit failed"),
])
@pytest.mark.parametrize("rc", [-1, -2])
def test_transaction_control(zd, conn, method, args, text, message, rc):
    assert getattr(conn, method)(*args) is None
    zd.fail("ZTC_Execute_no_query", rc=rc, error="[25P02] aborted")
    with pytest.raises(_pyztdb.DatabaseError) as err:
        getattr(conn, method)(*args)
    assert type(err.value) is _pyztdb.DatabaseError
    assert str(err.value) == message
    assert [c.args["sql"] for c in zd.calls_of("ZTC_Execute_no_query")] == [text, text]


@pytest.mark.parametrize("method, args", [
    ("cursor", ()), ("commit", ()), ("rollback", ()), ("autocommit", (None,)),
    ("autocommit", ()),
])
def test_closed_connection(zd, conn, method, args):
    conn.close()
    with pytest.raises(_pyztdb.OperationalError) as err:
        getattr(conn, method)(*args)
    assert str(err.value) == "Connection does not exist"


def test_close_twice(zd, conn):
    assert conn.close() is None
    assert conn.close() is None
    assert zd.calls_of("ZTC_CloseConn") == [
        zd.Call("ZTC_CloseConn", {"session": True}),
        zd.Call("ZTC_CloseConn", {"session": False}),
    ]
    assert zd.open_sessions() == 0


@pytest.mark.parametrize("rc", [-1, -4])
def test_close_failure_still_empties_the_session(zd, conn, rc):
    zd.fail("ZTC_CloseConn", rc=rc)
    with pytest.raises(_pyztdb.ProgrammingError) as err:
        conn.close()
    assert str(err.value) == "Pointer in error"
    with pytest.raises(_pyztdb.OperationalError):
        conn.commit()
    assert conn.close() is None


def test_host_list_attributes_released_once(zd):
    conn = connect("a,b")
    conn.close()
    conn.close()
    del conn
    gc.collect()
    assert len(zd.calls_of("Release_IpsAttrs")) == 1
    assert zd.open_attrs() == 0


def test_attributes_kept_when_close_fails_then_released_at_deallocation(zd):
    conn = connect("a,b")
    zd.fail("ZTC_CloseConn")
    with pytest.raises(_pyztdb.ProgrammingError):
        conn.close()
    assert zd.calls_of("Release_IpsAttrs") == []
    del conn
    assert zd.calls_of("Release_IpsAttrs") == [zd.Call("Release_IpsAttrs", {"attrs": True})]
    assert zd.open_attrs() == 0


@pytest.mark.parametrize("rc", [-1, -2])
def test_release_failure(zd, rc):
    conn = connect("a,b")
    zd.fail("Release_IpsAttrs", rc=rc)
    with pytest.raises(_pyztdb.ProgrammingError) as err:
        conn.close()
    assert str(err.value) == "turnIP_attrs in error"
    assert conn.close() is None
    del conn
    assert len(zd.calls_of("Release_IpsAttrs")) == 1


@pytest.mark.parametrize("host", ["h", "a,b"])
def test_deallocation_closes_and_releases(zd, host):
    conn = connect(host)
    ref = weakref.ref(conn) if type(conn).__weakrefoffset__ else None
    del conn
    assert ref is None or ref() is None
    assert zd.calls_of("ZTC_CloseConn") == [zd.Call("ZTC_CloseConn", {"session": True})]
    assert len(zd.calls_of("Release_IpsAttrs")) == (1 if "," in host else 0)
    assert (zd.open_sessions(), zd.open_attrs()) == (0, 0)


def test_deallocation_keeps_a_pending_exception(zd):
    zero = 0
    with pytest.raises(ZeroDivisionError):
        # The connection is released while the division's exception is being raised.
        [connect("a,b"), 1 / zero]
    assert zd.open_sessions() == 0 and zd.open_attrs() == 0


def test_context_manager(zd, conn):
    with conn as entered:
        assert entered is conn
    assert zd.calls_of("ZTC_CloseConn")[0].args == {"session": True}
    with pytest.raises(_pyztdb.OperationalError):
        conn.commit()


def test_context_manager_lets_the_exception_through(zd, conn):
    with pytest.raises(KeyError):
        with conn:
            raise KeyError("inside")
    assert zd.open_sessions() == 0


def test_exit_reports_a_failed_close(zd, conn):
    zd.fail("ZTC_CloseConn")
    with pytest.raises(_pyztdb.ProgrammingError) as err:
        conn.__exit__(None, None, None)
    assert str(err.value) == "Pointer in error"


def test_enter_does_not_check_the_session(zd, conn):
    conn.close()
    assert conn.__enter__() is conn


@pytest.mark.parametrize("kwargs", [
    {}, {"name": None}, {"cursor_factory": dict}, {"withhold": True, "scrollable": 1},
])
def test_cursor_is_the_module_cursor(zd, conn, kwargs):
    cur = conn.cursor(**kwargs)
    assert type(cur) is _pyztdb.cursor


@pytest.mark.parametrize("args, kwargs", [((None, None, None, None, None), {}),
                                          ((), {"bogus": 1})])
def test_cursor_argument_errors(zd, conn, args, kwargs):
    with pytest.raises(_pyztdb.ProgrammingError) as err:
        conn.cursor(*args, **kwargs)
    assert str(err.value) == "Parameter mismatch"


def test_cursor_keeps_the_connection_alive(zd):
    cur = connect().cursor()
    gc.collect()
    assert zd.open_sessions() == 1
    del cur
    gc.collect()
    assert zd.open_sessions() == 0


def test_subclass_in_a_cycle_is_collected(zd):
    class Sub(_pyztdb.connection):
        pass

    conn = Sub("a,b", 5432, "d", "u", "p", "UTF8", "0")
    conn.me = conn
    conn.close_later = conn.close
    del conn
    gc.collect()
    assert (zd.open_sessions(), zd.open_attrs()) == (0, 0)
    assert len(zd.calls_of("Release_IpsAttrs")) == 1


def test_initialising_again_gives_the_old_session_back(zd):
    conn = connect("a,b")
    conn.__init__("h", 5432, "d", "u", "p", "UTF8", "0")
    assert (zd.open_sessions(), zd.open_attrs()) == (1, 0)
    assert zd.names()[-1] == "ZTC_OpenConn"
    conn.close()
    assert zd.open_sessions() == 0


def test_repeated_use_leaks_nothing(zd):
    import sys

    host = "".join(["a", ",b"])  # a fresh object whose count can be watched
    before = sys.getrefcount(host)
    for _ in range(300):
        conn = _pyztdb._connect(5432, host, "d", "u", "p", "UTF8", "0")
        count = sys.getrefcount(conn)
        conn.autocommit(None)
        conn.commit()
        with conn:
            pass
        assert sys.getrefcount(conn) == count
        del conn
    assert sys.getrefcount(host) == before
    assert (zd.open_sessions(), zd.open_attrs()) == (0, 0)


# (values set in turn, the runs each passes to the library, what the attribute reads)
THRESHOLDS = [
    ([], [], 2),
    ([None], [-1], None),
    ([0], [0], 0),
    ([5, None, 1], [5, -1, 1], 1),
    ([2 ** 40], [2 ** 31 - 1], 2 ** 31 - 1),
]


@pytest.mark.parametrize("values, runs, reads", THRESHOLDS)
def test_prepare_threshold_reaches_the_library_only_when_set(zd, values, runs, reads):
    conn = connect()
    for v in values:
        conn.prepare_threshold = v
    assert [c.args["runs"] for c in zd.calls_of("ZTC_SetPrepareThreshold")] == runs
    assert conn.prepare_threshold == reads
    # A session opened again gets the value set, and only a set one.
    conn.__init__("h", 5432, "d", "u", "p", "UTF8", "0")
    again = [c.args["runs"] for c in zd.calls_of("ZTC_SetPrepareThreshold")]
    assert again == runs + runs[-1:]
    conn.close()
    conn.prepare_threshold = 3   # kept for a later session; no call on a closed one
    assert len(zd.calls_of("ZTC_SetPrepareThreshold")) == len(again)
    assert conn.prepare_threshold == 3


@pytest.mark.parametrize("value, error", [
    (-1, ValueError), (-2 ** 70, ValueError), ("1", TypeError), (1.5, TypeError),
    (True, TypeError), (object(), TypeError)])
def test_prepare_threshold_refuses_what_is_not_a_count(zd, value, error):
    conn = connect()
    with pytest.raises(error):
        conn.prepare_threshold = value
    with pytest.raises(TypeError):
        del conn.prepare_threshold
    assert conn.prepare_threshold == 2
    assert zd.calls_of("ZTC_SetPrepareThreshold") == []
    conn.close()
