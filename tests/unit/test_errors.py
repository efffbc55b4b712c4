"""Errors classed where they are raised, against the double: the module's face keeps
OperationalError with its four attributes; ztcondb's face raises the class of the
SQLSTATE with every field the library gives, and the driver's own checks as ztcondb's
PEP 249 class. The generated classes match the installed errcodes.txt."""
import os
import pickle
import subprocess
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.append(REPO)

import _pyztdb  # noqa: E402
import ztcondb  # noqa: E402
from ztcondb import errors  # noqa: E402

# A scripted message carries fields behind it as "\x1f" + letter + value.
FIELDS = "\x1fDKey (id)=(1) exists.\x1fHtry another\x1ftitems\x1fnitems_pkey\x1fSERROR" \
         "\x1fVERROR\x1fMduplicate key\x1frDETAIL:  Key (id)=(1) exists."

# (message the library reports, ztcondb's class, PEP 249 base): by the code's own
# class, then by its two-character class, its first character, or none at all.
CODES = [
    ("[23505] duplicate key", errors.UniqueViolation, ztcondb.IntegrityError),
    ("[22012] division by zero", errors.DivisionByZero, ztcondb.DataError),
    ("[42P01] no such table", errors.UndefinedTable, ztcondb.ProgrammingError),
    ("[40P01] deadlock", errors.DeadlockDetected, ztcondb.OperationalError),
    ("[0A000] not supported", errors.FeatureNotSupported, ztcondb.NotSupportedError),
    ("[XX001] data corrupted", errors.DataCorrupted, ztcondb.InternalError),
    ("[P0001] raised", errors.RaiseException, ztcondb.ProgrammingError),
    ("[2F005] no return", errors.FunctionExecutedNoReturnStatement, ztcondb.OperationalError),
    ("[07001] parameter 2 is not bound", ztcondb.ProgrammingError, ztcondb.ProgrammingError),
    ("[HY000] no session", ztcondb.OperationalError, ztcondb.OperationalError),
    ("[22ZZZ] a data code without a class", ztcondb.DataError, ztcondb.DataError),
    ("[XZ000] an internal code without a class", ztcondb.InternalError, ztcondb.InternalError),
    ("[ZZ999] unknown", ztcondb.DatabaseError, ztcondb.DatabaseError),
    ("row 3: [23503] foreign key", errors.ForeignKeyViolation, ztcondb.IntegrityError),
]


@pytest.fixture
def faces(zd):
    module = _pyztdb._connect(5432, "h", "d", "u", "p", "UTF8", "0")
    ours = ztcondb.connect(host="h", database="d", user="u", password="p")
    yield module.cursor(), ours.cursor(), module, ours
    module.close()
    ours.close()


@pytest.mark.parametrize("message, cls, base", CODES, ids=[c[0][:12] for c in CODES])
def test_sqlstate_to_class_on_both_faces(zd, faces, message, cls, base):
    module_cur, cur = faces[:2]
    code = message[message.index("[") + 1:][:5]
    zd.fail("ZTC_ExecwithDataReader", -1, message)
    with pytest.raises(_pyztdb.OperationalError) as raw:
        module_cur.execute("select 1")
    assert raw.value.args == (message,) and raw.value.sqlstate == code
    assert not hasattr(raw.value, "_info")
    zd.fail("ZTC_ExecwithDataReader", -1, message)
    with pytest.raises(ztcondb.Error) as ours:
        cur.execute("select 1")
    assert type(ours.value) is cls and isinstance(ours.value, base)
    assert ours.value.args == (message,) and ours.value.sqlstate == code
    assert ours.value.__cause__ is None and ours.value.__context__ is None


def test_fields_go_to_diag_and_survive_pickling(zd, faces):
    module_cur, cur = faces[:2]
    zd.fail("ZTC_ExecwithDataReader", -1, "[23505] duplicate key" + FIELDS)
    with pytest.raises(_pyztdb.OperationalError) as raw:
        module_cur.execute("select 1")
    assert raw.value.args == ("[23505] duplicate key",)
    assert (raw.value.detail, raw.value.hint) == ("Key (id)=(1) exists.", "try another")
    zd.fail("ZTC_ExecwithDataReader", -1, "[23505] duplicate key" + FIELDS)
    with pytest.raises(errors.UniqueViolation) as info:
        cur.execute("select 1")
    for e in (info.value, pickle.loads(pickle.dumps(info.value))):
        assert type(e) is errors.UniqueViolation
        assert str(e) == "[23505] duplicate key\nDETAIL:  Key (id)=(1) exists."
        d = e.diag
        assert (d.sqlstate, d.message_primary, d.message_detail, d.message_hint) == \
            ("23505", "duplicate key", "Key (id)=(1) exists.", "try another")
        assert (d.table_name, d.constraint_name, d.severity, d.severity_nonlocalized) == \
            ("items", "items_pkey", "ERROR", "ERROR")
        assert (d.column_name, d.schema_name, d.statement_position, d.context) == \
            (None, None, None, None)
        assert (e.pgcode, e.detail, e.hint) == ("23505", "Key (id)=(1) exists.", "try another")
        assert e.pgerror == "ERROR:  duplicate key\nDETAIL:  Key (id)=(1) exists.\n"


# The driver's own checks (no SQLSTATE): ztcondb's class of the same name, raised from
# C methods (held and not held) and from an error a named cursor hands back later.
def _no_result(conn, cur):
    _pyztdb.cursor.fetchone(cur)


def _closed_connection(conn, cur):
    conn.close()
    _pyztdb.connection.cursor(conn)


def _bad_arguments(conn, cur):
    _pyztdb.cursor.fetchmany(cur, "many")


MISUSE = [
    (_no_result, ztcondb.ProgrammingError, _pyztdb.ProgrammingError),
    (_closed_connection, ztcondb.OperationalError, _pyztdb.OperationalError),
    (_bad_arguments, ztcondb.ProgrammingError, _pyztdb.ProgrammingError),
]


@pytest.mark.parametrize("misuse, cls, module_cls", MISUSE, ids=[m[0].__name__ for m in MISUSE])
def test_driver_checks_leave_as_ztcondb_classes(zd, faces, misuse, cls, module_cls):
    with pytest.raises(Exception) as info:
        misuse(faces[3], faces[1])
    assert type(info.value) is cls and info.value.sqlstate is None
    assert info.value.diag.sqlstate is None and info.value.pgerror is None
    with pytest.raises(module_cls):
        misuse(faces[2], faces[0])


def test_connect_failure_is_raised_as_ztcondb_class(zd):
    zd.fail("ZTC_OpenConn", -1, "[08001] could not connect")
    with pytest.raises(ztcondb.OperationalError) as info:
        ztcondb.connect(host="h", database="d", user="u", password="p")
    assert isinstance(info.value, ztcondb.Error) and not isinstance(info.value, _pyztdb.Error)


LOOKUPS = [("23505", errors.UniqueViolation), ("unique_violation", errors.UniqueViolation),
           ("40p01", errors.DeadlockDetected), ("XX000", errors.InternalError_),
           ("38002", errors.ModifyingSqlDataNotPermittedExt),
           ("2F002", errors.ModifyingSqlDataNotPermitted), ("02000", errors.NoData)]


@pytest.mark.parametrize("key, cls", LOOKUPS)
def test_lookup(key, cls):
    assert errors.lookup(key) is cls and cls.sqlstate == errors.lookup(key).sqlstate


@pytest.mark.parametrize("key", ["00000", "01000", "ZZ999", "", "unknown_name"])
def test_lookup_refuses_codes_without_a_class(key):
    with pytest.raises(KeyError):
        errors.lookup(key)


def test_generated_classes_match_the_installed_errcodes():
    script = os.path.join(REPO, "tools", "gen_errcodes.py")
    done = subprocess.run([sys.executable, script, "--check"], capture_output=True, text=True)
    if done.returncode == 2 and "no errcodes.txt" in done.stderr:
        pytest.skip("the PostgreSQL server package is not installed")
    assert done.returncode == 0, done.stderr
