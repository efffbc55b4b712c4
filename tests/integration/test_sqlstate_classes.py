"""Every SQLSTATE class the server can report, raised for real (RAISE ... USING ERRCODE),
on both faces: the module raises OperationalError carrying the code, ztcondb the class
of that SQLSTATE (errors.lookup), derived from the PEP 249 class the table gives
(DatabaseError for a class it has no row for), raised as such where it happened."""
import os
import pickle
import sys

import pytest

from conftest import connect

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import _pyztdb  # noqa: E402
import ztcondb  # noqa: E402
from ztcondb import (DatabaseError, DataError, IntegrityError, InternalError,  # noqa: E402
                     NotSupportedError, OperationalError, ProgrammingError)

# One code of every class of the server's error codes appendix (and the library's HY),
# with the PEP 249 class its ztcondb class derives from.
CLASSES = [
    ("03000", DatabaseError), ("08006", OperationalError), ("09000", DatabaseError),
    ("0A000", NotSupportedError), ("0B000", DatabaseError), ("0F001", DatabaseError),
    ("0L000", DatabaseError), ("0P000", DatabaseError), ("0Z002", DatabaseError),
    ("20000", ProgrammingError), ("21000", ProgrammingError), ("22012", DataError),
    ("23505", IntegrityError), ("24000", InternalError), ("25001", InternalError),
    ("26000", ProgrammingError), ("27000", OperationalError), ("28000", OperationalError),
    ("2B000", InternalError), ("2D000", InternalError), ("2F005", OperationalError),
    ("34000", ProgrammingError), ("38001", OperationalError), ("39004", OperationalError),
    ("3B001", OperationalError), ("3D000", ProgrammingError), ("3F000", ProgrammingError),
    ("40001", OperationalError), ("42P01", ProgrammingError), ("44000", ProgrammingError),
    ("53200", OperationalError), ("54001", OperationalError), ("55P03", OperationalError),
    ("57014", OperationalError), ("58030", OperationalError), ("72000", DatabaseError),
    ("F0001", OperationalError), ("HV000", OperationalError), ("HY000", OperationalError),
    ("P0001", ProgrammingError), ("P0004", ProgrammingError), ("XX000", InternalError),
    ("XX001", InternalError), ("ZZ123", DatabaseError),
]


@pytest.fixture(scope="module")
def faces(pg):
    module = connect(pg)
    module.autocommit(True)
    ours = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"], user=pg["user"])
    ours.autocommit = True
    try:
        yield module.cursor(), ours.cursor()
    finally:
        module.close()
        ours.close()


def _raise(code):
    return "do $$ begin raise exception 'planted %s' using errcode = '%s'; end $$" % (code, code)


@pytest.mark.parametrize("code, cls", CLASSES, ids=[c[0] for c in CLASSES])
def test_every_class_on_both_faces(faces, code, cls):
    module_cur, cur = faces
    with pytest.raises(_pyztdb.OperationalError) as raw:
        module_cur.execute(_raise(code))
    assert raw.value.sqlstate == code
    assert str(raw.value).startswith("[%s] planted %s" % (code, code))
    with pytest.raises(ztcondb.Error) as mapped:
        cur.execute(_raise(code))
    try:
        own = ztcondb.errors.lookup(code)
    except KeyError:        # a code without a class of its own (72000, HY000)
        own = cls
    assert type(mapped.value) is own and isinstance(mapped.value, cls)
    assert mapped.value.sqlstate == code == mapped.value.diag.sqlstate
    assert mapped.value.__cause__ is None and mapped.value.__context__ is None
    # The session is still usable after each error.
    cur.execute("select 1")
    assert cur.fetchall() == [(1,)]


# Real errors with their report: (statement, class, text after the first line of the
# message, diag fields expected).
REPORTS = [
    ("insert into err_diag values (1, 1)", ztcondb.errors.UniqueViolation,
     "DETAIL:  Key (id)=(1) already exists.",
     {"table_name": "err_diag", "constraint_name": "err_diag_pkey", "column_name": None,
      "message_detail": "Key (id)=(1) already exists."}),
    ("insert into err_diag values (2, null)", ztcondb.errors.NotNullViolation,
     "DETAIL:  Failing row contains (2, null).",
     {"table_name": "err_diag", "column_name": "v", "constraint_name": None}),
    ("insert into err_diag values (3, -1)", ztcondb.errors.CheckViolation,
     "DETAIL:  Failing row contains (3, -1).",
     {"table_name": "err_diag", "constraint_name": "err_diag_v_check"}),
    ("select 1 from err_diag where\n  v = 1 and nonsense", ztcondb.errors.UndefinedColumn,
     "LINE 2:   v = 1 and nonsense\n                    ^",
     {"statement_position": "42", "table_name": None}),
    ("selec 1", ztcondb.errors.SyntaxError, "LINE 1: selec 1\n        ^",
     {"statement_position": "1", "message_primary": 'syntax error at or near "selec"'}),
    ("select 'x'::int", ztcondb.errors.InvalidTextRepresentation,
     "LINE 1: select 'x'::int\n               ^",
     {"statement_position": "8", "datatype_name": None}),
]


@pytest.fixture(scope="module")
def err_diag(faces):
    """A table both faces' sessions see, with one row."""
    cur = faces[1]
    cur.execute("drop table if exists err_diag")
    cur.execute("create table err_diag (id int primary key, v int not null check (v > 0))")
    cur.execute("insert into err_diag values (1, 1)")
    yield faces
    cur.execute("drop table err_diag")


@pytest.mark.parametrize("sql, cls, lines, fields", REPORTS, ids=[r[1].__name__ for r in REPORTS])
def test_server_report_reaches_diag(err_diag, sql, cls, lines, fields):
    module_cur, cur = err_diag
    with pytest.raises(cls) as info:
        cur.execute(sql)
    e = info.value
    first, _, rest = str(e).partition("\n")
    assert first == "[%s] %s" % (cls.sqlstate, e.diag.message_primary) and rest == lines
    assert (e.diag.severity, e.diag.severity_nonlocalized, e.diag.sqlstate) == \
        ("ERROR", "ERROR", cls.sqlstate)
    for name, value in fields.items():
        assert getattr(e.diag, name) == value, name
    assert e.pgerror == "ERROR:  %s\n%s\n" % (e.diag.message_primary, lines)
    back = pickle.loads(pickle.dumps(e))
    assert type(back) is cls and str(back) == str(e)
    assert back.diag.constraint_name == e.diag.constraint_name
    # The module's face: one line, its four attributes only.
    with pytest.raises(_pyztdb.OperationalError) as raw:
        module_cur.execute(sql)
    assert str(raw.value) == first and raw.value.sqlstate == cls.sqlstate
