# make demo | make test | make bench: each creates .venv and installs what it needs.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
# Build requirements, installed into the venv so the build directory stays valid between
# runs and rebuilds are incremental.
BUILD_REQS := "scikit-build-core>=0.10" "pybind11==2.13.6"

.PHONY: demo test bench readme-table install-% clean test-asan test-tsan

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip

install-%: $(PY)
	$(PIP) install -q $(BUILD_REQS)
	$(PIP) install -q --no-build-isolation ".[$*]"

demo: install-demo
	$(PY) examples/demo.py

# The numba peers of the benchmark are checked bit for bit here too (the sanitizer runs
# below leave them out: they skip without numba).
test: install-test,bench
	$(PY) -m pytest

# Prints the tables and writes a JSON record under bench/results/; `make readme-table`
# puts the newest record (or RECORD=path) into the README's performance section, and
# `bench/record.py compare OLD NEW` sets two records side by side.
bench: install-bench
	$(PY) bench/run.py

readme-table: $(PY)
	$(PY) bench/record.py readme $(RECORD)

# The test suite against builds with sanitizers, each in a venv and build directory of
# its own. The interpreter itself is not instrumented, so the runtime is preloaded.
# pytest captures only Python's streams (--capture=sys): a sanitizer writes its report to
# file descriptor 2 and then ends the process, and a report captured at that level would be
# lost with it.
SAN_COMMON := -fno-omit-frame-pointer -g
ASAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined $(SAN_COMMON)
TSAN_FLAGS := -fsanitize=thread $(SAN_COMMON)

define san_install
	test -x .venv-$(1)/bin/python || $(PYTHON) -m venv .venv-$(1)
	.venv-$(1)/bin/python -m pip install -q $(BUILD_REQS)
	FK_EXTRA_FLAGS="$(2)" .venv-$(1)/bin/python -m pip install -q --no-build-isolation \
	  -C build-dir=build/$(1) -C cmake.define.CMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF ".[test]"
endef

SAN_PYTEST := -m pytest -p no:cacheprovider --capture=sys

test-asan:
	$(call san_install,asan,$(ASAN_FLAGS))
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  .venv-asan/bin/python $(SAN_PYTEST)

# No deadlock detection: the modules take no locks, and the detector's table of locks held
# at once overflows (an internal check failure that ends the process) when pyarrow's
# allocator takes all its arena locks before a fork, as it does whenever the dask tests
# start a subprocess.
test-tsan:
	$(call san_install,tsan,$(TSAN_FLAGS))
	LD_PRELOAD="$$(g++ -print-file-name=libtsan.so)" TSAN_OPTIONS="halt_on_error=1 detect_deadlocks=0" \
	  .venv-tsan/bin/python $(SAN_PYTEST)

clean:
	rm -rf build $(VENV) .venv-asan .venv-tsan examples/out
