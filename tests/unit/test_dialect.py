"""The SQLAlchemy dialect's parameter casts, compiled without a server: each plain
parameter goes with a cast to its type where that never narrows the value."""
import os
import sys

import pytest

sys.path.append(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

# greenlet, which SQLAlchemy loads, never frees its thread state: the leak check of the
# sanitized run would report it (and the objects it holds) at exit.
if os.environ.get("ZT_SANITIZER_PRELOAD"):
    pytest.skip("SQLAlchemy's greenlet leaks at exit under the sanitizers",
                allow_module_level=True)
sa = pytest.importorskip("sqlalchemy", reason="python3-sqlalchemy is not installed")
from sqlalchemy.dialects import postgresql  # noqa: E402

from ztcondb.dialect import ZtcondbDialect  # noqa: E402

CASTS = [
    (sa.String(20), "?::VARCHAR"),          # no length: a longer text is not cut
    (sa.Text(), "?::VARCHAR"),
    (sa.Integer(), "?::BIGINT"),            # a value beyond 32 bits still compares
    (sa.SmallInteger(), "?::BIGINT"),
    (sa.Numeric(10, 2), "?::NUMERIC"),      # no scale: not rounded before it is used
    (sa.Float(), "?::FLOAT"),
    (sa.Boolean(), "?::BOOLEAN"),
    (sa.Date(), "?::DATE"),
    (sa.DateTime(), "?::TIMESTAMP WITHOUT TIME ZONE"),
    (sa.DateTime(timezone=True), "?::TIMESTAMP WITH TIME ZONE"),
    (postgresql.TIMESTAMP(precision=0), "?::TIMESTAMP WITHOUT TIME ZONE"),
    (sa.Time(), "?::TIME WITHOUT TIME ZONE"),
    (sa.Interval(), "?::INTERVAL"),
    (sa.JSON(), "?::JSON"),
    (postgresql.JSONB(), "?::JSONB"),
    (sa.Enum("a", "b", name="ab"), "?"),    # the server's enum type, not a text
    (sa.LargeBinary(), "?"),
    (sa.types.NullType(), "?"),
]


@pytest.mark.parametrize("type_, rendered", CASTS, ids=[repr(c[0]) for c in CASTS])
def test_parameter_cast_by_type(type_, rendered):
    stmt = sa.select(sa.literal(None, type_).is_(None))
    text = str(stmt.compile(dialect=ZtcondbDialect()))
    assert text.split("SELECT ", 1)[1].split(" IS NULL")[0] == rendered


def test_in_lists_and_literals_go_without_cast():
    t = sa.table("t", sa.column("x", sa.Integer))
    stmt = sa.select(t.c.x).where(t.c.x.in_([1, 2]), t.c.x == sa.bindparam("y", 3, literal_execute=True))
    compiled = stmt.compile(dialect=ZtcondbDialect(), compile_kwargs={"render_postcompile": True})
    assert "x IN (?, ?)" in str(compiled) and "::" not in str(compiled)
