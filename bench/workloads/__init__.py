"""The workloads `make bench` runs, in the order the table shows them. A workload is one
module in this folder (see bench/README.md); adding one is adding its name here."""
WORKLOADS = [
    "fetch",
    "insert",
    "roundtrip",
    "stream",
    "threads_sleep",
    "threads_roundtrip",
    "threads_ticker",
    "columns",
    "columns_write",
    "pool",
    "pipeline",
    "notify",
    "types",
    "aio_roundtrip",
    "aio_fetch",
    "aio_insert",
    "aio_sleep",
]
