"""make test's runner (scripts/run-all-tests) with stand-ins for the suites: the plain
tests and the sanitized lane beside them both count, a failure in either lane (also a
crash that prints no counts) fails the whole run, and the lane's output follows the
plain tests' output."""
import os
import shutil
import subprocess

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# A stand-in suite prints a pytest closing line for its counts, or nothing (a crash).
SUITE = """#!/usr/bin/env bash
case "$STANDIN_{name}" in
    pass) echo "{label} says hello"; echo "3 passed in 0.01s"; exit 0 ;;
    fail) echo "2 passed, 1 failed in 0.01s"; exit 1 ;;
    crash) echo "Segmentation fault"; exit 139 ;;
esac
"""
# make test-asan / make test-tsan
MAKE = """#!/usr/bin/env bash
sleep 0.2
case "$1" in test-asan) exec "$(dirname "$0")/asan" ;; test-tsan) exec "$(dirname "$0")/tsan" ;; esac
exit 2
"""


def _tree(tmp_path):
    scripts = tmp_path / "scripts"
    scripts.mkdir()
    for name in ("run-all-tests", "count-suite", "test-summary"):
        shutil.copy(os.path.join(REPO, "scripts", name), str(scripts / name))
    (scripts / "with-pg-server").write_text('#!/usr/bin/env bash\nexec "$@"\n')
    # run-tests counts one suite per interpreter, as the real one does.
    (scripts / "run-tests").write_text(
        '#!/usr/bin/env bash\nrc=0\nfor py in "$@"; do\n'
        '  "$(dirname "$0")/count-suite" "plain $py" "$(dirname "$0")/plain" || rc=1\n'
        'done\nexit $rc\n')
    for name, label in (("plain", "plain"), ("asan", "sanitized"), ("tsan", "threaded")):
        (scripts / name).write_text(SUITE.format(name=name.upper(), label=label))
    (scripts / "make").write_text(MAKE)
    for path in scripts.iterdir():
        path.chmod(0o755)
    return scripts


@pytest.mark.parametrize("plain, asan, tsan, status, total", [
    ("pass", "pass", "pass", 0, "total: 12 passed, 0 failed, 0 skipped"),
    ("fail", "pass", "pass", 1, "total: 10 passed, 2 failed, 0 skipped"),
    ("pass", "fail", "pass", 1, "total: 11 passed, 1 failed, 0 skipped"),
    ("pass", "pass", "crash", 1, "total: 9 passed, 1 failed, 0 skipped"),
    ("crash", "crash", "pass", 1, "total: 3 passed, 3 failed, 0 skipped"),
])
def test_both_lanes_count_and_any_failure_fails_the_run(tmp_path, plain, asan, tsan,
                                                         status, total):
    scripts = _tree(tmp_path)
    env = dict(os.environ, MAKE=str(scripts / "make"), ZT_SUMMARY=str(tmp_path / "s.tsv"),
               STANDIN_PLAIN=plain, STANDIN_ASAN=asan, STANDIN_TSAN=tsan)
    # The shell tools run without the sanitized run's preloaded runtime.
    env.pop("LD_PRELOAD", None)
    proc = subprocess.run([str(scripts / "run-all-tests"), "/py39", "/py3", "/py39"],
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=60)
    out = proc.stdout
    assert proc.returncode == status, out
    assert out.splitlines()[-1] == total, out
    assert "plain /py3" in out and "sanitized tests" in out, out
    assert "threaded tests under ThreadSanitizer" in out, out
    # The lane's output comes after the plain suites' and before the summary.
    lane = out.index("=== sanitized lane")
    assert out.rfind("plain says hello") < lane < out.index("== test summary"), out
    if asan == "pass":
        assert out.index("sanitized says hello") > lane, out
