"""A short tour of the driver: connect, create a table, insert rows with parameters,
query with a filter, commit and roll back.

The server comes from ZT_TEST_HOST, ZT_TEST_PORT, ZT_TEST_USER and ZT_TEST_DB.
"""
import datetime
import decimal
import os

import _pyztdb

env = os.environ.get
conn = _pyztdb._connect(int(env("ZT_TEST_PORT", "5432")), env("ZT_TEST_HOST", "127.0.0.1"),
                        env("ZT_TEST_DB", "postgres"), env("ZT_TEST_USER", "postgres"),
                        "", "UTF8", "0")
cur = conn.cursor()
cur.execute("drop table if exists demo_orders")
cur.execute("create table demo_orders (id integer primary key, item text, qty integer,"
            " price numeric(8,2), placed timestamp)")

conn.autocommit(False)
orders = [
    (1, "pen", 3, decimal.Decimal("1.20"), datetime.datetime(2024, 5, 1, 9, 30)),
    (2, "notebook", 1, decimal.Decimal("4.50"), datetime.datetime(2024, 5, 1, 10, 0)),
    (3, "ink", 2, decimal.Decimal("7.25"), datetime.datetime(2024, 5, 2, 16, 45)),
]
for order in orders:
    cur.execute("insert into demo_orders values (?, ?, ?, ?, ?)", order)
conn.commit()
print("inserted and committed %d rows" % len(orders))

cur.execute("select id, item, qty, price, placed from demo_orders"
            " where qty >= ? order by id", [2])
print("query matched %d rows; description:" % cur.rowcount)
for column in cur.description:
    print("   ", column)
for row in cur.fetchall():
    print("   ", row)

cur.execute("update demo_orders set qty = qty + ? where item <> ?", [10, "ink"])
print("updated %d rows, then rolled back" % cur.rowcount)
conn.rollback()
cur.execute("select item, qty from demo_orders order by id")
print("after rollback:", cur.fetchall())

cur.execute("drop table demo_orders")
conn.commit()
cur.close()
conn.close()
