"""Columns for data work: results as NumPy arrays and pandas DataFrames, and frames
written into tables.

`Cursor.fetch_columns()` gives the rest of a result as a dict of NumPy arrays, decoded
in C straight into memory NumPy adopts without a copy. `read_frame` runs a query into a
DataFrame (in chunks, or in ranges of a numeric column over several connections at
once); `write_frame` sends a DataFrame into a table as binary COPY from its column
buffers. NumPy and pandas are imported only here, when these are used."""
from __future__ import annotations

import concurrent.futures
import itertools
import operator
import typing
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple, Union

import _pyztdb

from .errors import NotSupportedError, ProgrammingError

if TYPE_CHECKING:
    from . import connection as _connection
    from . import cursor as _cursor

__all__ = ["fetch_columns", "read_frame", "write_frame"]

# Rows of a server cursor's page when a whole result is read into columns: large pages
# come in binary form and cost few round trips; two of them are held at a time.
PAGE_ROWS = 16384

# Names of server cursors made here.
_CURSOR_NAMES = itertools.count(1)

# One column as the module hands it over: name, kind (a dtype name, "object" for a
# list), values (a buffer or a list) and the mask (one byte per row, 1 for NULL) or None.
RawColumn = Tuple[str, str, Any, Any]
# Parameters of a query, as execute takes them.
Params = Optional[typing.Sequence[Any]]


def _numpy() -> Any:
    try:
        import numpy
    except ImportError as exc:  # pragma: no cover - depends on the machine
        raise NotSupportedError("NumPy is needed for columns: install python3-numpy") from exc
    return numpy


def _pandas() -> Any:
    try:
        import pandas  # type: ignore[import]
    except ImportError as exc:  # pragma: no cover - depends on the machine
        raise NotSupportedError("pandas is needed for frames: install python3-pandas") from exc
    return pandas


# ---------------------------------------------------------------- reading


def _array(np: Any, rows: int, kind: str, values: Any) -> Any:
    """The NumPy array of one column: a buffer adopted as it is, or a list's objects."""
    if kind == "object":
        arr = np.empty(rows, dtype=object)
        arr[:] = values
        return arr
    dtype = np.dtype(kind.replace(", UTC", ""))
    if rows == 0:
        return np.empty(0, dtype=dtype)
    return np.frombuffer(values, dtype=dtype)


def _mask(np: Any, mask: Any) -> Any:
    return None if mask is None else np.frombuffer(mask, dtype=np.bool_)


def _to_arrays(rows: int, columns: List[RawColumn]) -> Dict[str, Any]:
    """The columns as NumPy arrays, masked where they hold NULLs."""
    np = _numpy()
    out: Dict[str, Any] = {}
    for name, kind, values, mask in columns:
        if name in out:
            raise ProgrammingError("fetch_columns: the result has two columns named %r; "
                                   "name them apart (AS)" % name)
        arr = _array(np, rows, kind, values)
        # Objects carry None for NULL themselves.
        m = None if kind == "object" else _mask(np, mask)
        out[name] = arr if m is None else np.ma.MaskedArray(arr, mask=m)
    return out


def fetch_columns(cur: "_cursor.Cursor", exact_numeric: bool = False) -> Dict[str, Any]:
    """The rest of a plain cursor's result as column name -> NumPy array."""
    _numpy()
    rows, columns = _pyztdb.cursor.fetchcolumns(cur, exact=exact_numeric)
    cur._count = None  # the module's count holds
    if cur._rownumber is not None:
        cur._rownumber += rows
    return _to_arrays(rows, columns)


def _named_columns(cur: "_cursor.NamedCursor", maxrows: int, pagesize: int,
                   exact_numeric: bool) -> Tuple[int, List[RawColumn]]:
    """The next rows (at most maxrows, -1: all) of a named cursor, as raw columns."""
    cur._check()
    if not cur._declared:
        raise ProgrammingError("The result set does not exist")
    if operator.length_hint(cur._it) or cur._failed:
        raise ProgrammingError("fetch_columns: rows of the current page are still unread; "
                               "read them first, or call fetch_columns right after execute")
    rows, columns = _pyztdb.cursor.fetchcolumns(cur, maxrows=maxrows, exact=exact_numeric,
                                                cursor=cur.name, reader=cur._reading,
                                                pagesize=pagesize)
    # A page asked for ahead has been taken, or is kept for the next call of this reader.
    cur._ahead = maxrows >= 0 and rows == maxrows
    cur._server_pos += rows
    if cur._rownumber is not None:
        cur._rownumber += rows
    cur._count = (cur._count or 0) + rows
    return rows, columns


def fetch_named_columns(cur: "_cursor.NamedCursor", exact_numeric: bool = False) -> Dict[str, Any]:
    """The rest of a named cursor's result as column name -> NumPy array."""
    _numpy()
    rows, columns = _named_columns(cur, -1, max(cur.itersize, PAGE_ROWS), exact_numeric)
    return _to_arrays(rows, columns)


def _series_values(pd: Any, np: Any, rows: int, kind: str, values: Any, mask: Any) -> Any:
    """The values a frame holds for one column: native arrays adopted as they are, NULLs
    as NaN / NaT or a pandas nullable array (integers, booleans), dates and timestamps in
    nanoseconds (objects when beyond its range), instants of timestamptz in UTC."""
    arr = _array(np, rows, kind, values)
    m = _mask(np, mask)
    if kind == "object":
        return arr
    if arr.dtype.kind in "iu":
        return arr if m is None else pd.arrays.IntegerArray(arr, m)
    if arr.dtype.kind == "b":
        return arr if m is None else pd.arrays.BooleanArray(arr, m)
    if arr.dtype.kind == "f":
        if arr.dtype.itemsize == 4:
            # As its shortest decimal text reads as a double: the value read_sql gives
            # (1.1, not 1.100000023841858).
            arr = arr.astype(str).astype(np.float64)
        if m is not None:
            arr[m] = np.nan
        return arr
    # datetime64 / timedelta64: counted in nanoseconds in place (pandas 1.5 knows no
    # other unit), NULL as NaT; objects when a value has no nanosecond count.
    scaled = _in_nanoseconds(np, arr, m)
    if scaled is None:
        if m is not None:
            arr.view(np.int64)[m] = np.iinfo(np.int64).min
        return arr.astype(object)
    if ", UTC" in kind:
        return pd.arrays.DatetimeArray(scaled, dtype=pd.DatetimeTZDtype(tz="UTC"))
    return scaled


def _in_nanoseconds(np: Any, arr: Any, mask: Any) -> Any:
    """arr (datetime64 / timedelta64 in days or microseconds) rescaled in its own memory
    to nanoseconds, NaT where mask is set; None when a value does not fit 64 bits of
    nanoseconds (years 1678-2261), arr then unchanged."""
    unit = np.datetime_data(arr.dtype)[0]
    factor = {"D": 86400 * 10 ** 9, "us": 1000, "ns": 1}[unit]
    counts = arr.view(np.int64)
    valid = counts if mask is None else counts[~mask]
    limit = np.iinfo(np.int64).max // factor
    if valid.size and (valid.min() <= -limit or valid.max() >= limit):
        return None
    counts *= factor
    if mask is not None:
        counts[mask] = np.iinfo(np.int64).min
    return counts.view(arr.dtype.str[:3] + "[ns]")


def _frame(pd: Any, rows: int, columns: List[RawColumn], index_col: Any) -> Any:
    """A DataFrame over the columns (the list is emptied on the way). Each column
    keeps a block of its own, so the arrays are adopted, not copied into 2-D blocks of
    one dtype (pandas merges them when an operation needs it)."""
    np = _numpy()
    names = [c[0] for c in columns]
    values = []
    for i, (_, kind, v, m) in enumerate(columns):
        # The module's buffer or list is let go as soon as its column is made.
        columns[i] = (names[i], kind, None, None)
        values.append(_series_values(pd, np, rows, kind, v, m))
        del v, m
    frame = None
    try:
        from pandas.core.internals import BlockManager  # type: ignore[import]
        from pandas.core.internals.api import make_block  # type: ignore[import]
        blocks = []
        for i, v in enumerate(values):
            native = isinstance(v, np.ndarray)
            blocks.append(make_block(v.reshape(1, -1) if native else v, placement=[i]))
        axes = [pd.Index(names), pd.RangeIndex(rows)]
        frame = pd.DataFrame(BlockManager(blocks, axes, verify_integrity=False))
    except Exception:  # another pandas: its public constructor (which may copy)
        frame = pd.DataFrame(dict(enumerate(values)), copy=False)
        frame.columns = names
    if index_col is not None:
        frame = frame.set_index(index_col)
    return frame


def _autocommit(conn: "_connection.Connection") -> bool:
    return bool(getattr(conn, "autocommit", False))


def _chunks(conn: "_connection.Connection", query: str, params: Params, index_col: Any,
            chunksize: int, exact_numeric: bool) -> typing.Iterator[Any]:
    """Frames of at most chunksize rows, read page by page from a server cursor."""
    pd = _pandas()
    cur = conn.cursor("ztcondb_frame_%d" % next(_CURSOR_NAMES), withhold=_autocommit(conn))
    try:
        cur.execute(query, params)
        first = True
        while True:
            rows, columns = _named_columns(cur, chunksize, chunksize, exact_numeric)
            if rows == 0 and not first:
                return
            first = False
            yield _frame(pd, rows, columns, index_col)
            if rows < chunksize:
                return
    finally:
        cur.close()


def _read_whole(conn: "_connection.Connection", query: str, params: Params,
                exact_numeric: bool) -> Tuple[int, List[RawColumn]]:
    """Every row of the query as raw columns, from a server cursor in pages (binary
    form, the next page made while this one is decoded, a page at a time in memory). In
    autocommit mode the reading gets a transaction of its own, committed at its end as
    autocommit would, rolled back when it fails."""
    if not _autocommit(conn):
        return _read_named(conn, query, params, exact_numeric)
    conn.autocommit = False
    try:
        found = _read_named(conn, query, params, exact_numeric)
    except BaseException:
        try:
            conn.rollback()
        finally:
            conn.autocommit = True
        raise
    conn.autocommit = True  # commits the reading's transaction
    return found


def _read_named(conn: "_connection.Connection", query: str, params: Params,
                exact_numeric: bool) -> Tuple[int, List[RawColumn]]:
    named = conn.cursor("ztcondb_frame_%d" % next(_CURSOR_NAMES))
    try:
        named.execute(query, params)
        return _named_columns(named, -1, PAGE_ROWS, exact_numeric)
    finally:
        named.close()


def _bounds(conn: "_connection.Connection", query: str, params: Params, column: str,
            partitions: int) -> List[Tuple[Any, Any, bool]]:
    """Ranges [lo, hi) of the column (the last one closed) splitting its span evenly."""
    cur = conn.cursor()
    try:
        cur.execute("SELECT min(%s), max(%s) FROM (%s) AS ztcondb_q"
                    % (column, column, query), params)
        row = cur.fetchone()
    finally:
        cur.close()
    lo, hi = row if row is not None else (None, None)
    if lo is None:
        return []
    try:
        step = (hi - lo) / partitions
    except TypeError:
        raise ProgrammingError("read_frame: partition_on must name a numeric, date or "
                               "timestamp column") from None
    cuts = [lo + step * i for i in range(partitions)] + [hi]
    return [(cuts[i], cuts[i + 1], i == partitions - 1) for i in range(partitions)]


def _reconnect(conn: "_connection.Connection") -> "_connection.Connection":
    """A new session with the arguments `conn` was opened with, autocommit off."""
    args = getattr(conn, "_connect_args", None)
    if args is None:
        raise NotSupportedError("read_frame: partitions need a connection made by "
                                "ztcondb.connect")
    from .connection import Connection
    values, extra = args
    part = Connection(*values, **extra)
    # Behind a pooler in transaction mode the partitions must not prepare either.
    if part.prepare_threshold != conn.prepare_threshold:
        part.prepare_threshold = conn.prepare_threshold
    part.autocommit = False
    return part


def _read_partition(conn: "_connection.Connection", query: str, params: Params,
                    column: str, bound: Tuple[Any, Any, bool],
                    exact_numeric: bool) -> Tuple[int, List[RawColumn]]:
    """One range of the column read on a connection of its own, closed whatever happens."""
    lo, hi, last = bound
    part = _reconnect(conn)
    try:
        text = ("SELECT * FROM (%s) AS ztcondb_q WHERE %s >= ? AND %s %s ?"
                % (query, column, column, "<=" if last else "<"))
        return _read_whole(part, text, list(params or ()) + [lo, hi], exact_numeric)
    finally:
        part.close()


def _join(parts: List[Tuple[int, List[RawColumn]]]) -> Tuple[int, List[RawColumn]]:
    """The partitions' raw columns joined in order, column by column: each part's buffer
    is let go once its column is joined, so the rows are held about once, not twice."""
    np = _numpy()
    rows = sum(n for n, _ in parts)
    joined: List[RawColumn] = []
    for i, (name, kind, _, _) in enumerate(parts[0][1]):
        pieces = [(n, columns[i]) for n, columns in parts]
        for _, columns in parts:
            columns[i] = (name, kind, None, None)
        if kind == "object":
            values: Any = [v for _, (_, _, objects, _) in pieces for v in objects]
        else:
            values = np.concatenate([np.empty(0, np.uint8)] + [
                np.frombuffer(buf, dtype=np.uint8) for n, (_, _, buf, _) in pieces if n])
        mask = None
        if any(m is not None for _, (_, _, _, m) in pieces):
            mask = np.concatenate([np.empty(0, np.uint8)] + [
                np.zeros(n, np.uint8) if m is None else np.frombuffer(m, dtype=np.uint8)
                for n, (_, _, _, m) in pieces if n])
        joined.append((name, kind, values, mask))
        del pieces
    return rows, joined


def _partitioned(conn: "_connection.Connection", query: str, params: Params,
                 index_col: Any, column: str, partitions: int, exact_numeric: bool) -> Any:
    pd = _pandas()
    bounds = _bounds(conn, query, params, column, partitions)
    if not bounds:
        return _frame(pd, *_read_whole(conn, query, params, exact_numeric), index_col)
    # Every partition has run (and closed its connection) before an error is raised.
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(bounds)) as pool:
        futures = [pool.submit(_read_partition, conn, query, params, column, b, exact_numeric)
                   for b in bounds]
        concurrent.futures.wait(futures)
    parts = [f.result() for f in futures]
    del futures
    return _frame(pd, *_join(parts), index_col)


def read_frame(conn: "_connection.Connection", query: str, params: Params = None, *,
               index_col: Union[str, typing.Sequence[str], None] = None,
               chunksize: Optional[int] = None, partition_on: Optional[str] = None,
               partitions: Optional[int] = None, exact_numeric: bool = False) -> Any:
    """Runs `query` (with `?` markers and `params`) into a pandas DataFrame.

    Columns hold the values pandas.read_sql gives, decoded in C into native arrays:
    integers, floats, booleans, timestamps (datetime64[ns], UTC-aware for timestamptz),
    dates (datetime64[ns]), intervals (timedelta64[ns]); numeric as float64 (Decimal
    objects with exact_numeric=True); text, bytes and others as objects. NULLs are NaN or
    NaT, or a pandas nullable array (Int64, boolean) for integer and boolean columns.

    chunksize: a generator of frames of at most that many rows, read page by page from
    a server cursor (for results larger than memory). partition_on / partitions: the
    span of that numeric column is cut into `partitions` ranges, each read on a
    connection of its own at the same time (the decoding runs without the interpreter
    lock); the frames are joined in range order."""
    _pandas()
    # The query goes inside DECLARE and subqueries: a final ";" would end them early.
    query = query.rstrip().rstrip(";")
    if chunksize is not None:
        if partition_on is not None:
            raise ProgrammingError("read_frame: chunksize and partition_on do not combine")
        if not isinstance(chunksize, int) or chunksize < 1:
            raise ProgrammingError("read_frame: chunksize must be a positive int")
        return _chunks(conn, query, params, index_col, chunksize, exact_numeric)
    if (partition_on is None) != (partitions is None):
        raise ProgrammingError("read_frame: partition_on and partitions go together")
    if partition_on is not None:
        if not isinstance(partitions, int) or partitions < 1:
            raise ProgrammingError("read_frame: partitions must be a positive int")
        column = _quote_identifier(partition_on)
        return _partitioned(conn, query, params, index_col, column, partitions,
                            exact_numeric)
    return _frame(_pandas(), *_read_whole(conn, query, params, exact_numeric), index_col)


# ---------------------------------------------------------------- writing


def _quote_identifier(name: str) -> str:
    if not isinstance(name, str) or not name or "\0" in name:
        raise ProgrammingError("a column or table name must be a non-empty str")
    return '"%s"' % name.replace('"', '""')


def _quote_table(table: str) -> str:
    """A table name, possibly schema-qualified ("schema.table"), quoted part by part."""
    if not isinstance(table, str) or not table:
        raise ProgrammingError("write_frame: the table name must be a non-empty str")
    return ".".join(_quote_identifier(part) for part in table.split("."))


# The SQL type of a created column for each kind copy_columns writes.
_SQL_TYPES = {"bool": "boolean", "int16": "smallint", "int32": "integer", "int64": "bigint",
              "float32": "real", "float64": "double precision", "date": "date",
              "timestamp": "timestamp", "timestamptz": "timestamp with time zone",
              "interval": "interval", "text": "text", "bytes": "bytea"}


def _column_for_copy(pd: Any, np: Any, series: Any) -> Tuple[str, str, Any, Any]:
    """(SQL type, kind, values, mask) of one column of a frame, read from its buffers
    where it has native ones."""
    dtype = series.dtype
    if isinstance(dtype, pd.DatetimeTZDtype):
        values = series.dt.tz_convert("UTC").dt.tz_localize(None)
        return ("timestamptz", "timestamp",
                np.ascontiguousarray(values.to_numpy().astype("M8[us]")).view(np.int64), None)
    if isinstance(dtype, pd.api.extensions.ExtensionDtype) and \
            getattr(dtype, "_is_numeric", False) or isinstance(dtype, pd.BooleanDtype):
        mask = np.ascontiguousarray(series.isna().to_numpy(), dtype=np.uint8)
        numpy_type = getattr(dtype, "numpy_dtype", np.dtype(object))
        if numpy_type.kind in "iubf":
            fill = {"b": False, "f": np.nan}.get(numpy_type.kind, 0)
            arr = series.to_numpy(dtype=numpy_type, na_value=fill)
            return _native(np, arr, mask)
    if isinstance(dtype, np.dtype) and dtype.kind in "biuf":
        return _native(np, series.to_numpy(), None)
    if isinstance(dtype, np.dtype) and dtype.kind == "M":
        arr = series.to_numpy().astype("M8[us]")
        return "timestamp", "timestamp", np.ascontiguousarray(arr).view(np.int64), None
    if isinstance(dtype, np.dtype) and dtype.kind == "m":
        arr = series.to_numpy().astype("m8[us]")
        return "interval", "interval", np.ascontiguousarray(arr).view(np.int64), None
    objects = series.astype(object).where(series.notna(), None).tolist()
    first = next((v for v in objects if v is not None), None)
    sql = "bytes" if isinstance(first, (bytes, bytearray, memoryview)) else "text"
    return sql, "text", objects, None


def _native(np: Any, arr: Any, mask: Any) -> Tuple[str, str, Any, Any]:
    """A numeric or boolean NumPy column as copy_columns reads it."""
    kind = arr.dtype.kind
    if kind == "b":
        return "bool", "bool", np.ascontiguousarray(arr, dtype=np.uint8), mask
    if kind == "f":
        target = "float32" if arr.dtype.itemsize == 4 else "float64"
        return target, target, np.ascontiguousarray(arr, dtype=target), mask
    if kind == "u" and arr.dtype.itemsize == 8:
        if arr.size and arr.max() > np.iinfo(np.int64).max:
            raise ProgrammingError("write_frame: an unsigned 64-bit value beyond bigint")
    width = {1: "int16", 2: "int16", 4: "int32", 8: "int64"}[arr.dtype.itemsize]
    if kind == "u" and arr.dtype.itemsize in (2, 4):
        width = {2: "int32", 4: "int64"}[arr.dtype.itemsize]
    return width, width, np.ascontiguousarray(arr, dtype=width), mask


def _target_types(cur: Any, table: str) -> Optional[Dict[str, str]]:
    """Column name -> type name of an existing table, or None when there is none."""
    cur.execute("SELECT a.attname, format_type(a.atttypid, a.atttypmod) FROM pg_attribute a "
                "WHERE a.attrelid = to_regclass(?) AND a.attnum > 0 AND NOT a.attisdropped",
                [table])
    rows = cur.fetchall()
    if not rows:
        cur.execute("SELECT to_regclass(?) IS NOT NULL", [table])
        return {} if cur.fetchone()[0] else None
    return {name: type_name for name, type_name in rows}


# Binary COPY needs each value in its column's own binary form: what a frame's kind
# becomes for existing columns of these types.
_CASTS = {"smallint": "int16", "integer": "int32", "bigint": "int64", "real": "float32",
          "double precision": "float64"}


def _fit_to_column(np: Any, column: Tuple[str, str, Any, Any], sql_type: str,
                   name: str) -> Tuple[str, str, Any, Any]:
    """Casts an integer or float column to the width of the existing column it fills,
    refusing a value that would not fit."""
    created, kind, values, mask = column
    target = _CASTS.get(sql_type)
    if target is None or target == kind or kind not in _CASTS.values():
        if sql_type == "date" and kind == "timestamp":
            days = values.view("M8[us]").astype("M8[D]").view(np.int64)
            days[values == np.iinfo(np.int64).min] = np.iinfo(np.int64).min
            return created, "date", days, mask
        return column
    if target.startswith("int"):
        if kind.startswith("float"):
            raise ProgrammingError("write_frame: column %r holds floats, the table's column "
                                   "is %s" % (name, sql_type))
        info = np.iinfo(target)
        valid = values if mask is None else values[mask == 0]
        if valid.size and (valid.min() < info.min or valid.max() > info.max):
            raise ProgrammingError("write_frame: a value of column %r does not fit the "
                                   "table's %s column" % (name, sql_type))
    return created, target, np.ascontiguousarray(values, dtype=target), mask


def write_frame(conn: "_connection.Connection", frame: Any, table: str, *, if_exists: str = "fail",
                index: bool = False) -> int:
    """Writes a DataFrame into `table` through binary COPY, straight from its column
    buffers; returns the number of rows written.

    if_exists: "fail" (ProgrammingError when the table exists), "replace" (dropped and
    created again) or "append". A table that does not exist is created from the dtypes
    (bigint, double precision, boolean, timestamp[tz], interval, text or bytea, ...).
    NaN, NaT and None go as NULL. With index=True the index is written as columns
    first. The statements run in the connection's transaction: commit to keep them."""
    pd = _pandas()
    np = _numpy()
    if if_exists not in ("fail", "replace", "append"):
        raise ProgrammingError("write_frame: if_exists must be 'fail', 'replace' or 'append'")
    if not isinstance(frame, pd.DataFrame):
        raise ProgrammingError("write_frame: frame must be a pandas DataFrame")
    if index:
        frame = frame.reset_index()
    names = [str(c) for c in frame.columns]
    if len(set(names)) != len(names):
        raise ProgrammingError("write_frame: the frame has duplicate column names")
    if not names:
        raise ProgrammingError("write_frame: the frame has no columns")
    quoted = _quote_table(table)
    columns = [_column_for_copy(pd, np, frame.iloc[:, i]) for i in range(len(names))]
    cur = conn.cursor()
    try:
        existing = _target_types(cur, table)
        if existing is not None and if_exists == "fail":
            raise ProgrammingError("write_frame: table %s exists (if_exists='fail')" % table)
        if existing is not None and if_exists == "replace":
            cur.execute("DROP TABLE %s" % quoted)
            existing = None
        if existing is None:
            cur.execute("CREATE TABLE %s (%s)" % (quoted, ", ".join(
                "%s %s" % (_quote_identifier(n), _SQL_TYPES[c[0]])
                for n, c in zip(names, columns))))
        else:
            missing = [n for n in names if n not in existing]
            if missing:
                raise ProgrammingError("write_frame: table %s has no column %s"
                                       % (table, ", ".join(map(repr, missing))))
            columns = [_fit_to_column(np, c, existing[n], n) for n, c in zip(names, columns)]
        cur.copy_start("COPY %s (%s) FROM STDIN (FORMAT binary)"
                       % (quoted, ", ".join(map(_quote_identifier, names))))
        try:
            _pyztdb.cursor.copy_columns(cur, [(k, v, m) for _, k, v, m in columns], len(frame))
        except BaseException:
            try:
                cur.copy_end("write_frame failed")
            except Exception:
                pass
            raise
        return cur.copy_end()
    finally:
        cur.close()
