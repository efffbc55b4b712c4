"""The first query: connect, send two parameters, read one row.

The server comes from ZT_TEST_HOST, ZT_TEST_PORT, ZT_TEST_USER and ZT_TEST_DB (what
`eval "$(scripts/pg-test-server start)"` sets), else 127.0.0.1:5432 as postgres. Run
from the source tree with PYTHONPATH=build/python:. after `make build`, or anywhere
once the package is installed.
"""
import os

import ztcondb

env = os.environ.get
conn = ztcondb.connect(host=env("ZT_TEST_HOST", "127.0.0.1"),
                       port=int(env("ZT_TEST_PORT", "5432")),
                       database=env("ZT_TEST_DB", "postgres"),
                       user=env("ZT_TEST_USER", "postgres"))
cur = conn.cursor()
cur.execute("select ? || ', ' || ?, 6 * ?", ("hello", "world", 7))
print(cur.fetchone())
conn.close()
