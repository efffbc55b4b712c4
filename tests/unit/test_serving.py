"""Notifications and pipelines of ztcondb against the double: which library calls run,
in what order, and how outcomes and failures reach the cursors."""
import os
import sys

import pytest

sys.path.append(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import ztcondb  # noqa: E402
from ztcondb.connection import Notify  # noqa: E402


@pytest.fixture
def zconn(zd):
    conn = ztcondb.connect(host="h", database="d", user="u", password="p")
    del zd.calls()[:]
    yield conn
    conn.close()


def names(zd, prefix):
    return [c.name for c in zd.calls() if c.name.startswith(prefix)]


def test_pipeline_sends_then_takes_in_order(zd, zconn):
    a, b = zconn.cursor(), zconn.cursor()
    zd.queue_execution(zd.Result([zd.Column("x", 5)], [[1]], sql_type=9))
    zd.queue_execution(zd.Result([zd.Column("y", 5)], [[2]], sql_type=9))
    with zconn.pipeline():
        a.execute("select 1")
        b.execute("select ?", (2,))
        assert names(zd, "ZTC_Pipeline") == ["ZTC_PipelineSend", "ZTC_PipelineSend"]
        assert [c.args["sql"] for c in zd.calls_of("ZTC_PipelineSend")] == \
            ["select 1", "select ?"]
        assert b.fetchone() == (2,)          # reading syncs the batch
    assert a.fetchone() == (1,)
    assert names(zd, "ZTC_Pipeline") == ["ZTC_PipelineSend", "ZTC_PipelineSend",
                                         "ZTC_PipelineSync", "ZTC_PipelineResult",
                                         "ZTC_PipelineResult"]
    # Outside the block execute runs as before.
    zd.queue_execution(zd.Result([zd.Column("z", 5)], [[3]], sql_type=9))
    a.execute("select 3")
    assert a.fetchone() == (3,) and len(zd.calls_of("ZTC_PipelineSend")) == 2


@pytest.mark.parametrize("failing, cls", [
    (1, ztcondb.IntegrityError),             # the first statement's outcome fails
    (2, ztcondb.IntegrityError),             # a later one: the first keeps its result
])
def test_pipeline_failure_raised_at_sync_others_taken(zd, zconn, failing, cls):
    curs = [zconn.cursor() for _ in range(3)]
    for i in range(3):
        zd.queue_execution(zd.Result([zd.Column("v", 5)], [[i]], sql_type=9))
    zd.fail("ZTC_PipelineResult", error="[23505] duplicate key", nth=failing)
    with pytest.raises(cls):
        with zconn.pipeline():
            for c in curs:
                c.execute("select 1")
    assert len(zd.calls_of("ZTC_PipelineResult")) == 3   # every outcome was taken
    for i, c in enumerate(curs):
        if i + 1 == failing:
            with pytest.raises(ztcondb.ProgrammingError):
                c.fetchone()
        else:
            assert c.fetchone() == (i,)


def test_send_failure_raises_at_once(zd, zconn):
    zd.fail("ZTC_PipelineSend", error="[08006] connection lost")
    cur = zconn.cursor()
    with pytest.raises(ztcondb.OperationalError):
        with zconn.pipeline():
            cur.execute("select 1")
    assert zd.calls_of("ZTC_PipelineResult") == []


def test_commit_inside_a_pipeline_syncs_first(zd, zconn):
    cur = zconn.cursor()
    zd.queue_execution(zd.Result(sql_type=2, rowcount=0, affected=1))
    with zconn.pipeline():
        cur.execute("insert into t values (1)")
        zconn.commit()
        order = [c.name for c in zd.calls()
                 if c.name.startswith("ZTC_Pipeline") or c.name == "ZTC_Execute_no_query"]
        order = order[order.index("ZTC_PipelineSend"):]
        assert order == ["ZTC_PipelineSend", "ZTC_PipelineSync", "ZTC_PipelineResult",
                         "ZTC_Execute_no_query"]
        assert cur.rowcount == 1


def test_notifications_and_handlers(zd, zconn):
    zd.queue_notify("jobs", "one", 42)
    zd.queue_notify("jobs", "tw\u00f6", 43)
    zd.queue_notify("jobs", "three", 44)
    # Taken together, yielded one at a time: the ones not yielded are kept.
    assert list(zconn.notifies(timeout=0, stop_after=1)) == [Notify("jobs", "one", 42)]
    assert list(zconn.notifies(timeout=0, stop_after=1)) == [Notify("jobs", "tw\u00f6", 43)]
    seen = []
    zconn.add_notify_handler(seen.append)
    zd.queue_notify("jobs", "four", 45)
    zd.queue_execution(zd.Result(sql_type=3))
    zconn.cursor().execute("select 1")
    assert seen == [Notify("jobs", "four", 45)]
    # The one taken before stays for notifies(); the handled one is not yielded again.
    assert list(zconn.notifies(timeout=0)) == [Notify("jobs", "three", 44)]
    assert list(zconn.notifies(timeout=0)) == []


def test_wait_failure_and_fileno(zd, zconn):
    zd.fail("ZTC_WaitNotify", error="[57014] the wait for notifications was interrupted")
    with pytest.raises(ztcondb.OperationalError):
        list(zconn.notifies(timeout=5))
    with pytest.raises(ztcondb.OperationalError):
        zconn.fileno()
    zd.set_return("ZTC_Socket", 7)
    assert zconn.fileno() == 7
