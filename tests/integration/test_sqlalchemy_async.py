"""The SQLAlchemy dialect postgresql+ztcondb_async with Debian's SQLAlchemy 1.4 and
greenlet: create_async_engine, Core round trips, a streamed (server-side) result, a
rolled-back transaction, the ORM's AsyncSession, and async_fallback."""
import datetime
import decimal
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

# greenlet never frees its thread state: the sanitized run's leak check would report it.
if os.environ.get("ZT_SANITIZER_PRELOAD"):
    pytest.skip("SQLAlchemy's greenlet leaks at exit under the sanitizers",
                allow_module_level=True)
sa = pytest.importorskip("sqlalchemy", reason="python3-sqlalchemy is not installed")
pytest.importorskip("greenlet", reason="python3-greenlet is not installed")
from sqlalchemy.dialects import registry  # noqa: E402
from sqlalchemy.ext.asyncio import AsyncSession, create_async_engine  # noqa: E402
from sqlalchemy.orm import declarative_base  # noqa: E402

import asyncio  # noqa: E402

registry.register("postgresql.ztcondb_async", "ztcondb.dialect_async", "ZtcondbAsyncDialect")

Base = declarative_base()


class Item(Base):
    __tablename__ = "zt_sa_async_items"
    id = sa.Column(sa.Integer, primary_key=True)
    name = sa.Column(sa.String(40))
    price = sa.Column(sa.Numeric(10, 2))
    made = sa.Column(sa.DateTime)


def url(pg, query=""):
    return "postgresql+ztcondb_async://%s@%s:%d/%s%s" % (pg["user"], pg["host"], pg["port"],
                                                        pg["db"], query)


def test_core_orm_stream_and_rollback(pg):
    async def body():
        engine = create_async_engine(url(pg))
        try:
            async with engine.begin() as conn:
                await conn.run_sync(Base.metadata.drop_all)
                await conn.run_sync(Base.metadata.create_all)
                await conn.execute(sa.insert(Item), [
                    {"id": i, "name": "n%d" % i, "price": decimal.Decimal("%d.25" % i),
                     "made": datetime.datetime(2020, 1, i)} for i in range(1, 6)])
            async with engine.connect() as conn:
                got = (await conn.execute(sa.select(Item.price, Item.made)
                                          .where(Item.id == 2))).one()
                assert got == (decimal.Decimal("2.25"), datetime.datetime(2020, 1, 2))
                streamed = await conn.stream(sa.select(Item.id).order_by(Item.id))
                assert [row[0] async for row in streamed] == [1, 2, 3, 4, 5]
                await conn.execute(sa.delete(Item))
                await conn.rollback()
                assert (await conn.execute(sa.select(sa.func.count(Item.id)))).scalar() == 5
            async with AsyncSession(engine) as session:
                item = await session.get(Item, 3)
                assert item.name == "n3"
                item.name = "renamed"
                await session.commit()
            async with engine.begin() as conn:
                assert (await conn.execute(sa.select(Item.name).where(Item.id == 3))
                        ).scalar() == "renamed"
                await conn.run_sync(Base.metadata.drop_all)
        finally:
            await engine.dispose()
    asyncio.run(body())


def test_failures_and_autocommit(pg):
    async def body():
        engine = create_async_engine(url(pg), isolation_level="AUTOCOMMIT")
        try:
            async with engine.connect() as conn:
                with pytest.raises(sa.exc.DBAPIError) as info:
                    await conn.execute(sa.text("select 1/0"))
                assert "22012" in str(info.value)
                assert (await conn.execute(sa.text("select 2"))).scalar() == 2
        finally:
            await engine.dispose()
    asyncio.run(body())
