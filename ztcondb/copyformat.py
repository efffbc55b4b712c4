"""Rows in COPY's text and binary formats: writing Python values as COPY data and
reading COPY data back, each column through the codec its type names (set_types), or,
without types, text as str and binary as bytes.

A codec is resolved once per column; a row is then one call per value."""
from __future__ import annotations

import datetime
import json
import re
import struct
import uuid
from decimal import Decimal
import typing
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

from .errors import DataError, NotSupportedError, ProgrammingError

__all__ = ["BINARY_HEADER", "BINARY_TRAILER", "TypeCodec", "codec_for", "value_text",
           "parse_binary_row", "binary_row"]

# The signature, flags and header-extension length that open binary COPY data, and the
# field count -1 that ends it.
BINARY_HEADER = b"PGCOPY\n\xff\r\n\x00" + b"\x00\x00\x00\x00" + b"\x00\x00\x00\x00"
BINARY_TRAILER = b"\xff\xff"

_EPOCH_DATE = datetime.date(2000, 1, 1)
_EPOCH = datetime.datetime(2000, 1, 1)
_EPOCH_TZ = datetime.datetime(2000, 1, 1, tzinfo=datetime.timezone.utc)
_DAY_US = 86400 * 1000000

# ---- text format: the text of a value (COPY's escapes are added in C) ----


def _array_element(value: Any) -> str:
    if value is None:
        return "NULL"
    text = value_text(value)
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def _float_text(value: float) -> str:
    if value != value:
        return "NaN"
    if value in (float("inf"), float("-inf")):
        return "Infinity" if value > 0 else "-Infinity"
    return repr(value)


def _interval_text(value: datetime.timedelta) -> str:
    return "%d days %d seconds %d microseconds" % (value.days, value.seconds,
                                                   value.microseconds)


def _json_text(value: Any) -> str:
    text: str = json.dumps(value.obj)
    return text


def _bytes_text(value: Union[bytes, bytearray, memoryview]) -> str:
    return "\\x" + bytes(value).hex()


# Python type -> its text for the server (before COPY's escapes).
_TEXT_OF: Dict[type, Callable[[Any], str]] = {
    str: str, int: str, Decimal: str, uuid.UUID: str,
    bool: lambda v: "t" if v else "f",
    float: _float_text,
    bytes: _bytes_text, bytearray: _bytes_text, memoryview: _bytes_text,
    datetime.date: datetime.date.isoformat, datetime.datetime: datetime.datetime.isoformat,
    datetime.time: datetime.time.isoformat, datetime.timedelta: _interval_text,
    list: lambda v: "{%s}" % ",".join(_array_element(e) for e in v),
    tuple: lambda v: "{%s}" % ",".join(_array_element(e) for e in v),
    dict: json.dumps,
}


def value_text(value: Any) -> str:
    write = _TEXT_OF.get(type(value))
    if write is None:
        if hasattr(value, "obj") and type(value).__name__ in ("Json", "Jsonb"):
            return _json_text(value)
        write = next((w for t, w in _TEXT_OF.items() if isinstance(value, t)), None)
        if write is None:
            raise ProgrammingError("COPY: cannot write a value of type %s"
                                   % type(value).__name__)
    text: str = write(value)
    return text


_TIMESTAMP = re.compile(
    r"(\d{4,})-(\d\d)-(\d\d)(?:[ T](\d\d):(\d\d):(\d\d)(?:\.(\d{1,6}))?)?"
    r"(?:([+-])(\d\d)(?::?(\d\d))?(?::?(\d\d))?)?( BC)?\Z")


def _parse_timestamp(text: str) -> datetime.datetime:
    m = _TIMESTAMP.match(text)
    if not m or m.group(12):
        raise DataError("COPY: cannot read %r as a timestamp" % text)
    y, mo, d, h, mi, s, frac, sign, oh, om, osec = m.groups()[:11]
    value = datetime.datetime(int(y), int(mo), int(d), int(h or 0), int(mi or 0), int(s or 0),
                              int((frac or "0").ljust(6, "0")))
    if sign:
        offset = datetime.timedelta(hours=int(oh), minutes=int(om or 0), seconds=int(osec or 0))
        value = value.replace(tzinfo=datetime.timezone(-offset if sign == "-" else offset))
    return value


def _parse_time(text: str) -> datetime.time:
    return _parse_timestamp("2000-01-01 " + text).time()


def _parse_bool(text: str) -> bool:
    return text in ("t", "true", "1", "on", "yes")


def _parse_bytea(text: str) -> bytes:
    if text.startswith("\\x"):
        return bytes.fromhex(text[2:])
    raise DataError("COPY: cannot read bytea in escape form (bytea_output is hex)")


# ---- binary format ----

def _pack(fmt: str) -> Tuple[Callable[[Any], bytes], Callable[[bytes], Any]]:
    st = struct.Struct(fmt)
    return st.pack, lambda data: st.unpack(data)[0]


def _date_to_binary(value: datetime.date) -> bytes:
    if isinstance(value, datetime.datetime):
        value = value.date()
    return struct.pack(">i", (value - _EPOCH_DATE).days)


def _date_from_binary(data: bytes) -> datetime.date:
    return _EPOCH_DATE + datetime.timedelta(days=struct.unpack(">i", data)[0])


def _timestamp_to_binary(value: datetime.datetime) -> bytes:
    if value.tzinfo is not None:
        delta = value - _EPOCH_TZ
    else:
        delta = value - _EPOCH
    return struct.pack(">q", (delta.days * 86400 + delta.seconds) * 1000000
                       + delta.microseconds)


def _timestamp_from_binary(data: bytes) -> datetime.datetime:
    return _EPOCH + datetime.timedelta(microseconds=struct.unpack(">q", data)[0])


def _timestamptz_from_binary(data: bytes) -> datetime.datetime:
    return _EPOCH_TZ + datetime.timedelta(microseconds=struct.unpack(">q", data)[0])


def _time_to_binary(value: datetime.time) -> bytes:
    return struct.pack(">q", ((value.hour * 60 + value.minute) * 60 + value.second) * 1000000
                       + value.microsecond)


def _time_from_binary(data: bytes) -> datetime.time:
    us = struct.unpack(">q", data)[0]
    return (datetime.datetime.min + datetime.timedelta(microseconds=us)).time()


def _interval_to_binary(value: datetime.timedelta) -> bytes:
    return struct.pack(">qii", value.seconds * 1000000 + value.microseconds, value.days, 0)


def _interval_from_binary(data: bytes) -> datetime.timedelta:
    us, days, months = struct.unpack(">qii", data)
    if months:
        raise DataError("COPY: an interval of %d months has no timedelta" % months)
    return datetime.timedelta(days=days, microseconds=us)


def _numeric_to_binary(value: Any) -> bytes:
    value = Decimal(value)
    if value.is_nan():
        return struct.pack(">hhHh", 0, 0, 0xC000, 0)
    if value.is_infinite():
        return struct.pack(">hhHh", 0, 0, 0xD000 if value > 0 else 0xF000, 0)
    sign, digits, exponent = value.as_tuple()
    assert isinstance(exponent, int)
    dscale = max(0, -exponent)
    text = "".join(map(str, digits))
    # Pad so that the decimal point falls on a group of 4 digits.
    int_len = len(text) + exponent
    lead = (-int_len) % 4
    text = "0" * lead + text
    int_len += lead
    text += "0" * ((-len(text)) % 4)
    groups = [int(text[i:i + 4]) for i in range(0, len(text), 4)]
    weight = int_len // 4 - 1
    while groups and groups[-1] == 0:
        groups.pop()
    while groups and groups[0] == 0:
        groups.pop(0)
        weight -= 1
    if not groups:
        weight = 0
    return struct.pack(">hhHh%dH" % len(groups), len(groups), weight,
                       0x4000 if sign else 0, dscale, *groups)


def _numeric_from_binary(data: bytes) -> Decimal:
    ndigits, weight, sign, dscale = struct.unpack(">hhHh", data[:8])
    special = {0xC000: "NaN", 0xD000: "Infinity", 0xF000: "-Infinity"}
    if sign in special:
        return Decimal(special[sign])
    groups = struct.unpack(">%dH" % ndigits, data[8:8 + 2 * ndigits])
    value = 0
    for group in groups:
        value = value * 10000 + group
    exponent = (weight + 1 - ndigits) * 4
    result = Decimal(value).scaleb(exponent) if value else Decimal(0)
    result = result.quantize(Decimal(1).scaleb(-dscale))
    return -result if sign == 0x4000 else result


def _text_to_binary(value: Any) -> bytes:
    return value_text(value).encode("utf-8")


def _bytes_to_binary(value: Any) -> bytes:
    if isinstance(value, str):
        raise DataError("COPY: a bytea column takes bytes, not str")
    return bytes(value)


def _jsonb_to_binary(value: Any) -> bytes:
    return b"\x01" + (value if isinstance(value, str) else value_text(value)).encode("utf-8")


def _int_packer(fmt: str, bits: int) -> Callable[[Any], bytes]:
    pack = struct.Struct(fmt).pack

    def write(value: Any) -> bytes:
        if isinstance(value, bool) or not isinstance(value, int):
            value = int(value)
        if not -(1 << (bits - 1)) <= value < (1 << (bits - 1)):
            raise DataError("COPY: %d is out of range for a %d-bit integer" % (value, bits))
        return pack(value)
    return write


class TypeCodec:
    """How one column's values are read from text and written and read in binary."""

    def __init__(self, name: str, from_text: Callable[[str], Any],
                 to_binary: Callable[[Any], bytes], from_binary: Callable[[bytes], Any]):
        self.name = name
        self.from_text = from_text
        self.to_binary = to_binary
        self.from_binary = from_binary


def _utf8(data: bytes) -> str:
    return data.decode("utf-8")


_pack_f4, _unpack_f4 = _pack(">f")
_pack_f8, _unpack_f8 = _pack(">d")
_, _unpack_i2 = _pack(">h")
_, _unpack_i4 = _pack(">i")
_, _unpack_i8 = _pack(">q")
_, _unpack_u4 = _pack(">I")

_INTEGER2 = TypeCodec("int2", int, _int_packer(">h", 16), _unpack_i2)
_INTEGER4 = TypeCodec("int4", int, _int_packer(">i", 32), _unpack_i4)
_INTEGER8 = TypeCodec("int8", int, _int_packer(">q", 64), _unpack_i8)
_TEXT = TypeCodec("text", str, _text_to_binary, _utf8)
_JSON = TypeCodec("json", json.loads, _text_to_binary, lambda d: json.loads(_utf8(d)))
_TIMESTAMP_CODEC = TypeCodec("timestamp", _parse_timestamp, _timestamp_to_binary,
                             _timestamp_from_binary)

# Type names (and OIDs) -> codec.
_CODECS: Dict[Union[str, int], TypeCodec] = {}
_TABLE: List[Tuple[Tuple[Union[str, int], ...], TypeCodec]] = [
        (("bool", "boolean", 16), TypeCodec("bool", _parse_bool,
                                            lambda v: b"\x01" if v else b"\x00",
                                            lambda d: d != b"\x00")),
        (("int2", "smallint", 21), _INTEGER2),
        (("int4", "integer", "int", 23), _INTEGER4),
        (("int8", "bigint", 20), _INTEGER8),
        (("oid", 26), TypeCodec("oid", int, lambda v: struct.pack(">I", v), _unpack_u4)),
        (("float4", "real", 700), TypeCodec("float4", float, _pack_f4, _unpack_f4)),
        (("float8", "double precision", "float", 701),
         TypeCodec("float8", float, _pack_f8, _unpack_f8)),
        (("numeric", "decimal", 1700),
         TypeCodec("numeric", Decimal, _numeric_to_binary, _numeric_from_binary)),
        (("text", "varchar", "character varying", "char", "character", "bpchar", "name",
          25, 1043, 1042, 19), _TEXT),
        (("json", 114), _JSON),
        (("jsonb", 3802), TypeCodec("jsonb", json.loads, _jsonb_to_binary,
                                    lambda d: json.loads(_utf8(d[1:])))),
        (("uuid", 2950), TypeCodec("uuid", uuid.UUID, lambda v: uuid.UUID(str(v)).bytes,
                                   lambda d: uuid.UUID(bytes=bytes(d)))),
        (("bytea", 17), TypeCodec("bytea", _parse_bytea, _bytes_to_binary, bytes)),
        (("date", 1082), TypeCodec("date", lambda t: _parse_timestamp(t).date(),
                                   _date_to_binary, _date_from_binary)),
        (("timestamp", "timestamp without time zone", 1114), _TIMESTAMP_CODEC),
        (("timestamptz", "timestamp with time zone", 1184),
         TypeCodec("timestamptz", _parse_timestamp, _timestamp_to_binary,
                   _timestamptz_from_binary)),
        (("time", "time without time zone", 1083),
         TypeCodec("time", _parse_time, _time_to_binary, _time_from_binary)),
        (("interval", 1186), TypeCodec("interval", str, _interval_to_binary,
                                       _interval_from_binary))]
for _names, _codec in _TABLE:
    for _name in _names:
        _CODECS[_name] = _codec


def codec_for(type_name: Union[str, int]) -> TypeCodec:
    """The codec of a type given by name ("int4", "text", "timestamptz", ...) or OID."""
    if isinstance(type_name, bool) or not isinstance(type_name, (str, int)):
        raise TypeError("set_types: a type is a name or an OID, not %s"
                        % type(type_name).__name__)
    key: Union[str, int] = type_name.strip().lower() if isinstance(type_name, str) \
        else int(type_name)
    codec = _CODECS.get(key)
    if codec is None:
        raise NotSupportedError("COPY: no codec for type %r (known: %s)"
                                % (type_name, ", ".join(sorted(
                                    k for k in _CODECS if isinstance(k, str)))))
    return codec


def binary_row(row: typing.Sequence[Any], codecs: typing.Sequence[TypeCodec]) -> bytes:
    """One row of binary COPY data."""
    if len(row) != len(codecs):
        raise ProgrammingError("COPY: the row has %d values, set_types gave %d types"
                               % (len(row), len(codecs)))
    parts = [struct.pack(">h", len(row))]
    for value, codec in zip(row, codecs):
        if value is None:
            parts.append(b"\xff\xff\xff\xff")
        else:
            data = codec.to_binary(value)
            parts.append(struct.pack(">i", len(data)))
            parts.append(data)
    return b"".join(parts)


def parse_binary_row(data: Union[bytes, bytearray], at: int
                     ) -> Tuple[Optional[List[Optional[bytes]]], int]:
    """The fields of the binary row at offset `at` and the offset after it; (None, at)
    when the data does not yet hold the whole row. A trailer gives ([], offset)."""
    start = at
    if len(data) < at + 2:
        return None, start
    count = struct.unpack_from(">h", data, at)[0]
    at += 2
    if count == -1:
        return [], at
    fields: List[Optional[bytes]] = []
    for _ in range(count):
        if len(data) < at + 4:
            return None, start
        size = struct.unpack_from(">i", data, at)[0]
        at += 4
        if size == -1:
            fields.append(None)
            continue
        if len(data) < at + size:
            return None, start
        fields.append(bytes(data[at:at + size]))
        at += size
    return fields, at
