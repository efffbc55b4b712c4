"""COPY between the server and a Python file object, streamed in chunks."""
from __future__ import annotations

import codecs
import io
from typing import TYPE_CHECKING, Any

import _pyztdb

from _pyztdb import ProgrammingError

if TYPE_CHECKING:
    from . import cursor as _cursor

__all__ = ["copy_expert"]

_COPY_IN = 1


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
        except _pyztdb.Error:
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
        except _pyztdb.Error:
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
