"""Python code that runs inside a driver call and pulls the session or the cursor away
under it: a GC callback, the __del__ of an object the collector frees, or a parameter
object's __index__, __str__, __len__ or __getitem__ closes the connection, closes the
cursor, initialises the connection again or runs another statement on the cursor, at
the first, middle or last time that hook runs during the call. Every case must end with
a driver exception or the result the call gives undisturbed; never a crash, another
exception class or a different result (and, in the sanitized run, no use of freed
memory). Closing the cursor or running a statement on it from inside one of its
methods is refused: the cursor is busy until the method returns. The cases run in worker processes (reentrancy_worker.py), so that a crash
fails its own case only.
"""
import json
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SANITIZED = bool(os.environ.get("ZT_SANITIZER_PRELOAD"))

ACTIONS = ["close_connection", "close_cursor", "reinit_connection", "statement"]
PARAMETER_HOOKS = {
    "index": ["callproc", "callfunc", "fetchmany", "fetchmany_server_cursor",
              "metadata"],
    "str": ["execute", "executemany", "executebatch", "callproc"],
    "len": ["execute", "executemany", "executebatch", "callproc", "callfunc", "declarations"],
    "getitem": ["execute", "executemany", "executebatch", "callproc", "callfunc",
                "declarations"],
}
METHODS = ["execute", "executemany", "executebatch", "callproc", "callfunc", "fetchone",
           "fetchmany", "fetchall", "fetchall_server_cursor", "fetchmany_server_cursor",
           "nextset", "metadata", "declarations", "cursor"]
STAGES = {"gc": ["first", "middle", "last"], "del": ["first", "last"]}


def all_cases():
    cases = []
    for method in METHODS:
        kinds = ["gc", "del"] + [k for k, ms in PARAMETER_HOOKS.items() if method in ms]
        for kind in kinds:
            for action in ACTIONS:
                for stage in STAGES.get(kind, ["first", "last"]):
                    cases.append((method, kind, action, stage))
    return cases


CASES = all_cases()

# Cases that still fail, with the reason; each is an expected failure (strict in the
# sanitized run, where a use of freed memory always ends the worker). None today.
KNOWN = {}


def run_workers(pg, cases):
    """Runs the cases in worker processes; a worker that dies fails the case it was in
    and a new worker goes on with the next. Returns {case: [state, detail]}."""
    results = {}
    todo = list(cases)
    while todo:
        proc = subprocess.Popen([sys.executable, os.path.join(HERE, "reentrancy_worker.py"),
                                 pg["host"], str(pg["port"]), pg["db"], pg["user"]],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, universal_newlines=True)
        out, err = proc.communicate("".join(json.dumps(c) + "\n" for c in todo), timeout=900)
        current = None
        for line in out.splitlines():
            word, _, rest = line.partition(" ")
            if word == "BEGIN":
                current = int(rest)
            elif word == "END":
                n, _, result = rest.partition(" ")
                results[todo[int(n)]] = json.loads(result)
                current = None
        if current is None:
            assert proc.returncode == 0, err[-3000:]
            break
        results[todo[current]] = ["crash", "exit %d: %s" % (proc.returncode, err[-3000:])]
        todo = todo[current + 1:]
    return results


@pytest.fixture(scope="module")
def outcomes(pg):
    return run_workers(pg, CASES)


def case_param(case):
    marks = []
    known = KNOWN.get(case)
    reason, version = known if isinstance(known, tuple) else (known, None)
    if reason and version in (None, sys.version_info[:2]):
        marks.append(pytest.mark.xfail(strict=SANITIZED, reason=reason))
    return pytest.param(case, id="-".join(case), marks=marks)


# A hook that calls a method of the cursor whose method is running (closing it, or
# running another statement on it) is refused with ProgrammingError: the call goes on
# undisturbed and the action, made again just after it, takes effect then. A
# parameter's methods always run inside the method; the collector (and the finalizers
# it calls) may also run in the Python code around it, where the action is not refused.
REFUSED_ACTIONS = {"close_cursor", "statement"}


def expected_states(case):
    method, kind, action, stage = case
    if action not in REFUSED_ACTIONS or method == "cursor":
        return ("ok", "error")
    if kind in PARAMETER_HOOKS:
        return ("refused",)
    return ("refused", "ok", "error")


@pytest.mark.parametrize("case", [case_param(c) for c in CASES])
def test_hook_inside_call(outcomes, case):
    state, detail = outcomes[case]
    assert state in expected_states(case), "%s: %s" % (state, detail)
