"""The module: version text, exception classes, and _connect's argument handling."""

import pytest

import _pyztdb

EXCEPTIONS = {
    # name: direct base
    "Error": UnicodeError,
    "Warning": UnicodeError,
    "InterfaceError": "Error",
    "DatabaseError": "Error",
    "DataError": "DatabaseError",
    "OperationalError": "DatabaseError",
    "IntegrityError": "DatabaseError",
    "InternalError": "DatabaseError",
    "ProgrammingError": "DatabaseError",
    "NotSupportedError": "DatabaseError",
}


def test_version():
    assert _pyztdb.version() == "ztcondb version 2.3.1"


def test_namespace():
    # The public names are exactly these; private helpers (a leading underscore) serve
    # the ztcondb package and the sanitized build's hidden leak probe.
    public = {n for n in dir(_pyztdb) if not n.startswith("_")}
    assert public == set(EXCEPTIONS) | {"version", "connection", "cursor"}
    assert callable(_pyztdb._connect)
    assert _pyztdb.connection.__name__ == "connection"
    assert _pyztdb.connection.__module__ == "ztcondb"
    assert _pyztdb.cursor.__module__ == "ztcondb"


@pytest.mark.parametrize("name, base", sorted(EXCEPTIONS.items()))
def test_exception_class(name, base):
    cls = getattr(_pyztdb, name)
    base = getattr(_pyztdb, base) if isinstance(base, str) else base
    assert cls.__bases__ == (base,)
    assert (cls.__module__, cls.__name__) == ("pyztdb", name)
    assert issubclass(cls, ValueError)
    assert str(cls("a text")) == "a text"


def test_warning_is_not_an_error():
    assert not issubclass(_pyztdb.Warning, _pyztdb.Error)
    assert not issubclass(_pyztdb.Error, _pyztdb.Warning)


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    (("5432",), {}),
    ((5432.0,), {}),
    ((2 ** 40,), {}),
    ((5432,), {"nope": "x"}),
    ((5432, "h", "d", "u", "p", "UTF8", "0", "extra"), {}),
    ((5432, 1), {}),
    ((5432, b"h"), {}),
    ((5432, "h\0x"), {}),
    ((5432, "h"), {"host": "h"}),
    ((), {"host": "h"}),
])
def test_connect_argument_errors(zd, args, kwargs):
    with pytest.raises(_pyztdb.ProgrammingError) as err:
        _pyztdb._connect(*args, **kwargs)
    assert str(err.value) == "Connection parameter error"
    assert zd.calls() == []


def test_connect_with_only_a_port_fails_in_the_connection(zd, capfd):
    with pytest.raises(TypeError):
        _pyztdb._connect(5432)
    assert capfd.readouterr().out == "-- connection_setup error"
    assert zd.calls_of("ZTC_OpenConn") == []


def test_connect_keywords_in_any_order(zd):
    conn = _pyztdb._connect(usessl="1", charset="GBK", password="pw", user="us",
                            database="db", host="hh", port=7)
    assert isinstance(conn, _pyztdb.connection)
    assert zd.calls_of("ZTC_OpenConn")[0].args["text"] == (
        "IP=hh; DB=db; USER=us; PWD=pw; PORT=7; CHAR_SET=GBK; SSLMODE=require")


def test_connection_type_takes_host_first(zd):
    _pyztdb.connection("hh", 7, "db", "us", "pw", "UTF8", "0")
    assert zd.calls_of("ZTC_OpenConn")[0].args["text"] == (
        "IP=hh; DB=db; USER=us; PWD=pw; PORT=7; CHAR_SET=UTF8")


def test_connect_passes_the_connection_error_through(zd):
    zd.fail("ZTC_OpenConn")
    with pytest.raises(_pyztdb.OperationalError) as err:
        _pyztdb._connect(5432, "h", "d", "u", "p", "UTF8", "0")
    assert str(err.value) == "Connection information is not correct"


def _pyproject_version():
    import os
    import re
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    with open(os.path.join(repo, "pyproject.toml")) as f:
        return re.search(r'^version *= *"([^"]+)"', f.read(), re.M).group(1)


def _backend_version():
    import os
    import runpy
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "tools", "ztcondb_build.py")
    return runpy.run_path(path, run_name="ztcondb_build_probe")["VERSION"]


# Every place that reports the version reads the one written in pyproject.toml.
VERSION_READERS = [
    ("module", lambda: _pyztdb.version()[len("ztcondb version "):]),
    ("package", lambda: __import__("ztcondb").__version__),
    ("wheel-backend", _backend_version),
]


@pytest.mark.parametrize("name, read", VERSION_READERS, ids=[v[0] for v in VERSION_READERS])
def test_the_version_is_the_one_in_pyproject(name, read):
    assert read() == _pyproject_version()
