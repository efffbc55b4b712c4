"""The documentation's examples run as written against the test server.

Every ```python block of a document runs in order in one namespace per document, with
`ztcondb.connect` pointed at the test server (only its host, port, user and database
keyword values are replaced). A block that is followed by a plain ``` block (no
language) must print exactly that block's text.
"""
import contextlib
import io
import os
import re
import subprocess
import sys
import traceback

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, REPO)

import ztcondb  # noqa: E402

DOCUMENTS = ["docs/usage.md", "README.md", "docs/coming-from-psycopg3.md",
             "docs/coming-from-psycopg2.md"]

# A fenced block: its language tag (possibly empty), its text, and where it starts.
FENCE = re.compile(r"^```([\w-]*)[ \t]*\n(.*?)^```[ \t]*$", re.M | re.S)


def examples(path):
    """(line, code, expected output or None) for each python block of the document."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    blocks = [(m.group(1), m.group(2), text.count("\n", 0, m.start()) + 1, m.start(), m.end())
              for m in FENCE.finditer(text)]
    found = []
    for k, (lang, body, line, _, end) in enumerate(blocks):
        if lang != "python":
            continue
        expected = None
        if k + 1 < len(blocks):
            next_lang, next_body, _, next_start, _ = blocks[k + 1]
            if next_lang == "" and text[end:next_start].strip() == "":
                expected = next_body
        found.append((line, body, expected))
    return found


@pytest.fixture
def server_connect(pg, monkeypatch):
    """ztcondb.connect with the server's host, port, user and database."""
    real = ztcondb.connect

    def connect(*args, **kwargs):
        for key, value in (("host", pg["host"]), ("port", pg["port"]),
                           ("user", pg["user"]), ("database", pg["db"]),
                           ("dbname", pg["db"])):
            if key in kwargs:
                kwargs[key] = value
        return real(*args, **kwargs)

    monkeypatch.setattr(ztcondb, "connect", connect)
    return connect


@pytest.mark.parametrize("document", DOCUMENTS)
def test_examples_run_as_written(document, server_connect):
    path = os.path.join(REPO, document)
    blocks = examples(path)
    assert blocks, "%s has no python examples" % document
    namespace = {"__name__": "__docs__"}
    try:
        for line, code, expected in blocks:
            out = io.StringIO()
            try:
                with contextlib.redirect_stdout(out):
                    # Blank lines in front keep the document's line numbers in tracebacks.
                    exec(compile("\n" * line + code, document, "exec"), namespace)
            except Exception:
                pytest.fail("the example at %s:%d failed:\n%s"
                            % (document, line, traceback.format_exc()))
            if expected is not None:
                assert out.getvalue() == expected, \
                    "the example at %s:%d printed something else" % (document, line)
    finally:
        # Sessions an example left open (after a failure) must not keep their locks.
        for value in list(namespace.values()):
            if isinstance(value, ztcondb.Connection):
                value.close()


def test_every_example_connects_by_keywords():
    """The test can only redirect keyword arguments: an example that passed the
    server positionally would reach for a server that is not there."""
    for document in DOCUMENTS:
        for line, code, _ in examples(os.path.join(REPO, document)):
            for call in re.finditer(r"ztcondb\.connect\((.*?)\)", code, re.S):
                arguments = call.group(1).strip()
                assert not arguments or "=" in arguments.split(",")[0], \
                    "%s:%d passes connect arguments by position" % (document, line)


def test_package_demo_runs(pg):
    """examples/package_demo.py (what `make demo` runs) against the test server."""
    env = dict(os.environ, ZT_TEST_HOST=pg["host"], ZT_TEST_PORT=str(pg["port"]),
               ZT_TEST_USER=pg["user"], ZT_TEST_DB=pg["db"])
    env.setdefault("ZT_BUILD_DIR", os.path.join(REPO, "build"))
    proc = subprocess.run([sys.executable, os.path.join(REPO, "examples", "package_demo.py")],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stdout
    assert "executebatch inserted 3 rows" in proc.stdout
    assert "stock value of items with at least 10 in stock: 104.70" in proc.stdout
    assert proc.stdout.rstrip().endswith("closed")


# Fault mended in the package: callproc / callfunc with directions but no parameters
# passed the directions to the module as if they were the parameters, so a routine
# without parameters was called with one.
@pytest.mark.parametrize("method, create, expected", [
    ("callproc", "create procedure {name}() language plpgsql as $$ begin end $$", []),
    ("callfunc", "create function {name}() returns integer language sql as $$ select 7 $$",
     [7]),
], ids=["callproc", "callfunc"])
def test_call_with_directions_and_no_parameters(pg, method, create, expected):
    name = "docs_noparams_" + method
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                           user=pg["user"])
    try:
        cur = conn.cursor()
        cur.execute(create.format(name=name))
        call = getattr(cur, method)
        assert call(name, None, [1]) == expected
        assert call(name, None, None) == expected
        assert call(name) == expected
    finally:
        conn.rollback()
        conn.close()
