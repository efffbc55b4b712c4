"""COPY: `with cur.copy(statement) as copy:` (rows written or read one by one, or data
in chunks, in text or binary format), and `copy_expert` between the server and a
Python file object, streamed in chunks."""
from __future__ import annotations

import codecs
import io
import re
from types import TracebackType
import typing
from typing import TYPE_CHECKING, Any, List, Optional, Tuple, Type, Union

import _pyztdb

from .errors import Error, ProgrammingError

from . import copyformat as _fmt
from .errors import NotSupportedError, from_module_function
from .errors import ProgrammingError as _ProgrammingError

if TYPE_CHECKING:
    from . import cursor as _cursor

__all__ = ["copy_expert", "Copy"]

_COPY_IN = 1
_COPY_OUT = 2


def _is_text(file: Any) -> bool:
    """Whether file reads and writes str (a text file) rather than bytes."""
    return isinstance(file, io.TextIOBase)


def _copy_in(cursor: "_cursor.Cursor", file: Any, size: int) -> int:
    """Sends file's data, `size` characters or bytes a read; a failed read ends the
    COPY on the server with the error, so nothing of it is stored."""
    try:
        while True:
            chunk = file.read(size)
            if not chunk:
                break
            if isinstance(chunk, str):
                chunk = chunk.encode("utf-8")
            _pyztdb.cursor.copy_put(cursor, chunk)
    except BaseException as exc:
        try:
            _pyztdb.cursor.copy_end(cursor, "COPY from a file object failed: %s"
                                    % (type(exc).__name__,))
        except Error:
            pass
        raise
    rows: int = _pyztdb.cursor.copy_end(cursor)
    return rows


def _copy_out(cursor: "_cursor.Cursor", file: Any, size: int) -> int:
    """Writes the server's data into file, `size` bytes a chunk: as str (decoded from
    UTF-8, a character never split across chunks) into a text file, as bytes otherwise."""
    decoder = codecs.getincrementaldecoder("utf-8")() if _is_text(file) else None
    try:
        while True:
            chunk = _pyztdb.cursor.copy_get(cursor, size)
            if chunk is None:
                break
            file.write(decoder.decode(chunk) if decoder else chunk)
        if decoder:
            tail = decoder.decode(b"", final=True)
            if tail:
                file.write(tail)
    except BaseException:
        # The rest of the data is dropped so that the session stays usable.
        try:
            _pyztdb.cursor.copy_end(cursor)
        except Error:
            pass
        raise
    rows: int = _pyztdb.cursor.copy_end(cursor)
    return rows


def copy_expert(cursor: "_cursor.Cursor", sql: str, file: Any, size: int = 65536) -> int:
    """Runs a `COPY ... FROM STDIN` with file's data or a `COPY ... TO STDOUT` into file,
    `size` bytes (or characters) at a time; returns the number of rows copied."""
    if not isinstance(size, int) or isinstance(size, bool) or size <= 0:
        raise ProgrammingError("copy_expert: the chunk size must be a positive int")
    direction = _pyztdb.cursor.copy_start(cursor, sql)
    if direction == _COPY_IN:
        return _copy_in(cursor, file, size)
    return _copy_out(cursor, file, size)


# ---- Copy objects ----

# Data goes to the library in chunks of about this size.
_CHUNK = 65536

_OPTIONS_AFTER = re.compile(r"\b(?:stdin|stdout)\b(.*)\Z", re.I | re.S)
_BINARY = re.compile(r"\bformat\s+\"?binary\b|^\s*(?:with\s+)?binary\b|\(\s*binary\b",
                     re.I)
_CSV = re.compile(r"\bformat\s+\"?csv\b|^\s*(?:with\s+)?csv\b|\bcsv\b", re.I)

TEXT, BINARY, CSV = "text", "binary", "csv"

# A row of text data written and read in C, one call per row.
_TEXT_ROW = _pyztdb._copy_text_row
_TEXT_FIELDS = _pyztdb._copy_text_fields


def _lib(call: Any, cursor: "_cursor.Cursor", *args: Any) -> Any:
    """A COPY call of the module on cursor (its errors are ztcondb's: the cursor's
    connection names its error table)."""
    return call(cursor, *args)


def copy_format(statement: str) -> str:
    """The data format a COPY statement names in its options (after STDIN/STDOUT)."""
    m = _OPTIONS_AFTER.search(statement)
    options = m.group(1) if m else ""
    if _BINARY.search(options):
        return BINARY
    if _CSV.search(options):
        return CSV
    return TEXT


def compose_statement(statement: Any, params: Any, context: Any = None) -> str:
    """The statement text with params written into its markers (%s, %(name)s or ?) as
    SQL constants, as ClientCursor.mogrify writes them: COPY takes no bound
    parameters."""
    from .cursor import ClientCursor
    if not isinstance(statement, str) and not hasattr(statement, "as_string"):
        raise TypeError("copy(): the statement must be str or sql.Composable, not %s"
                        % type(statement).__name__)
    text: str = ClientCursor._merged(context, statement, params, False)
    return text


class Copy:
    """A COPY in progress on a cursor, from `with cursor.copy(statement) as copy:`.

    For `COPY ... FROM STDIN`: `write(data)` sends data as it is (bytes, or str sent as
    UTF-8), `write_row(row)` one row in the statement's format (text, or binary with the
    column types given to `set_types`). The block's end finishes the COPY; an exception
    leaving it makes the server refuse all the data. For `COPY ... TO STDOUT`: `read()`
    gives the next chunk of data (b"" at the end), `read_row()` the next row (None at
    the end), `rows()` and iteration every row or chunk; values are str (text) or bytes
    (binary) unless `set_types` names the columns' types. `cursor.rowcount` is the
    server's row count afterwards."""

    def __init__(self, cursor: "_cursor.Cursor", statement: str) -> None:
        self.cursor = cursor
        self._statement = statement
        self.format = copy_format(statement)
        self._direction = 0
        self._codecs: Optional[List[_fmt.TypeCodec]] = None
        self._out = bytearray()   # written rows not yet sent
        self._header_sent = False
        self._in = bytearray()    # data read but not yet taken as rows
        self._at = 0
        self._ended = False
        self._finished = False
        self._started = False
        self._decoder = codecs.getincrementaldecoder("utf-8")()

    def __repr__(self) -> str:
        state = "active" if self._started and not self._finished else \
            "finished" if self._finished else "inactive"
        return "<ztcondb.Copy %s (%s)>" % (self.format, state)

    def __enter__(self) -> "Copy":
        if self._started:
            raise TypeError("a Copy can be used only once")
        self._started = True
        self._direction = _lib(_pyztdb.cursor.copy_start, self.cursor, self._statement)
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc_value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.finish(exc_value)

    def _check(self, direction: int, what: str) -> None:
        if not self._started or self._finished:
            raise _ProgrammingError("%s: the COPY is not in progress (use it inside its "
                                    "`with` block)" % what)
        if self._direction != direction:
            raise _ProgrammingError("%s: this is a COPY %s" % (what, "FROM STDIN"
                                    if self._direction == _COPY_IN else "TO STDOUT"))

    def set_types(self, types: typing.Sequence[Union[str, int]]) -> None:
        """The types of the columns (names such as "int4", "text", "timestamptz", or
        OIDs), in the order of the statement's columns: rows are then written and read
        through them. Binary rows can only be written with them."""
        if isinstance(types, (str, bytes)) or not isinstance(types, typing.Sequence):
            raise TypeError("set_types: a sequence of type names or OIDs")
        self._codecs = [_fmt.codec_for(t) for t in types]

    # -- writing --

    def write(self, buffer: Union[bytes, bytearray, memoryview, str]) -> None:
        """Sends COPY data as it is (after any rows written before it)."""
        self._check(_COPY_IN, "write")
        if isinstance(buffer, str):
            buffer = buffer.encode("utf-8")
        elif not isinstance(buffer, (bytes, bytearray, memoryview)):
            raise TypeError("write: the data must be bytes or str, not %s"
                            % type(buffer).__name__)
        self._flush()
        if len(buffer):
            _lib(_pyztdb.cursor.copy_put, self.cursor, buffer)

    def write_row(self, row: typing.Sequence[Any]) -> None:
        """Adds one row in the statement's format; sent in chunks."""
        self._check(_COPY_IN, "write_row")
        if isinstance(row, (str, bytes)) or not isinstance(row, typing.Sequence):
            raise TypeError("write_row: a row is a sequence of values, not %s"
                            % type(row).__name__)
        if self.format == BINARY:
            if self._codecs is None:
                raise _ProgrammingError("write_row: a binary COPY needs the column types: "
                                        "call set_types() first")
            if not self._header_sent:
                self._out += _fmt.BINARY_HEADER
                self._header_sent = True
            self._out += _fmt.binary_row(row, self._codecs)
        elif self.format == TEXT:
            if self._codecs is not None and len(row) != len(self._codecs):
                raise _ProgrammingError("write_row: the row has %d values, set_types gave "
                                        "%d types" % (len(row), len(self._codecs)))
            try:
                _TEXT_ROW(row, _fmt.value_text, self._out)
            except (_pyztdb.Error, _pyztdb.Warning) as exc:
                # A function of the module (no connection): a text holding a NUL.
                raise from_module_function(exc) from None
        else:
            raise NotSupportedError("write_row: rows are written in text or binary "
                                    "format; for CSV send the data with write()")
        if len(self._out) >= _CHUNK:
            self._flush()

    def _flush(self) -> None:
        if self._out:
            data = bytes(self._out)
            self._out.clear()
            _lib(_pyztdb.cursor.copy_put, self.cursor, data)

    # -- reading --

    def read(self) -> bytes:
        """The next chunk of the data as it came (b"" after the last); not to be mixed
        with read_row()."""
        self._check(_COPY_OUT, "read")
        if self._in:
            data = bytes(self._in[self._at:])
            self._in.clear()
            self._at = 0
            if data:
                return data
        if self._ended:
            return b""
        chunk = _lib(_pyztdb.cursor.copy_get, self.cursor, _CHUNK)
        if chunk is None:
            self._ended = True
            return b""
        return bytes(chunk)

    def __iter__(self) -> typing.Iterator[bytes]:
        while True:
            data = self.read()
            if not data:
                return
            yield data

    def _fill(self) -> bool:
        """Reads one more chunk into the row buffer; False at the end of the data."""
        if self._ended:
            return False
        chunk = _lib(_pyztdb.cursor.copy_get, self.cursor, _CHUNK)
        if chunk is None:
            self._ended = True
            return False
        if self._at:
            del self._in[:self._at]
            self._at = 0
        self._in += chunk
        return True

    def read_row(self) -> Optional[Tuple[Any, ...]]:
        """The next row (None after the last)."""
        self._check(_COPY_OUT, "read_row")
        if self.format == BINARY:
            return self._binary_row()
        if self.format != TEXT:
            raise NotSupportedError("read_row: rows are read in text or binary format; "
                                    "for CSV read the data with read()")
        while True:
            found = _TEXT_FIELDS(self._in, self._at)
            if found is not None:
                fields, self._at = found
                return self._load(fields, text=True)
            if not self._fill():
                if self._at < len(self._in):
                    raise _ProgrammingError("read_row: the data ends inside a row")
                return None

    def _binary_row(self) -> Optional[Tuple[Any, ...]]:
        if not self._header_sent:   # the header of the data read, once
            while len(self._in) < 19:
                if not self._fill():
                    return None
            if bytes(self._in[:11]) != _fmt.BINARY_HEADER[:11]:
                raise _ProgrammingError("read_row: the data is not binary COPY data")
            extension = int.from_bytes(self._in[15:19], "big")
            self._at = 19 + extension
            self._header_sent = True
        while True:
            fields, at = _fmt.parse_binary_row(self._in, self._at)
            if fields is not None:
                self._at = at
                if not fields:
                    return None
                return self._load(fields, text=False)
            if not self._fill():
                return None

    def _load(self, fields: typing.Sequence[Any], text: bool) -> Tuple[Any, ...]:
        codecs_ = self._codecs
        if codecs_ is None:
            return tuple(fields)
        if len(fields) != len(codecs_):
            raise _ProgrammingError("read_row: the row has %d values, set_types gave %d "
                                    "types" % (len(fields), len(codecs_)))
        if text:
            return tuple(None if v is None else c.from_text(v) for v, c in zip(fields, codecs_))
        return tuple(None if v is None else c.from_binary(v) for v, c in zip(fields, codecs_))

    def rows(self) -> typing.Iterator[Tuple[Any, ...]]:
        """Every row left, one at a time."""
        while True:
            row = self.read_row()
            if row is None:
                return
            yield row

    # -- the end --

    def finish(self, exc: Optional[BaseException] = None) -> None:
        """Ends the COPY: sends what is left and completes it, or, with an exception,
        makes the server refuse the data; for COPY TO STDOUT drops what was not read."""
        if not self._started or self._finished:
            return
        self._finished = True
        cursor = self.cursor
        if self._direction == _COPY_IN and exc is None:
            try:
                self._flush()
                if self._header_sent:
                    _lib(_pyztdb.cursor.copy_put, cursor, _fmt.BINARY_TRAILER)
            except BaseException as failure:
                self._abort(failure)
                raise
            cursor._count = _lib(_pyztdb.cursor.copy_end, cursor)
            return
        if self._direction == _COPY_IN:
            self._abort(exc)
            return
        try:
            count = _lib(_pyztdb.cursor.copy_end, cursor)
        except Error:
            if exc is None:
                raise
            return
        cursor._count = count

    def _abort(self, exc: Optional[BaseException]) -> None:
        try:
            _lib(_pyztdb.cursor.copy_end, self.cursor, "COPY from Python failed: %s"
                                    % (type(exc).__name__,))
        except Error:
            pass


def open_copy(cursor: "_cursor.Cursor", statement: Any, params: Any = None) -> Copy:
    """The Copy object of cursor.copy(): the COPY starts when its `with` block starts."""
    return Copy(cursor, compose_statement(statement, params, cursor))
