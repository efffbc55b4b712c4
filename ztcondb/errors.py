"""The exceptions of ztcondb (PEP 249), and how errors of the extension module become them.

Every error the server reports carries `sqlstate` and, where the server sent them,
`detail`, `hint` and `context`; its class follows the SQLSTATE class. Errors survive
pickling with their attributes (their module is importable as `ztcondb.errors`).
"""
from __future__ import annotations

import functools
from typing import Any, Callable, Dict, Optional, Tuple, Type, TypeVar

import _pyztdb

__all__ = [
    "Warning", "Error", "InterfaceError", "DatabaseError", "DataError", "OperationalError",
    "IntegrityError", "InternalError", "ProgrammingError", "NotSupportedError",
]


class Warning(Exception):  # noqa: A001 - the name PEP 249 gives it
    """Important warnings, such as data truncation on insert."""


class Error(Exception):
    """Base of every error ztcondb raises. `sqlstate`, `detail`, `hint` and `context`
    are the server's fields (None when not sent, or for errors of the driver itself)."""

    def __init__(self, *args: Any, sqlstate: Optional[str] = None,
                 detail: Optional[str] = None, hint: Optional[str] = None,
                 context: Optional[str] = None) -> None:
        super().__init__(*args)
        self.sqlstate = sqlstate
        self.detail = detail
        self.hint = hint
        self.context = context

    def __reduce__(self) -> Any:
        return (_rebuild, (type(self), self.args, self.__dict__))

    # psycopg2 spelling of the code.
    @property
    def pgcode(self) -> Optional[str]:
        return self.sqlstate


def _rebuild(cls: Type[Error], args: Tuple[Any, ...], state: Dict[str, Any]) -> Error:
    """Unpickles an error: the class with its arguments, then its attributes."""
    exc = cls(*args)
    exc.__dict__.update(state)
    return exc


class InterfaceError(Error):
    """An error of the driver's interface rather than of the database."""


class DatabaseError(Error):
    """An error of the database."""


class DataError(DatabaseError):
    """A value could not be processed: out of range, division by zero, bad date, ..."""


class OperationalError(DatabaseError):
    """The database's operation failed: lost connection, deadlock, resources, ..."""


class IntegrityError(DatabaseError):
    """Relational integrity was violated: a duplicate key, a foreign key, a check."""


class InternalError(DatabaseError):
    """The database met an internal error (invalid cursor or transaction state, ...)."""


class ProgrammingError(DatabaseError):
    """A programming error: syntax, a missing table, a wrong number of parameters."""


class NotSupportedError(DatabaseError):
    """A method or feature the database does not support."""


# SQLSTATE class (first two characters) -> exception class, as psycopg maps them.
_BY_CLASS = {
    "0A": NotSupportedError,
    "07": ProgrammingError,     # wrong number of parameters (the library's own code)
    "08": OperationalError,
    "20": ProgrammingError, "21": ProgrammingError,
    "22": DataError,
    "23": IntegrityError,
    "24": InternalError, "25": InternalError,
    "26": ProgrammingError,
    "27": OperationalError, "28": OperationalError,
    "2B": InternalError, "2D": InternalError, "2F": InternalError,
    "34": OperationalError,
    "38": InternalError, "39": InternalError, "3B": InternalError,
    "3D": ProgrammingError, "3F": ProgrammingError,
    "40": OperationalError,
    "42": ProgrammingError, "44": ProgrammingError,
    "53": OperationalError, "54": OperationalError, "55": OperationalError,
    "57": OperationalError, "58": OperationalError,
    "F0": InternalError,
    "HV": OperationalError,
    "HY": OperationalError,     # the library's own failures (no session, ...)
    "P0": InternalError,
    "XX": InternalError,
}

# The extension module's classes -> ours, for errors that carry no SQLSTATE (the
# driver's own checks keep the class the module gives them).
_BY_MODULE_CLASS: Tuple[Tuple[Type[Exception], Type[Exception]], ...] = (
    (_pyztdb.NotSupportedError, NotSupportedError),
    (_pyztdb.ProgrammingError, ProgrammingError),
    (_pyztdb.InternalError, InternalError),
    (_pyztdb.IntegrityError, IntegrityError),
    (_pyztdb.OperationalError, OperationalError),
    (_pyztdb.DataError, DataError),
    (_pyztdb.DatabaseError, DatabaseError),
    (_pyztdb.InterfaceError, InterfaceError),
    (_pyztdb.Error, Error),
    (_pyztdb.Warning, Warning),
)


def class_for_sqlstate(sqlstate: Optional[str]) -> Optional[Type[Error]]:
    """The class of a server error by its SQLSTATE; DatabaseError for an unknown class,
    None without a code."""
    if not sqlstate:
        return None
    return _BY_CLASS.get(sqlstate[:2].upper(), DatabaseError)


def translate(exc: BaseException) -> BaseException:
    """The ztcondb exception for an exception of the extension module (others are
    returned as they are)."""
    if not isinstance(exc, (_pyztdb.Error, _pyztdb.Warning)):
        return exc
    sqlstate = getattr(exc, "sqlstate", None)
    cls: Optional[Type[BaseException]] = class_for_sqlstate(sqlstate)
    if cls is None:
        cls = next(ours for theirs, ours in _BY_MODULE_CLASS if isinstance(exc, theirs))
    if issubclass(cls, Error):
        return cls(*exc.args, sqlstate=sqlstate, detail=getattr(exc, "detail", None),
                   hint=getattr(exc, "hint", None), context=getattr(exc, "context", None))
    return cls(*exc.args)


F = TypeVar("F", bound=Callable[..., Any])


def translating(func: F) -> F:
    """Wraps a method so that an exception of the extension module leaves it as the
    ztcondb exception, with the original as its __cause__."""
    @functools.wraps(func)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        try:
            return func(*args, **kwargs)
        except (_pyztdb.Error, _pyztdb.Warning) as exc:
            raise translate(exc) from exc
    return wrapper  # type: ignore[return-value]


def translates_errors(func: F) -> F:
    """Marks a method that raises ztcondb exceptions itself (a hot path that does its
    own `except _pyztdb.Error`), so that `translate_errors` leaves it unwrapped."""
    func._translates_errors = True  # type: ignore[attr-defined]
    return func


# Special methods that are part of the DB-API face and so are translated too.
_DUNDERS = ("__init__", "__enter__", "__exit__", "__iter__", "__next__")

C = TypeVar("C", bound=type)


def translate_errors(cls: C) -> C:
    """Class decorator: every public method and property of the class, inherited ones
    from the extension module included, raises ztcondb exceptions."""
    for name in dir(cls):
        if name.startswith("_") and name not in _DUNDERS:
            continue
        attr = getattr(cls, name, None)
        static = cls.__dict__.get(name)
        if isinstance(static, property):
            setattr(cls, name, property(
                translating(static.fget) if static.fget else None,
                translating(static.fset) if static.fset else None,
                translating(static.fdel) if static.fdel else None, static.__doc__))
        elif isinstance(static, (staticmethod, classmethod)) or isinstance(attr, type):
            continue
        elif getattr(static, "_translates_errors", False):
            continue
        elif callable(attr) and not isinstance(attr, property):
            setattr(cls, name, translating(attr))
    return cls
