"""The contract table (tests/contract/contract_table.h) against the test double: the same
calls and outcomes the library's own test (zotusql_it_tests, LibraryContract.*) checks
against a server. The table is C++ and runs in a program of its own, linked with the
double; a crash there is a failure here, not a lost run."""
import os
import subprocess

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("ZT_BUILD_DIR") or os.path.join(REPO, "build")


def test_double_keeps_the_library_contract():
    program = os.path.join(BUILD, "tests", "double_contract_tests")
    assert os.path.exists(program), "build the tests first (make build)"
    done = subprocess.run([program, "--gtest_brief=1"], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "4 tests" in done.stdout
