# Entry points: make demo, make test, make build, make test-asan, make bench, make soak,
# make fuzz, make mutate; the inner loop: make unit T=..., make it T=... (CONTRIBUTING.md).
# Packaging: pip install ., pip install -e ., python3 -m build (tools/ztcondb_build.py).
# Every target installs what is missing (apt-get) before it builds.

PYTHON ?= /usr/bin/python3
PYTHON39 ?= $(shell scripts/find-python39)
# The interpreter's own executable (a pyenv shim may refuse a version it has).
PYTHON_EXE := $(shell scripts/resolve-python $(PYTHON))
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS ?= 2
# Where make test collects each suite's counts for its closing summary.
SUMMARY = $(abspath $(BUILD))/test-summary.tsv

# No "Entering/Leaving directory" lines from the recursive makes (ours and CMake's).
MAKEFLAGS += --no-print-directory

# The interpreters the test suite runs under: the system python3 and CPython 3.9.
TEST_PYTHONS := $(PYTHON_EXE) $(PYTHON39)
empty :=
space := $(empty) $(empty)
semi := ;

.PHONY: all deps build build-all unit it test test-unit test-asan test-tsan demo bench bench-quick bench-lib soak fuzz mutate sqla-compare clean

all: build

deps:
	@scripts/install-deps

# The module for $(PYTHON) (or PYTHON=python3.9), linked with our libzotusql.
build: deps
	cmake -S . -B $(BUILD) -DZT_PYTHONS="$(PYTHON_EXE)" >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

# Everything the tests need, for every test interpreter.
build-all: deps
	cmake -S . -B $(BUILD) -DZT_PYTHONS="$(subst $(space),$(semi),$(strip $(TEST_PYTHONS)))" >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

# The inner loop: rebuild what changed, then run one test file, folder or node id (T)
# with the system interpreter, against the test double (unit) or against a throwaway
# server (it), e.g. make unit T=tests/unit/test_fetch.py, make it T="tests/integration/
# test_pool.py -k close". Without T, the whole folder. PYTEST_ARGS go to pytest.
T ?=
# Quiet when it succeeds; the compiler's output when it fails.
INNER_BUILD = cmake --build $(BUILD) -j$(JOBS) >$(BUILD)/last-build.log 2>&1 || { cat $(BUILD)/last-build.log; exit 1; }
PYTEST = $(PYTHON_EXE) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)
unit: $(BUILD)/CMakeCache.txt
	@$(INNER_BUILD)
	ZT_BUILD_DIR=$(abspath $(BUILD)) $(PYTEST) $(or $(T),tests/unit)

it: $(BUILD)/CMakeCache.txt
	@$(INNER_BUILD)
	ZT_BUILD_DIR=$(abspath $(BUILD)) scripts/with-pg-server $(PYTEST) $(or $(T),tests/integration)

# The first build of the inner loop (make build-all configures the same folder).
$(BUILD)/CMakeCache.txt:
	@$(MAKE) build

# Every test, and beside it (the other core) every test once more under the sanitizers
# and the threaded ones under ThreadSanitizer (scripts/run-all-tests); the last line
# counts the whole run ("total: N passed, N failed, N skipped"), after one line per suite
# and a warning when no CPython 3.9 took part.
test: build-all
	@BUILD=$(BUILD) ZT_SUMMARY=$(SUMMARY) MAKE="$(MAKE)" scripts/run-all-tests "$(PYTHON39)" $(TEST_PYTHONS)

# The sanitized builds compile at -O1 with line tables only (-g1): all the sanitizers'
# reports need (file and line in every frame), in half the compile time of -O2 -g.
SANITIZED_FLAGS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"

# The library, the driver and the double built with the sanitizers; the library's tests,
# the unit tests and the integration tests run against them.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DZT_SANITIZE=ON $(SANITIZED_FLAGS) -DZT_PYTHONS="$(PYTHON_EXE)" >/dev/null
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	BUILD=$(ASAN_BUILD) scripts/with-pg-server scripts/run-asan-tests $(PYTHON_EXE)

# The driver and libzotusql built with ThreadSanitizer; the threaded integration tests
# run against a throwaway server.
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DZT_TSAN=ON $(SANITIZED_FLAGS) -DZT_BUILD_TESTS=OFF -DZT_PYTHONS="$(PYTHON_EXE)" >/dev/null
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target pyztdb_1
	BUILD=$(TSAN_BUILD) scripts/with-pg-server scripts/run-tsan-tests $(PYTHON_EXE)

# The examples against a throwaway server; KEEP_SERVER=1 leaves it running.
demo: build
	BUILD=$(BUILD) ZT_KEEP_SERVER=$(KEEP_SERVER) scripts/with-pg-server scripts/run-demo $(PYTHON_EXE)

# The driver beside its peers and the C libpq floor (bench/README.md); it starts its own
# server. BENCH_ARGS go to bench/run.py, e.g. BENCH_ARGS="--only fetch --runs 5".
bench: build
	@scripts/install-deps --bench
	cmake --build $(BUILD) -j$(JOBS) --target bench-programs
	BUILD=$(BUILD) scripts/run-bench $(PYTHON_EXE) $(BENCH_ARGS)

# One run of each job at small sizes: under a minute.
bench-quick:
	@$(MAKE) --no-print-directory bench BENCH_ARGS="--quick $(BENCH_ARGS)"

# The library's own C++ programs beside plain libpq loops.
bench-lib: build
	cmake --build $(BUILD) -j$(JOBS) --target bench-programs
	BUILD=$(BUILD) scripts/run-bench $(PYTHON_EXE) --lib

# 100,000 mixed cycles and 2,000 connect/close cycles: memory, descriptors, backends.
soak: build
	ZT_BUILD_DIR=$(abspath $(BUILD)) scripts/with-pg-server $(PYTHON_EXE) tools/soak.py

# A deeper run of the property-based fuzzing than make test's (FUZZ_EXAMPLES, FUZZ_SEED).
FUZZ_EXAMPLES ?= 5000
FUZZ_SEED ?= $(shell date +%s)
fuzz: build
	ZT_BUILD_DIR=$(abspath $(BUILD)) ZT_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) ZT_FUZZ_SEED=$(FUZZ_SEED) \
	    scripts/with-pg-server $(PYTHON_EXE) -m pytest -q -s -p no:cacheprovider tests/integration/test_fuzz.py

# SQLAlchemy's dialect suite under ztcondb and under psycopg2 against one throwaway
# server: the tests that fail under ztcondb only, each with its reason when known
# (tests/sqla/known.py); fails when one has none. make test runs the ztcondb half.
sqla-compare: build
	ZT_BUILD_DIR=$(abspath $(BUILD)) scripts/with-pg-server scripts/run-sqla-suite --compare /usr/bin/python3

# Planted faults (tests/mutants/README.md): each mutant of tests/mutants/*.toml applied in
# turn to a scratch copy under /tmp, built, and its named tests run against it; prints a
# table and the kill rate, and fails below 95 %. MUTANTS="AREA-OR-NAME ..." selects some,
# MUTATE_ARGS passes options (e.g. --timeout 300). Not part of make test; the runner's own
# self-test (tests/unit/test_mutate.py) is.
mutate: deps
	/usr/bin/python3 tools/mutate.py --fail-under 95 $(MUTATE_ARGS) $(MUTANTS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
