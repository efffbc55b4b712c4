"""The cursors of a ztcondb connection: `Cursor`, whose results arrive whole, and
`NamedCursor`, a server-side cursor read in pages."""
from __future__ import annotations

import itertools
import operator
import re
import typing
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Tuple, Type

import _pyztdb

from . import adapt as _adapt
from . import copy as _copy
from .copy import copy_expert as _copy_expert
from .errors import Error as _DriverError
from .errors import InterfaceError, NotSupportedError, ProgrammingError, from_module_function
from .sql import Composable

# The errors the handlers below catch: the extension raises ztcondb's own classes for
# a ztcondb connection (its error table), from super() calls too.
_ERRORS: Tuple[Type[Exception], ...] = (_DriverError,)



def _string_literal(text: str) -> str:
    """text as an SQL string literal that reads the same whatever
    standard_conforming_strings says."""
    return "E'%s'" % text.replace("\\", "\\\\").replace("'", "''")


if TYPE_CHECKING:
    from . import connection as _connection

__all__ = ["Cursor", "NamedCursor", "ClientCursor", "Column", "Row"]

Row = Tuple[Any, ...]

# The module's own attribute descriptors, read past the properties that replace them.
_MODULE_ROWCOUNT: Any = _pyztdb.cursor.__dict__["rowcount"]
_MODULE_DESCRIPTION: Any = _pyztdb.cursor.__dict__["description"]

# The module's methods called on the per-call paths straight, past super(): a round
# trip's Python work is a few attribute stores and these calls.
_MODULE_EXECUTE = _pyztdb.cursor.execute
_MODULE_FETCHONE = _pyztdb.cursor.fetchone
# %s / %(name)s placeholders into ? markers, analysed once per statement text (in C).
_CONVERT = _pyztdb.cursor._convert_placeholders
_MAKE_ROWS = _pyztdb.cursor._make_rows

# The statement class the module reports for statements without rows (DDL, SET, CALL):
# their row count is unknown.
_NO_ROWS = 3

# The row count a named cursor asks for to read all that is left (FETCH FORWARD takes
# a 32-bit count here).
_ALL_ROWS = 2 ** 31 - 1

# A routine name callproc may put into a statement text: identifiers, plain or
# double-quoted, possibly qualified. Anything else goes to the module, which refuses it.
_ROUTINE_NAME = re.compile(r'(?:[A-Za-z_][A-Za-z0-9_$]*|"(?:[^"]|"")+")'
                           r'(?:\.(?:[A-Za-z_][A-Za-z0-9_$]*|"(?:[^"]|"")+"))*\Z')


def _call_arguments(name: str, parameters: Optional[typing.Sequence[Any]],
                    directions: Optional[typing.Sequence[int]]) -> List[Any]:
    """The positional arguments of the module's callproc / callfunc. Directions can
    only follow parameters there, so directions without parameters go after an empty
    parameter list (instead of standing in for the parameters)."""
    if parameters is None and directions is None:
        return [name]
    args: List[Any] = [name, () if parameters is None else parameters]
    if directions is not None:
        args.append(directions)
    return args


def _check_sequence(method: str, name: str, value: Any) -> None:
    """TypeError unless `value` (an argument of callproc / callfunc) is None or a
    sequence that can be measured and indexed, as the module walks it."""
    if value is None or isinstance(value, typing.Sequence):
        return
    if hasattr(value, "__len__") and hasattr(value, "__getitem__"):
        return
    raise TypeError("%s: %s must be a sequence (a list or tuple), not %s"
                    % (method, name, type(value).__name__))


def _convert(operation: Any, parameters: Any) -> Tuple[Any, Any]:
    """(statement, parameters) with ? markers for the module: %s and %(name)s
    placeholders converted (a mapping's values in placeholder order), a statement with ?
    markers as it is. ztcondb's ProgrammingError when the two do not fit together."""
    try:
        converted: Tuple[Any, Any] = _CONVERT(operation, parameters)
    except (_pyztdb.Error, _pyztdb.Warning) as exc:
        raise from_module_function(exc) from None
    return converted


def _convert_many(operation: Any, rows: List[Any]) -> Tuple[Any, List[Any]]:
    """_convert for the rows of executemany: one statement, rows of named placeholders
    made tuples."""
    try:
        converted: Tuple[Any, List[Any]] = _pyztdb.cursor._convert_placeholders_many(operation, rows)
    except (_pyztdb.Error, _pyztdb.Warning) as exc:
        raise from_module_function(exc) from None
    return converted


class Column(tuple):  # type: ignore[type-arg]
    """One column of `Cursor.description`: the 7-item sequence PEP 249 describes, whose
    items are also attributes (`name`, `type_code`, ...)."""

    __slots__ = ()

    @property
    def name(self) -> str:
        """The column's name."""
        return typing.cast(str, self[0])

    @property
    def type_code(self) -> Any:
        """The column's type (compares equal to ztcondb.STRING, NUMBER, DATETIME, ...)."""
        return self[1]

    @property
    def display_size(self) -> Optional[int]:
        return typing.cast(Optional[int], self[2])

    @property
    def internal_size(self) -> Optional[int]:
        return typing.cast(Optional[int], self[3])

    @property
    def precision(self) -> Optional[int]:
        return typing.cast(Optional[int], self[4])

    @property
    def scale(self) -> Optional[int]:
        return typing.cast(Optional[int], self[5])

    @property
    def null_ok(self) -> Optional[bool]:
        return typing.cast(Optional[bool], self[6])

    def __repr__(self) -> str:
        return "<Column %r, type: %s>" % (self[0], self[1])


_RowFactory = Callable[[Any], Callable[[Any], Any]]


def _sqlstate(exc: BaseException) -> str:
    """The SQLSTATE of a library error: its text starts with "[XXXXX]"."""
    code = getattr(exc, "sqlstate", None)
    if isinstance(code, str):
        return code
    text = str(exc)
    return text[1:6] if text.startswith("[") and text[6:7] == "]" else ""


def _rows_to_columns(seq_of_parameters: typing.Iterable[Any]) -> Tuple[List[Tuple[Any, ...]], int]:
    """The columns of a sequence of parameter rows and the number of rows. Every row
    must be a list or tuple (or another non-text sequence) of the same length. The
    checks run over the whole batch at C speed first; a row by row search only names
    the offending row."""
    rows = seq_of_parameters if type(seq_of_parameters) is list else list(seq_of_parameters)
    if not rows:
        return [], 0
    if not set(map(type, rows)) <= {tuple, list}:
        for index, row in enumerate(rows):
            if isinstance(row, (str, bytes, bytearray)) or not isinstance(row, typing.Sequence):
                raise ProgrammingError("executemany: row %d is not a sequence of parameters "
                                       "(got %s)" % (index + 1, type(row).__name__))
    if len(set(map(len, rows))) > 1:
        width = len(rows[0])
        index = next(i for i, row in enumerate(rows) if len(row) != width)
        raise ProgrammingError("executemany: row %d has %d parameters, row 1 has %d"
                               % (index + 1, len(rows[index]), width))
    return list(zip(*rows)), len(rows)


class Cursor(_pyztdb.cursor):
    """A cursor of a `Connection`: the module's cursor with iteration, `with`, the
    `connection` attribute, `rownumber`, `setoutputsize`, `copy_expert` and the PEP 249
    habits: `close()` closes, `rowcount` is -1 when unknown, `executemany` runs one
    atomic batch."""

    def __init__(self, conn: "_connection.Connection", name: Any = None, *,
                 row_factory: Optional[_RowFactory] = None) -> None:
        super().__init__(conn, None)
        self._connection = conn
        # The connection's adapters until this cursor's own are asked for (`adapters`).
        self._adapters = conn._adapters
        self._rownumber: Optional[int] = None
        self._closed = False
        # The row count when the module's is not the one to report; -1: unknown.
        self._count: Optional[int] = -1
        if row_factory is not None:
            self.row_factory = row_factory

    # What rows become: None for tuples (the module's own rows, handed out as they are),
    # else a row factory (ztcondb.rows) and the maker it gave for the current result.
    _row_factory: Optional[_RowFactory] = None
    _maker: Optional[Callable[[Any], Any]] = None
    # The statement last handed to the module, for `query`.
    _sent: Optional[str] = None
    # description as Column objects, and the module's list they were made from.
    _columns: Optional[List[Column]] = None
    _columns_of: Any = None

    @property
    def row_factory(self) -> _RowFactory:
        """What each row becomes: ztcondb.rows.tuple_row (the default), dict_row,
        namedtuple_row, class_row(cls), args_row(func), kwargs_row(func), or any callable
        taking the cursor and returning a callable that makes one row of a tuple."""
        from .rows import tuple_row
        return self._row_factory if self._row_factory is not None else tuple_row

    @row_factory.setter
    def row_factory(self, factory: Optional[_RowFactory]) -> None:
        from .rows import tuple_row
        if factory is not None and not callable(factory):
            raise TypeError("row_factory must be callable, not %s" % type(factory).__name__)
        self._row_factory = None if factory is None or factory is tuple_row else factory
        self._maker = None

    def _rows(self, rows: List[Any]) -> List[Any]:
        """The fetched tuples made into the rows the row factory asks for (in place)."""
        maker = self._maker
        if maker is None:
            assert self._row_factory is not None
            maker = self._maker = self._row_factory(self)
        made: List[Any] = _MAKE_ROWS(maker, rows)
        return made

    def _row(self, row: Any) -> Any:
        maker = self._maker
        if maker is None:
            assert self._row_factory is not None
            maker = self._maker = self._row_factory(self)
        return maker(row)

    @property
    def query(self) -> Optional[bytes]:
        """The text of the last statement as the server received it (UTF-8), its
        parameters as $1, $2, ...; None before the first."""
        if self._sent is None:
            return None
        text: str = _pyztdb.cursor._numbered_markers(self._sent)
        return text.encode("utf-8", "surrogatepass")

    @property
    def statusmessage(self) -> Optional[str]:
        """The server's command tag of the current result ("INSERT 0 1", "SELECT 3",
        "CREATE TABLE"); None without one."""
        if self._pipeline_pending:
            self._sync_pipeline()
        tag: Optional[str] = _pyztdb.cursor._command_tag(self)
        return tag

    # Statements of this cursor sent in a pipeline whose results were not read yet.
    _pipeline_pending = 0

    def _sync_pipeline(self) -> None:
        """Reads the results of the pipeline batch this cursor has statements in."""
        pipeline = self._connection._pipeline
        if pipeline is not None:
            pipeline.sync()
        self._pipeline_pending = 0

    def _check(self) -> None:
        if self._closed:
            raise InterfaceError("cursor already closed")
        if self._pipeline_pending:
            self._sync_pipeline()

    def _start(self) -> None:
        """What every execution does first: no row number, no count yet."""
        self._check()
        self._rownumber = None
        self._count = -1

    def _settle(self) -> None:
        """After an execution: rows are numbered from 0; the module's count holds
        unless the statement has none."""
        self._rownumber = 0
        self._count = -1 if self.sql_type == _NO_ROWS else None

    @property
    def connection(self) -> "_connection.Connection":
        """The connection this cursor was made from."""
        return self._connection

    @property
    def adapters(self) -> _adapt.AdaptersMap:
        """This cursor's loaders and dumpers: a copy of its connection's, made when first
        asked for, so that changes stay with this cursor."""
        if self._adapters is self._connection._adapters:
            self._adapters = _adapt.AdaptersMap(self._adapters, context=self)
        return self._adapters

    @property
    def closed(self) -> bool:
        """True once `close()` has run."""
        return self._closed

    @property
    def rownumber(self) -> Optional[int]:
        """0-based index of the next row of the current result; None without one."""
        return self._rownumber

    @property  # type: ignore[override]
    def rowcount(self) -> int:
        """Rows of the last result or affected by the last statement (the total of
        every row after `executemany`); -1 before an execution and for statements
        without a count, such as DDL."""
        if self._pipeline_pending:
            self._sync_pipeline()
        if self._count is not None:
            return self._count
        count: int = _MODULE_ROWCOUNT.__get__(self)
        return count

    @property  # type: ignore[override]
    def description(self) -> Optional[List[Column]]:
        """One Column per result column (a 7-item sequence with the attributes name,
        type_code, display_size, internal_size, precision, scale, null_ok); None before a
        result with columns."""
        if self._pipeline_pending:
            self._sync_pipeline()
        try:
            value: Optional[List[Tuple[Any, ...]]] = _MODULE_DESCRIPTION.__get__(self)
        except AttributeError:
            return None
        if value is None:
            return None
        if value is not self._columns_of:
            self._columns = [Column(item) for item in value]
            self._columns_of = value
        return self._columns

    def close(self) -> None:
        """Releases the result; every later call but `close()` raises InterfaceError.
        `rowcount` keeps the last statement's count (SQLAlchemy reads it after closing
        the cursor of an UPDATE ... RETURNING)."""
        if not self._closed and self._count is None and not self._pipeline_pending:
            self._count = _MODULE_ROWCOUNT.__get__(self)
        self._closed = True
        self._rownumber = None
        super().close()

    def execute(self, operation: str,  # type: ignore[override]
                parameters: Any = None, *, prepare: Optional[bool] = None,
                binary: Optional[bool] = None, params: Any = None) -> "Cursor":
        """Runs one statement and returns the cursor (so `cur.execute(...).fetchone()`
        reads its first row). Parameters go by ? markers (a sequence), %s placeholders
        (a sequence) or %(name)s placeholders (a mapping); %% is a percent sign in a
        statement with placeholders. `params=` is psycopg's name for the parameters;
        `prepare` and `binary` are accepted for psycopg 3's callers: statements are
        prepared after the connection's prepare_threshold runs, and the values read are
        the same in either format."""
        # _start, the module's execute and _settle, inlined: this is the per-call path.
        if self._closed:
            raise InterfaceError("cursor already closed")
        self._rownumber = None
        self._count = -1
        self._maker = None
        if params is not None:
            parameters = params
        conn = self._connection
        if type(operation) is not str and isinstance(operation, Composable):
            operation = operation.as_string(self)
        try:
            if parameters is not None:
                operation, parameters = _CONVERT(operation, parameters)
            self._sent = operation
            if conn._pipeline is not None:
                conn._pipeline.send(self, operation, parameters)
                return self
            if parameters is None:
                _MODULE_EXECUTE(self, operation)
            else:
                _MODULE_EXECUTE(self, operation, parameters)
        except _DriverError:
            if conn._closed:
                # The connection says why it cannot be used (closed, or by a with block).
                conn._check_open()
            raise
        except (_pyztdb.Error, _pyztdb.Warning) as exc:
            # Refused by the placeholder conversion, a function without a connection.
            raise from_module_function(exc) from None
        self._rownumber = 0
        self._count = -1 if self.sql_type == _NO_ROWS else None
        if conn._notify_handlers:
            conn._dispatch_notifies()
        return self

    def executemany(self, operation: str,  # type: ignore[override]
                    seq_of_parameters: typing.Iterable[Any], *,
                    returning: bool = False) -> None:
        """Runs `operation` once per row of parameters as one batch: a plain INSERT
        through COPY, any other statement in one pipeline. The batch is atomic: a
        failing row fails the call with the server's message and the row number, and
        in autocommit mode nothing of it stays. `rowcount` is then the total of rows
        affected. An empty sequence runs nothing. `returning=True` (psycopg 3's results
        of every row) is not supported."""
        self._start()
        if returning:
            raise NotSupportedError("executemany(returning=True) is not supported: run "
                                    "the statement with execute() per row to read its results")
        self._maker = None
        if isinstance(operation, Composable):
            operation = operation.as_string(self)
        rows = seq_of_parameters if type(seq_of_parameters) is list else list(seq_of_parameters)
        if not rows:
            self._count = 0
            return
        first = rows[0]
        if not isinstance(first, (str, bytes, bytearray)) and hasattr(first, "__len__") \
                and len(first) == 0:
            # Rows without parameters: the statement runs once per row, atomically. A
            # later row with parameters is refused as ragged before anything runs.
            nrows = _rows_to_columns(rows)[1]
            operation, rows = _convert_many(operation, rows)
            self._sent = operation
            self._repeat(operation, nrows)
            return
        operation, rows = _convert_many(operation, rows)
        self._sent = operation
        # The module checks the rows' shape and turns them into columns in C.
        super().executebatch(operation, rows, flexible=True, rows=True, datetime_counts=True,
                             in_place=True)
        self._count = _MODULE_ROWCOUNT.__get__(self)

    def _repeat(self, operation: str, nrows: int) -> None:
        total = 0
        with _Atomic(self):
            for _ in range(nrows):
                super().execute(operation)
                total += max(_MODULE_ROWCOUNT.__get__(self), 0)
        self._count = total

    def executebatch(self, operation: str, columns: typing.Sequence[typing.Sequence[Any]], *,
                     flexible: bool = False, rows: bool = False,
                     datetime_counts: bool = True, in_place: bool = True) -> None:
        self._start()
        super().executebatch(operation, columns, flexible=flexible, rows=rows,
                             datetime_counts=datetime_counts, in_place=in_place)
        self._count = None

    def callproc(self, procname: str, parameters: Optional[typing.Sequence[Any]] = None,
                 directions: Optional[typing.Sequence[int]] = None) -> List[Any]:
        """Calls a procedure or a function. A function's rows become the cursor's
        result (fetch them as after `execute`), and the parameters come back as a
        list; a procedure returns its parameters after the call, as the module's
        `callproc` does (with `directions` and declared types for outputs), its output
        values read as result rows are and its inputs as they were given."""
        self._start()
        _check_sequence("callproc", "parameters", parameters)
        _check_sequence("callproc", "directions", directions)
        if directions is None and isinstance(procname, str) and _ROUTINE_NAME.match(procname):
            args = list(parameters) if parameters is not None else []
            if self._call_function(procname, args):
                return args
        result: List[Any] = super().callproc(*_call_arguments(procname, parameters, directions))
        self._settle()
        return result

    def _call_function(self, name: str, args: List[Any]) -> bool:
        """Runs `SELECT * FROM name(args)`; False (nothing changed) when the server
        answers that name is a procedure."""
        text = "SELECT * FROM %s(%s)" % (name, ", ".join("?" * len(args)))
        try:
            if self._connection.autocommit:
                super().execute(text, args)
            else:
                # The savepoint keeps the transaction usable when name is a procedure.
                with _Atomic(self):
                    super().execute(text, args)
        except _ERRORS as exc:
            if _sqlstate(exc) == "42809":
                return False
            raise
        self._settle()
        return True

    def callfunc(self, funcname: str, parameters: Optional[typing.Sequence[Any]] = None,
                 directions: Optional[typing.Sequence[int]] = None) -> List[Any]:
        """Calls a function: its parameters after the call (inputs as they were given),
        then its value, read as a result row's value is."""
        self._start()
        _check_sequence("callfunc", "parameters", parameters)
        _check_sequence("callfunc", "directions", directions)
        result: List[Any] = super().callfunc(*_call_arguments(funcname, parameters, directions))
        self._settle()
        return result

    def fetchone(self) -> Any:
        if self._closed:
            raise InterfaceError("cursor already closed")
        if self._pipeline_pending:
            self._sync_pipeline()
        row: Optional[Row] = _MODULE_FETCHONE(self)
        if row is None:
            return None
        if self._rownumber is not None:
            self._rownumber += 1
        if self._row_factory is not None:
            return self._row(row)
        return row

    def fetchmany(self, size: Optional[int] = None) -> List[Row]:
        """The next `size` rows (default `arraysize`); fewer at the end."""
        self._check()
        if size is None:
            size = self.arraysize
        rows: Optional[List[Row]] = super().fetchmany(size) if size > 0 else []
        if rows is None:
            raise ProgrammingError("The result set does not exist")
        if self._rownumber is not None:
            self._rownumber += len(rows)
        if self._row_factory is not None and rows:
            return self._rows(rows)
        return rows

    def fetchall(self) -> List[Any]:
        self._check()
        rows: List[Row] = super().fetchall()
        if self._rownumber is not None:
            self._rownumber += len(rows)
        if self._row_factory is not None and rows:
            return self._rows(rows)
        return rows

    def nextset(self) -> Optional[bool]:  # type: ignore[override]
        self._check()
        moved = super().nextset()
        if moved is None:
            return None
        self._maker = None
        self._rownumber = 0
        self._count = None
        return True

    def setinputsizes(self, sizes: typing.Sequence[Optional[int]]) -> None:
        self._check()
        super().setinputsizes(sizes)

    def setoutputsize(self, size: int, column: Optional[int] = None) -> None:
        """Accepted for compatibility; output buffers are sized by the driver."""
        self._check()

    def fetch_columns(self, *, exact_numeric: bool = False) -> typing.Dict[str, Any]:
        """The rest of the result as column name -> NumPy array (see ztcondb.frame)."""
        self._check()
        from .frame import fetch_columns
        return fetch_columns(self, exact_numeric)

    def copy_expert(self, sql: str, file: Any, size: int = 65536) -> None:
        """Runs `COPY ... FROM STDIN` reading from `file` (text or bytes), or `COPY ...
        TO STDOUT` writing into it, `size` bytes at a time. `rowcount` is then the
        number of rows copied."""
        self._start()
        self._count = _copy_expert(self, sql, file, size)

    def copy(self, statement: Any, params: Any = None) -> "_copy.Copy":
        """`with cur.copy("COPY t FROM STDIN") as copy: copy.write_row(row)`, or
        `... TO STDOUT ... for row in copy.rows()`: a COPY row by row or in chunks (see
        ztcondb.copy.Copy); params fill %s / %(name)s markers of the statement."""
        self._start()
        return _copy.open_copy(self, statement, params)

    def __iter__(self) -> typing.Iterator[Row]:
        return self

    def __next__(self) -> Any:
        row = self.fetchone()
        if row is None:
            raise StopIteration
        return row

    def __enter__(self) -> "Cursor":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()


class _Atomic:
    """Makes what runs inside it all-or-nothing on the cursor's session: a savepoint
    inside a transaction, a transaction of its own in autocommit mode. A failure undoes
    only what ran inside, so the caller's transaction stays usable. The control
    statements run on a cursor of their own, so the result of what ran inside stays
    readable."""

    def __init__(self, cursor: Cursor) -> None:
        self._aux = _pyztdb.cursor(cursor.connection)
        self._own = bool(cursor.connection.autocommit)

    def __enter__(self) -> "_Atomic":
        self._aux.execute("BEGIN" if self._own else "SAVEPOINT ztcondb_atomic")
        return self

    def __exit__(self, exc_type: Any, *rest: Any) -> None:
        try:
            if exc_type is None:
                self._aux.execute("COMMIT" if self._own else "RELEASE SAVEPOINT ztcondb_atomic")
                return
            try:
                self._aux.execute("ROLLBACK" if self._own
                                  else "ROLLBACK TO SAVEPOINT ztcondb_atomic")
            except _ERRORS:
                pass
        finally:
            self._aux.close()


# Numbers for the readings of named cursors: a page read ahead goes only to the reading
# (declaration) that asked for it, never to a later cursor of the same name.
_READINGS = itertools.count(1)


def _quote_name(name: str) -> str:
    if not isinstance(name, str) or not name or "\0" in name:
        raise ProgrammingError("a cursor name must be a non-empty str")
    return '"%s"' % name.replace('"', '""')


class NamedCursor(Cursor):
    """A server-side cursor: `execute` declares it on the server, and rows arrive in
    pages of `itersize` rows (2,000 by default) as they are fetched, so a result of
    any size is read in constant memory. `withhold=True` keeps it open after the
    transaction commits; `scrollable=True` allows `scroll` backwards. `rowcount` is the
    number of rows fetched so far. While rows are read page by page (iteration,
    `fetchone`), the next page is asked for before the current one is handed out, so
    the server makes it while Python works; `readahead = False` turns that off."""

    def __init__(self, conn: "_connection.Connection", name: str, withhold: bool = False,
                 scrollable: Optional[bool] = None) -> None:
        super().__init__(conn)
        self.name = name
        self._quoted = _quote_name(name)
        self.withhold = bool(withhold)
        self.scrollable = scrollable
        self.itersize = 2000
        self.readahead = True
        self._declared = False
        self._reading = 0
        self._ahead = False     # the session holds the next page, asked for ahead
        # The page being read: the rows, the iterator every way of reading takes them
        # from (so iteration runs at C speed, with no Python call per row), and how many
        # were unread when the counters were last brought up to date (_sync).
        self._page: List[Row] = []
        self._it: typing.Iterator[Row] = iter(self._page)
        self._mark = 0
        self._server_pos = 0    # rows the server cursor has moved past
        # Pages the module has handed over but not yet added to the rows to read: a
        # signal handler's exception raised as fetchpage returns leaves its page here.
        self._kept: List[Tuple[Any, ...]] = []
        # Rows after the page that could not be converted, in order: [error, the rows
        # after that one]. The error is None once reported ahead of its row (fetchall).
        self._failed: List[List[Any]] = []

    def _run(self, text: str) -> None:
        _pyztdb.cursor.execute(self, text)

    def execute(self, operation: str,  # type: ignore[override]
                parameters: Any = None, *, binary: Optional[bool] = None,
                params: Any = None) -> "NamedCursor":
        """Declares the cursor on the server for the statement (see Cursor.execute for
        the parameters) and returns it."""
        self._start()
        self._maker = None
        if params is not None:
            parameters = params
        if isinstance(operation, Composable):
            operation = operation.as_string(self)
        if parameters is not None:
            operation, parameters = _convert(operation, parameters)
        self._drop()
        if self._connection.autocommit and not self.withhold:
            raise ProgrammingError("a named cursor without withhold needs a transaction: "
                                   "switch autocommit off or pass withhold=True")
        scroll = {None: "", True: " SCROLL", False: " NO SCROLL"}[self.scrollable]
        hold = " WITH HOLD" if self.withhold else ""
        declare = "DECLARE %s%s CURSOR%s FOR %s" % (self._quoted, scroll, hold, operation)
        self._sent = declare
        if parameters is None:
            _pyztdb.cursor.execute(self, declare)
        else:
            _pyztdb.cursor.execute(self, declare, parameters)
        self._declared = True
        self._reading = next(_READINGS)
        # Zero rows: the result's columns give the description, and tell the library the
        # column types, so that even the first page may come in binary form.
        _pyztdb.cursor.fetchpage(self, self.name, self._reading, 0)
        self._rownumber = 0
        self._count = 0
        return self

    def executemany(self, operation: str,  # type: ignore[override]
                    seq_of_parameters: typing.Iterable[typing.Sequence[Any]]) -> None:
        self._check()
        raise ProgrammingError("executemany cannot run on a named cursor")

    def callproc(self, procname: str, parameters: Optional[typing.Sequence[Any]] = None,
                 directions: Optional[typing.Sequence[int]] = None) -> List[Any]:
        self._check()
        raise ProgrammingError("callproc cannot run on a named cursor")

    def _pull(self, count: int, ahead: bool = False) -> None:
        """Asks the server for the next `count` rows (the page asked for ahead, if any)
        and adds them after the rows still to read, asking for the page after them with
        `ahead`. A row that cannot be converted is kept in its place as its error; a
        signal handler's exception met while waiting is raised once the rows are kept,
        so that no row the server handed over is lost."""
        if not self._declared:
            raise ProgrammingError("The result set does not exist")
        if not self._kept:
            _pyztdb.cursor.fetchpage(self, self.name, self._reading, count, ahead, True,
                                     self._kept)
        # A page kept by an earlier call that a handler's exception ended is taken first,
        # in place of a new one. It leaves the list only once its rows are added.
        rows, self._ahead, failures, interrupt = self._kept[0]
        self._server_pos += len(rows) + len(failures)
        self._append(rows, failures)
        del self._kept[0]
        if interrupt is not None:
            raise interrupt

    def _append(self, rows: List[Row], failures: List[Tuple[int, BaseException]]) -> None:
        """Adds rows after those still to read; failures are (index, error) of rows
        that could not be converted, index counting the rows of `rows` before them."""
        first = rows[:failures[0][0]] if failures else rows
        if self._failed:
            self._failed[-1][1].extend(first)
        elif operator.length_hint(self._it):
            self._sync()
            self._page.extend(first)
            self._mark += len(first)
        else:
            self._set_page(first)
        for k, (at, error) in enumerate(failures):
            end = failures[k + 1][0] if k + 1 < len(failures) else len(rows)
            self._failed.append([error, rows[at:end]])

    def _load_page(self) -> None:
        """Makes the next `itersize` rows the page, asking for the one after it when
        `readahead` is on (a page asked for ahead before is taken, not fetched)."""
        self._ahead = False
        self._pull(self.itersize, bool(self.readahead))

    def _receive(self) -> None:
        """Takes the page asked for ahead into the rows to read, so that what the cursor
        runs on the server next starts where the reader stands."""
        if self._kept:
            self._pull(0)   # the kept page: nothing new is asked for
        if not self._ahead:
            return
        self._ahead = False
        self._pull(self.itersize)

    def _pass_failed(self) -> None:
        """Once the page is read: the rows after the next row that could not be
        converted become the page, and that row's error is raised (unless it was
        reported ahead). The row counts as passed, as on a plain cursor."""
        error, rows = self._failed.pop(0)
        self._set_page(rows)
        passed = 1
        if self._rownumber is not None:
            self._rownumber += passed
        self._count = (self._count or 0) + passed
        if error is not None:
            raise error

    def _refill(self) -> bool:
        """Once the page is read, makes the next rows the page (raising the error of a
        row that could not be converted, at its place); False at the end."""
        if self._failed:
            self._pass_failed()
            return True
        self._load_page()
        return bool(self._page or self._failed)

    def _sync(self) -> None:
        """Counts the rows taken from the page since the last call (by iteration or
        by a fetch) into `rownumber` and `rowcount`."""
        left = operator.length_hint(self._it)
        taken = self._mark - left
        if taken:
            if self._rownumber is not None:
                self._rownumber += taken
            self._count = (self._count or 0) + taken
            self._mark = left

    def _set_page(self, rows: List[Row]) -> None:
        """Makes `rows` the page being read. The old page is emptied in place, so that
        an iterator still holding it (a loop left early) ends there instead of
        handing out rows of an earlier position."""
        self._sync()
        self._page.clear()
        self._page = rows
        self._it = iter(rows)
        self._mark = len(rows)

    def _buffered(self, limit: Optional[int]) -> List[Row]:
        rows = list(self._it if limit is None else itertools.islice(self._it, limit))
        self._sync()
        return rows

    def _next_source(self) -> Optional[typing.Iterator[Row]]:
        """What iteration reads next: the rest of the page, else a new page; None at
        the end of the result."""
        self._check()
        if operator.length_hint(self._it) == 0 and not self._refill():
            return None
        return self._it

    def fetch_columns(self, *, exact_numeric: bool = False) -> typing.Dict[str, Any]:
        """The rest of the result, read in large pages, as column name -> NumPy array."""
        from .frame import fetch_named_columns
        return fetch_named_columns(self, exact_numeric)

    @property
    def rownumber(self) -> Optional[int]:
        """0-based index of the next row of the current result; None without one."""
        self._sync()
        return self._rownumber

    @property  # type: ignore[override]
    def rowcount(self) -> int:
        """The number of rows fetched so far; -1 before an execution."""
        self._sync()
        return -1 if self._count is None else self._count

    def fetchone(self) -> Any:
        self._check()
        row = next(self._it, None)
        while row is None and self._refill():
            row = next(self._it, None)
        self._sync()
        if row is not None and self._row_factory is not None:
            return self._row(row)
        return row

    def fetchmany(self, size: Optional[int] = None) -> List[Row]:
        """The next `size` rows. A row that cannot be converted raises at its place:
        the call before it returns the rows up to it, the next call raises its error,
        and the one after goes on past it."""
        self._check()
        if size is None:
            size = self.arraysize
        if size <= 0:
            return []
        self._receive()
        if not self._failed and operator.length_hint(self._it) < size:
            self._pull(size - operator.length_hint(self._it))
        rows = self._buffered(size)
        while len(rows) < size and self._failed:
            if rows and self._failed[0][0] is not None:
                break
            self._pass_failed()
            rows += self._buffered(size - len(rows))
        if self._row_factory is not None and rows:
            return self._rows(rows)
        return rows

    def fetchall(self) -> List[Row]:
        """Every remaining row. When one of them cannot be converted, its error is
        raised and no row is taken: the next call returns them all but that one."""
        self._check()
        self._receive()
        self._pull(_ALL_ROWS)
        for entry in self._failed:
            if entry[0] is not None:
                if entry is self._failed[0] and not operator.length_hint(self._it):
                    self._pass_failed()
                error, entry[0] = entry[0], None
                raise error
        rows = self._buffered(None)
        while self._failed:
            self._pass_failed()
            rows += self._buffered(None)
        if self._row_factory is not None and rows:
            return self._rows(rows)
        return rows

    def scroll(self, value: int, mode: str = "relative") -> None:
        """Moves to another row: `value` rows on ("relative") or to the 0-based row
        `value` ("absolute"). Moving backwards needs a scrollable cursor."""
        self._check()
        if mode not in ("relative", "absolute"):
            raise ProgrammingError("scroll mode must be 'relative' or 'absolute'")
        if not self._declared or self._rownumber is None:
            raise ProgrammingError("The result set does not exist")
        self._receive()
        self._sync()
        target = self._rownumber + value if mode == "relative" else value
        if target < 0:
            raise IndexError("cannot scroll before the first row")
        skip = target - self._rownumber
        if 0 <= skip <= self._mark:
            # Within the page: the rows passed over are not fetched, so not counted.
            next(itertools.islice(self._it, skip, skip), None)
            self._mark -= skip
        else:
            if target >= self._server_pos:
                self._run("MOVE FORWARD %d FROM %s" % (target - self._server_pos, self._quoted))
            else:
                self._run("MOVE ABSOLUTE %d FROM %s" % (target, self._quoted))
            self._server_pos = target
            self._failed = []
            self._set_page([])
        self._rownumber = target

    def nextset(self) -> Optional[bool]:  # type: ignore[override]
        self._check()
        return None

    def _drop(self) -> None:
        """Closes the server cursor if the session still has it (a cursor without hold
        ends with its transaction), and takes back a page asked for ahead."""
        if any(page[1] for page in self._kept):
            self._ahead = True      # a kept page had asked for the next one
        if self._ahead and not self._connection.closed:
            # The page is of no use any more; taking it leaves the session free of it.
            self._ahead = False
            try:
                _pyztdb.cursor.fetchpage(self, self.name, self._reading, 0)
            except _ERRORS:
                pass
        self._page.clear()
        self._page = []
        self._it = iter(self._page)
        self._mark = self._server_pos = 0
        self._failed = []
        self._kept = []
        if not self._declared:
            return
        self._declared = False
        if self._connection.closed:
            return
        aux = _pyztdb.cursor(self._connection)
        try:
            # The name goes as a literal: a statement without parameters is never prepared
            # on the server, so the check runs alike on every server session.
            try:
                # The name as the server keeps it: cut to its identifier length.
                aux.execute("SELECT 1 FROM pg_catalog.pg_cursors "
                            "WHERE name = %s::pg_catalog.name" % _string_literal(self.name))
            except _ERRORS as exc:
                # A failed transaction: its rollback ends the cursor (one without hold).
                if getattr(exc, "sqlstate", None) == "25P02":
                    return
                raise
            if aux.fetchone() is not None:
                aux.execute("CLOSE %s" % self._quoted)
        finally:
            aux.close()

    def close(self) -> None:
        if not self._closed:
            self._drop()
        super().close()

    def __iter__(self) -> typing.Iterator[Row]:
        """The rows from the current one on, page after page. The rows are handed out
        by the page's own iterator, so a loop costs no Python call per row; the cursor's
        counters and its other fetch methods follow the loop."""
        self._check()
        rows = itertools.chain.from_iterable(iter(self._next_source, None))
        if self._row_factory is not None:
            return map(self._row, rows)
        return rows


class ClientCursor(Cursor):
    """A cursor that writes the parameters into the statement text on the client, quoted
    by the server's rules (see ztcondb.sql.quote), and sends the text alone: for
    statements the server cannot take parameters in (SET, DDL, a DO block). `mogrify`
    shows the text it sends."""

    def mogrify(self, operation: Any, parameters: Any = None) -> str:
        """The statement with its parameters written in, as execute would send it."""
        return self._merged(operation, parameters, False)

    def _merged(self, operation: Any, parameters: Any, keep_pairs: bool) -> str:
        from .sql import Composable, quote
        if isinstance(operation, Composable):
            operation = operation.as_string(self)
        if parameters is None:
            return typing.cast(str, operation)
        text, values = _convert(operation, parameters)
        pieces: List[str] = _pyztdb.cursor._marker_pieces(text, keep_pairs)
        values = list(values)
        if len(values) != len(pieces) - 1:
            raise ProgrammingError("the statement has %d parameter markers but %d parameters "
                                   "are given" % (len(pieces) - 1, len(values)))
        out = [pieces[0]]
        for value, piece in zip(values, pieces[1:]):
            out.append(quote(value))
            out.append(piece)
        return "".join(out)

    def execute(self, operation: Any,  # type: ignore[override]
                parameters: Any = None, *, prepare: Optional[bool] = None,
                binary: Optional[bool] = None, params: Any = None) -> "ClientCursor":
        if params is not None:
            parameters = params
        # ?? stays as it is in the text sent: the module reads it as one "?".
        text = operation if parameters is None else self._merged(operation, parameters, True)
        super().execute(text)
        return self
