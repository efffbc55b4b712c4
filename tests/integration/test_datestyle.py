"""Dates and timestamps read the same whatever DateStyle the session has: every style
the server writes (ISO, SQL, Postgres, German; DMY or MDY) x type x value x read path
gives what ISO gives, value or error; a timestamptz whose zone is only an abbreviation
the driver cannot resolve fails clearly instead of reading a wrong instant."""
import datetime
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
import _pyztdb  # noqa: E402
import ztcondb  # noqa: E402

STYLES = ["SQL, DMY", "SQL, MDY", "Postgres, MDY", "Postgres, DMY", "German, DMY",
          "German, MDY", "ISO, DMY"]

UTC = datetime.timezone.utc
# (type, literal, what ISO reads: a value, or the exception class a value beyond
# Python's range raises)
VALUES = [
    ("date", "2024-02-29", datetime.date(2024, 2, 29)),
    ("date", "2024-05-01", datetime.date(2024, 5, 1)),
    ("date", "0001-12-31", datetime.date(1, 12, 31)),
    ("date", "0005-03-07 BC", ztcondb.DataError),
    ("date", "12345-01-02", ztcondb.DataError),
    ("date", "infinity", ztcondb.DataError),
    ("timestamp", "2024-02-29 23:59:59.999999", datetime.datetime(2024, 2, 29, 23, 59, 59, 999999)),
    ("timestamp", "2024-05-01 12:00:00.5", datetime.datetime(2024, 5, 1, 12, 0, 0, 500000)),
    ("timestamp", "1969-12-31 00:00:00", datetime.datetime(1969, 12, 31)),
    ("timestamp", "0044-03-15 01:02:03 BC", ztcondb.DataError),
    ("timestamp", "-infinity", ztcondb.DataError),
    ("timestamptz", "2024-05-01 12:00:00.5+02", datetime.datetime(2024, 5, 1, 10, 0, 0, 500000, UTC)),
    ("timestamptz", "2000-01-01 00:00:00.000001+00", datetime.datetime(2000, 1, 1, 0, 0, 0, 1, UTC)),
    ("timestamptz", "0044-03-15 01:02:03+00 BC", ztcondb.DataError),
    ("timestamptz", "infinity", ztcondb.DataError),
]


@pytest.fixture
def zconn(pg):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                           user=pg["user"], prepare_threshold=2)
    try:
        yield conn
    finally:
        conn.close()


def read(conn, path, sqltype, literal):
    """The value of `sqltype 'literal'` by one read path, or the class of its error."""
    query = "select %s '%s' as v" % (sqltype, literal)
    cur = conn.cursor("ds_pages") if path == "named-pages" else conn.cursor()
    try:
        if path == "first-run":
            # A text not run before on this connection: never prepared.
            read.runs += 1
            cur.execute("%s, %d as n" % (query, read.runs))
            got = cur.fetchone()[0]
        elif path == "prepared":
            # The third run and later use the prepared statement (prepare_threshold 2).
            for _ in range(4):
                cur.execute(query)
                got = cur.fetchone()[0]
        elif path == "named-pages":
            cur.itersize = 1
            cur.execute("%s from generate_series(1, 3)" % query)
            got = [row[0] for row in cur]
            assert len(set(got)) == 1
            got = got[0]
        elif path == "procedure":
            # The package's outputs (read as rows are) and the module's (written into
            # the output binding).
            got = cur.callproc("zt_ds_out_" + sqltype, [None], [2])[0]
            cur.setinputtype([10 if sqltype == "date" else 13])
            got = (got, _pyztdb.cursor.callproc(cur, "zt_ds_out_" + sqltype, [datetime.datetime(2000, 1, 1)], [2])[0])
        else:  # the columns reader: its raw count, NULL for infinity
            cur.execute(query)
            rows, [(_, kind, values, mask)] = _pyztdb.cursor.fetchcolumns(cur)
            got = (rows, kind, list(memoryview(values).cast("B").cast("q")),
                   None if mask is None else bytes(mask))
        conn.commit()
        return got
    except ztcondb.Error as e:
        conn.rollback()
        return type(e)
    finally:
        cur.close()


read.runs = 0


def set_style(conn, style, zone="UTC"):
    cur = conn.cursor()
    cur.execute("set DateStyle = '%s'; set TimeZone = '%s'" % (style, zone))
    cur.close()
    conn.commit()


PATHS = ["first-run", "prepared", "named-pages", "procedure", "columns"]


@pytest.mark.parametrize("path", PATHS)
def test_every_style_reads_as_iso(zconn, path):
    cur = zconn.cursor()
    for sqltype in ("date", "timestamp", "timestamptz"):
        cur.execute("create or replace procedure zt_ds_out_%s(out v %s) language plpgsql "
                    "as $$ begin v := %s '2024-02-29 13:14:15.25+00'; end $$"
                    % (sqltype, sqltype, sqltype))
    zconn.commit()
    cases = VALUES if path != "procedure" else [
        (t, "", None) for t in ("date", "timestamp", "timestamptz")]
    iso = [read(zconn, path, t, lit) for t, lit, _ in cases]
    if path in ("first-run", "prepared", "named-pages"):
        assert iso == [want for _, _, want in cases]
    if path == "procedure":
        assert [g for g, _ in iso] == [
            datetime.date(2024, 2, 29), datetime.datetime(2024, 2, 29, 13, 14, 15, 250000),
            datetime.datetime(2024, 2, 29, 13, 14, 15, 250000, UTC)]
        assert [m for _, m in iso] == [g for g, _ in iso]
    wrong = []
    for style in STYLES:
        set_style(zconn, style)
        got = [read(zconn, path, t, lit) for t, lit, _ in cases]
        wrong += [(style, case, g, want) for case, g, want in zip(cases, got, iso) if g != want]
    set_style(zconn, "ISO, MDY")
    assert wrong == []


# TimeZone settings whose abbreviation cannot be read exactly: a named zone, a POSIX zone
# that calls an offset of -3 "UTC", a numeric zone that writes no abbreviation at all.
@pytest.mark.parametrize("zone, shown", [("Europe/Berlin", "CEST"), ("UTC+3", "UTC"),
                                         ("+05:30", " ")])
@pytest.mark.parametrize("style", ["SQL, DMY", "Postgres, MDY", "German, DMY"])
@pytest.mark.parametrize("path", ["first-run", "named-pages", "columns"])
def test_unknown_zone_abbreviation_is_refused(zconn, zone, shown, style, path):
    set_style(zconn, style, zone)
    cur = zconn.cursor("ds_pages") if path == "named-pages" else zconn.cursor()
    cur.execute("select timestamptz '2024-05-01 12:00:00.5+00' as v")
    refused = ztcondb.Error if path == "columns" else ztcondb.DataError
    with pytest.raises(refused) as e:
        if path == "columns":
            _pyztdb.cursor.fetchcolumns(cur)
        else:
            cur.fetchall()
    zconn.rollback()
    assert '"%s"' % shown in str(e.value) and "TimeZone" in str(e.value)
    # Dates and naive timestamps carry no zone: they still read.
    cur = zconn.cursor()
    cur.execute("select date '2024-05-01', timestamp '2024-05-01 12:00'")
    assert cur.fetchone() == (datetime.date(2024, 5, 1), datetime.datetime(2024, 5, 1, 12))
    zconn.rollback()
