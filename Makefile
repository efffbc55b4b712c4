# Entry points: make demo, make test, make build, make test-asan, make bench.
# Every target installs what is missing (apt-get) before it builds.

PYTHON ?= /usr/bin/python3
PYTHON39 ?= $(shell scripts/find-python39)
# The interpreter's own executable (a pyenv shim may refuse a version it has).
PYTHON_EXE := $(shell scripts/resolve-python $(PYTHON))
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= 2

# The interpreters the test suite runs under: the system python3 and CPython 3.9.
TEST_PYTHONS := $(PYTHON_EXE) $(PYTHON39)
empty :=
space := $(empty) $(empty)
semi := ;

.PHONY: all deps build build-all test test-unit test-asan demo bench clean

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

# Every test, then the unit tests once more under the sanitizers.
test: build-all
	BUILD=$(BUILD) scripts/with-pg-server scripts/run-tests $(TEST_PYTHONS)
	$(MAKE) --no-print-directory test-asan

# The sanitized build needs only the driver and the double.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DZT_SANITIZE=ON -DZT_PYTHONS="$(PYTHON_EXE)" >/dev/null
	cmake --build $(ASAN_BUILD) -j$(JOBS) --target pyztdb_unit_1
	BUILD=$(ASAN_BUILD) scripts/run-asan-tests $(PYTHON_EXE)

demo: build
	BUILD=$(BUILD) scripts/with-pg-server scripts/run-demo $(PYTHON_EXE)

bench: build
	@scripts/install-deps --bench
	cmake --build $(BUILD) -j$(JOBS) --target bench-programs
	BUILD=$(BUILD) scripts/with-pg-server scripts/run-bench $(PYTHON_EXE)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
