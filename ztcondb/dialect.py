"""The SQLAlchemy dialect `postgresql+ztcondb`: SQLAlchemy's PostgreSQL dialect over
ztcondb (qmark parameters, server-side cursors for streamed results, AUTOCOMMIT).

    engine = sqlalchemy.create_engine("postgresql+ztcondb://user:pw@host:5432/db")

The package registers it under the `sqlalchemy.dialects` entry point. Result values
that ztcondb gives in their text form (dates, times, intervals) or as the letters
T/F (booleans) are turned into the Python types SQLAlchemy promises."""
from __future__ import annotations

import datetime
import decimal
import random
import re
import types
from typing import Any, Callable, Dict, List, Optional, Tuple, cast

# mypy: allow-subclassing-any, disable-error-code="import"
from sqlalchemy import exc, processors, util
from sqlalchemy import types as sqltypes
from sqlalchemy.dialects.postgresql import JSON, JSONB, UUID
from sqlalchemy.dialects.postgresql.base import (
    INTERVAL, PGCompiler, PGDialect, PGExecutionContext, PGIdentifierPreparer)

_Processor = Optional[Callable[[Any], Any]]

_TRUE = frozenset([b"T", b"t", "T", "t", "true", b"1", "1"])
_INTERVAL = re.compile(r"(-?)(\d+) (\d+):(\d+):(\d+)(?:\.(\d+))?$")


def _to_bool(value: Any) -> Any:
    if value is None or isinstance(value, bool):
        return value
    if isinstance(value, (bytes, str)):
        return value in _TRUE
    return bool(value)


def _to_date(value: Any) -> Any:
    if isinstance(value, str):
        try:
            return datetime.date.fromisoformat(value)
        except ValueError:
            return value   # infinity, BC dates: left as the server wrote them
    return value


def _to_time(value: Any) -> Any:
    if isinstance(value, str):
        text = re.sub(r"([+-]\d\d)$", r"\1:00", value)
        try:
            return datetime.time.fromisoformat(text)
        except ValueError:
            return value
    return value


def _to_interval(value: Any) -> Any:
    if isinstance(value, str):
        match = _INTERVAL.match(value.strip())
        if match:
            sign, days, hours, minutes, seconds, fraction = match.groups()
            delta = datetime.timedelta(
                days=int(days), hours=int(hours), minutes=int(minutes),
                seconds=int(seconds), microseconds=int((fraction or "0").ljust(6, "0")[:6]))
            return -delta if sign else delta
    return value


def _colspecs() -> Any:
    """SQLAlchemy's PostgreSQL types with result processors for the values ztcondb gives
    as text (dates, times, intervals) or as T/F (booleans)."""
    class _ZtBoolean(sqltypes.Boolean):
        def result_processor(self, dialect: Any, coltype: Any) -> _Processor:
            return _to_bool


    class _ZtDate(sqltypes.Date):
        def result_processor(self, dialect: Any, coltype: Any) -> _Processor:
            return _to_date


    class _ZtTime(sqltypes.Time):
        def result_processor(self, dialect: Any, coltype: Any) -> _Processor:
            return _to_time


    def _from_interval(value: Any) -> Any:
        """A timedelta as an interval text (the driver sends no timedelta itself)."""
        if isinstance(value, datetime.timedelta):
            return "%d days %d seconds %d microseconds" % (value.days, value.seconds,
                                                           value.microseconds)
        return value


    class _ZtInterval(INTERVAL):
        @classmethod
        def adapt_emulated_to_native(cls, interval: Any, **kw: Any) -> "_ZtInterval":
            return cls(precision=interval.second_precision)

        def bind_processor(self, dialect: Any) -> _Processor:
            return _from_interval

        def result_processor(self, dialect: Any, coltype: Any) -> _Processor:
            return _to_interval

    class _ZtNumeric(sqltypes.Numeric):
        """Numeric and Float by the column's type: ztcondb gives numeric columns as exact
        Decimals and float columns as floats, so only the other kind is converted."""
        def result_processor(self, dialect: Any, coltype: Any) -> _Processor:
            floating = coltype in ("DOUBLE", "FLOAT")
            if self.asdecimal:
                if floating:
                    return cast(_Processor, processors.to_decimal_processor_factory(
                        decimal.Decimal, self._effective_decimal_return_scale))
                return None
            return processors.to_float if coltype == "NUMERIC" else None

    class _ZtJSON(JSON):
        """ztcondb reads json columns as Python objects already."""
        def result_processor(self, dialect: Any, coltype: Any) -> _Processor:
            return None

    class _ZtJSONB(JSONB):
        def result_processor(self, dialect: Any, coltype: Any) -> _Processor:
            return None

    class _ZtUUID(UUID):
        """ztcondb reads uuid columns as uuid.UUID and sends UUIDs as uuid."""
        def bind_processor(self, dialect: Any) -> _Processor:
            return None

        def result_processor(self, dialect: Any, coltype: Any) -> _Processor:
            if self.as_uuid:
                return None
            return lambda value: None if value is None else str(value)

    return util.update_copy(PGDialect.colspecs, {
        sqltypes.JSON: _ZtJSON,
        JSON: _ZtJSON,
        JSONB: _ZtJSONB,
        UUID: _ZtUUID,
        sqltypes.Numeric: _ZtNumeric,
        sqltypes.Boolean: _ZtBoolean,
        sqltypes.Date: _ZtDate,
        sqltypes.Time: _ZtTime,
        sqltypes.Interval: _ZtInterval,
        INTERVAL: _ZtInterval,
    })


def _bind_cast(type_: Any, dialect: Any) -> Optional[str]:
    """The server type a parameter of this SQLAlchemy type is cast to, or None. Sent as a
    bare ?, a parameter takes its type from where it stands, which the server cannot
    tell in `? IS NULL`, `count(?)` or a CASE branch. The casts never narrow a value:
    text goes as VARCHAR without its length, integers as BIGINT, numbers without their
    precision and scale, timestamps and times without their precision."""
    impl = type_._unwrapped_dialect_impl(dialect)
    affinity = impl._type_affinity
    if affinity is None or isinstance(impl, sqltypes.Enum):
        return None
    if issubclass(affinity, sqltypes.String):
        return "VARCHAR"
    if issubclass(affinity, sqltypes.Integer):
        return "BIGINT"
    if isinstance(impl, sqltypes.Float) or isinstance(type_, sqltypes.Float):
        return "FLOAT"      # (the dialect's own numeric type stands for Float too)
    if issubclass(affinity, sqltypes.Numeric):
        return "NUMERIC"
    if issubclass(affinity, sqltypes.DateTime):
        return "TIMESTAMP WITH%s TIME ZONE" % ("" if impl.timezone else "OUT")
    if issubclass(affinity, sqltypes.Time):
        return "TIME WITH%s TIME ZONE" % ("" if impl.timezone else "OUT")
    simple = {sqltypes.Date: "DATE", sqltypes.Boolean: "BOOLEAN",
              sqltypes.Interval: "INTERVAL"}
    if affinity in simple:
        return simple[affinity]
    if issubclass(affinity, sqltypes.JSON):
        return "JSONB" if isinstance(impl, JSONB) else "JSON"
    return None


class ZtcondbCompiler(PGCompiler):
    # With qmark parameters a percent sign is an ordinary character.
    def visit_mod_binary(self, binary: Any, operator: Any, **kw: Any) -> str:
        return "%s %% %s" % (self.process(binary.left, **kw), self.process(binary.right, **kw))

    def visit_bindparam(self, bindparam: Any, **kw: Any) -> str:
        """A plain parameter (not a literal, an expanding IN list or one a type wraps
        itself) goes with a cast to its type where the dialect knows it, as drivers
        that bind on the server need."""
        text: str = super().visit_bindparam(bindparam, **kw)
        if text != "?":
            return text
        cast = _bind_cast(bindparam.type, self.dialect)
        return text if cast is None else "?::" + cast


class ZtcondbIdentifierPreparer(PGIdentifierPreparer):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._double_percents = False


class ZtcondbExecutionContext(PGExecutionContext):
    def create_server_side_cursor(self) -> Any:
        ident = "c_%x_%x" % (id(self), random.randint(0, 0xFFFFFFFF))
        return self._dbapi_connection.cursor(name=ident)


class ZtcondbDialect(PGDialect):
    """SQLAlchemy's PostgreSQL dialect over ztcondb."""

    driver = "ztcondb"
    supports_statement_cache = True
    default_paramstyle = "qmark"
    supports_sane_multi_rowcount = True
    supports_server_side_cursors = True
    # numeric arrives as an exact Decimal, which SQLAlchemy must not pass through a float.
    supports_native_decimal = True
    execution_ctx_cls: Any = ZtcondbExecutionContext
    statement_compiler: Any = ZtcondbCompiler
    preparer: Any = ZtcondbIdentifierPreparer
    colspecs = _colspecs()

    @classmethod
    def dbapi(cls) -> types.ModuleType:
        import ztcondb
        return ztcondb

    @classmethod
    def import_dbapi(cls) -> types.ModuleType:
        import ztcondb
        return ztcondb

    @classmethod
    def load_provisioning(cls) -> None:
        # SQLAlchemy's test runs create, clean and drop databases through the
        # PostgreSQL dialect's hooks; the default looks for ztcondb.provision.
        __import__("sqlalchemy.dialects.postgresql.provision")

    def do_execute(self, cursor: Any, statement: str, parameters: Any, context: Any = None) -> None:
        # Without parameters the text goes alone: with an empty tuple the cursor would read
        # a % in it (a quoted name, a literal) as a %s placeholder, which the ? markers the
        # dialect writes never need.
        if parameters:
            cursor.execute(statement, parameters)
        else:
            cursor.execute(statement)

    def do_execute_no_params(self, cursor: Any, statement: str, context: Any = None) -> None:
        cursor.execute(statement)

    def create_connect_args(self, url: Any) -> Tuple[List[Any], Dict[str, Any]]:
        opts = url.translate_connect_args(username="user", database="database")
        if "port" in opts:
            opts["port"] = int(opts["port"])
        opts.update(url.query)
        return [], opts

    def set_isolation_level(self, connection: Any, level: str) -> None:
        level = level.replace("_", " ")
        connection = getattr(connection, "dbapi_connection", connection)
        if level == "AUTOCOMMIT":
            connection.autocommit = True
        elif level in self._isolation_lookup:
            connection.autocommit = False
            cursor = connection.cursor()
            cursor.execute("SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL %s"
                           % level)
            cursor.close()
            connection.commit()
        else:
            raise exc.ArgumentError(
                "Invalid value '%s' for isolation_level. Valid isolation levels for %s are "
                "%s or AUTOCOMMIT" % (level, self.name, ", ".join(self._isolation_lookup)))

    def get_isolation_level(self, connection: Any) -> str:
        if getattr(connection, "autocommit", False) is True:
            return "AUTOCOMMIT"
        level: str = super().get_isolation_level(connection)
        return level

    def is_disconnect(self, e: Any, connection: Any, cursor: Any) -> bool:
        text = str(e)
        return any(mark in text for mark in (
            "[08006]", "[08003]", "[57P01]", "Connection does not exist",
            "The cursor object does not exist", "server closed the connection"))


dialect = ZtcondbDialect
