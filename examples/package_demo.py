"""A short tour of the ztcondb package: connect, create a table, insert rows with
executemany and executebatch, iterate over a query, call a procedure with an OUT
parameter, commit and close.

The server comes from ZT_TEST_HOST, ZT_TEST_PORT, ZT_TEST_USER and ZT_TEST_DB. Run from
the source tree, the package is found next to this folder and the module in
build/python (or $ZT_BUILD_DIR/python); an installed package is used as it is.
"""
import datetime
import decimal
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
BUILD = os.environ.get("ZT_BUILD_DIR") or os.path.join(REPO, "build")
for path in (os.path.join(BUILD, "python"), REPO):
    if os.path.isdir(path) and path not in sys.path:
        sys.path.append(path)

import ztcondb  # noqa: E402

env = os.environ.get
conn = ztcondb.connect(host=env("ZT_TEST_HOST", "127.0.0.1"),
                       port=int(env("ZT_TEST_PORT", "5432")),
                       database=env("ZT_TEST_DB", "postgres"),
                       user=env("ZT_TEST_USER", "postgres"))
print("connected:", ztcondb.apilevel, ztcondb.paramstyle, ztcondb.__version__)

with conn.cursor() as cur:
    cur.execute("drop table if exists demo_stock")
    cur.execute("create table demo_stock (sku integer primary key, item text not null,"
                " qty integer, price numeric(8, 2), added date)")

    # executemany: one list or tuple of parameters per row.
    cur.executemany("insert into demo_stock values (?, ?, ?, ?, ?)", [
        (1, "pencil", 120, decimal.Decimal("0.40"), datetime.date(2024, 3, 1)),
        (2, "eraser", 35, decimal.Decimal("0.90"), datetime.date(2024, 3, 2)),
    ])

    # executebatch: one list per column, sent in a single round trip.
    cur.executebatch("insert into demo_stock values (?, ?, ?, ?, ?)", [
        [3, 4, 5],
        ["ruler", "stapler", "glue"],
        [12, 4, None],
        [decimal.Decimal("2.10"), decimal.Decimal("11.00"), decimal.Decimal("1.75")],
        [datetime.date(2024, 3, 5), None, datetime.date(2024, 3, 9)],
    ])
    print("executebatch inserted %d rows" % cur.rowcount)

    cur.execute("select sku, item, qty, price, added from demo_stock"
                " where price < ? order by sku", (5,))
    print("columns:", ", ".join("%s %s" % column[:2] for column in cur.description))
    for sku, item, qty, price, added in cur:
        print("  %d %-8s qty=%-4s price=%.2f added=%s" % (sku, item, qty, price, added))

    # A procedure with an OUT parameter: declare the type codes (5 INTEGER, 8 DOUBLE)
    # and the directions (1 input, 2 output).
    cur.execute("create or replace procedure demo_stock_value(min_qty integer,"
                " out total double precision) language plpgsql as $$"
                " begin select sum(qty * price) into total from demo_stock"
                " where qty >= min_qty; end $$")
    cur.setinputtype([5, 8])
    min_qty, total = cur.callproc("demo_stock_value", [10, 0.0], [1, 2])
    cur.cleartype()
    print("stock value of items with at least %d in stock: %.2f" % (min_qty, total))

    conn.commit()
    print("committed")

    cur.execute("drop procedure demo_stock_value")
    cur.execute("drop table demo_stock")
    conn.commit()

conn.close()
print("closed")
