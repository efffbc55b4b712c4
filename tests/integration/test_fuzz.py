"""Property-based fuzzing of the driver (fuzz_calls.py) in a process of its own, so that
a crash fails this test with the call that caused it instead of ending the run. Bounded
in make test (a fixed seed and example count); make fuzz sets ZT_FUZZ_EXAMPLES and
ZT_FUZZ_SEED for a deeper run.
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = int(os.environ.get("ZT_FUZZ_EXAMPLES", "150"))
SEED = int(os.environ.get("ZT_FUZZ_SEED", "20261207"))


def test_generated_calls_and_round_trips(pg, tmp_path):
    # The output may hold the driver's GBK diagnostic line, hence errors="replace".
    proc = subprocess.run([sys.executable, os.path.join(HERE, "fuzz_calls.py"), pg["host"],
                           str(pg["port"]), pg["db"], pg["user"], str(EXAMPLES), str(SEED)],
                          cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, errors="replace", timeout=3600)
    last = tmp_path / "fuzz-last-call.txt"
    last_call = last.read_text() if last.exists() else "-"
    assert proc.returncode == 0, "exit %d (seed %d); last call: %s\n%s" % (
        proc.returncode, SEED, last_call, proc.stdout[-8000:])
    calls = re.search(r"^(\d+) generated calls$", proc.stdout, re.M)
    assert calls and int(calls.group(1)) >= EXAMPLES, proc.stdout[-2000:]
    print("%s (seed %d, %d examples)" % (calls.group(0), SEED, EXAMPLES))
