# make demo | make test | make bench: each creates .venv and installs what it needs.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
# Build requirements, installed into the venv so the build directory stays valid between
# runs and rebuilds are incremental.
BUILD_REQS := "scikit-build-core>=0.10" "pybind11==2.13.6"

.PHONY: demo test test-quick lint bench bench-scale readme-table install-% clean test-asan \
	test-tsan clang fuzz-install fuzz coverage browser

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip

# The test and benchmark installs also build the test-only extensions (see CMakeLists.txt)
# and let the suite choose each module's instruction set (FK_TEST_DISPATCH): it compares
# every path this CPU runs, the benchmark times them.
TEST_BUILD := -C cmake.define.FK_TEST_EXTENSIONS=ON -C cmake.define.FK_TEST_DISPATCH=ON

install-%: $(PY)
	$(PIP) install -q $(BUILD_REQS)
	$(PIP) install -q --no-build-isolation \
	  $(if $(findstring test,$*)$(findstring bench,$*),$(TEST_BUILD)) ".[$*]"

# The demo script, then the command on the same shipped panel: the full table and the report.
demo: install-demo
	$(PY) examples/demo.py
	mkdir -p examples/out
	$(VENV)/bin/fundkernels --output examples/out/indicators.csv --report examples/out/report.html
	@echo "table written to examples/out/indicators.csv, report to examples/out/report.html"

# The numba peers of the benchmark are checked bit for bit here too (the sanitizer runs
# below leave them out: they skip without numba). One worker process per core, each test
# module whole in one of them (its cluster or large fixture made once); the sanitizer runs
# stay in one process.
test: install-test,bench browser
	$(PY) -m pytest -n auto --dist loadfile

# The edit-test loop: the suite without the tests marked slow (compilers, subprocesses,
# clusters, large inputs), each property test on a fifth of its examples; CI runs them all.
test-quick: install-test,bench
	FK_QUICK_EXAMPLES=1 $(PY) -m pytest -m "not slow" -n auto

# The Python linter and formatter check, their rules in pyproject.toml (`ruff format .` fixes
# the layout). ruff comes with the test extra, or alone here.
lint: $(PY)
	test -x $(VENV)/bin/ruff || $(PIP) install -q "ruff==0.17.6"
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .

# Debian's chromium, in which the suite renders the report (those tests skip without it).
browser:
	@command -v chromium >/dev/null || { apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium >/dev/null; } || \
	  echo "chromium could not be installed: the report's browser tests will skip"

# Prints the tables and writes a JSON record under bench/results/; `make readme-table`
# puts the newest record (or RECORD=path) into the README's performance section, and
# `bench/record.py compare OLD NEW` sets two records side by side.
bench: install-bench
	$(PY) -m bench.run
	$(PY) -m bench.frontends
	$(PY) -m bench.calendar
	$(PY) -m bench.cli

# The command with --engine dask on a long table of daily NAVs, 100,000 funds x 5,040
# business days (about 504 million rows, 4.3 GB of Parquet), written once into SCALE_DIR
# (outside the repository; mind its disk), against one read of it by DuckDB; peak memory
# by /usr/bin/time. The record goes to bench/results/scale/. SCALE_FUNDS and SCALE_DAYS
# make it smaller; SCALE_CALENDAR=panel runs the indicators on the panel's calendar.
SCALE_DIR ?= /tmp/fundkernels-scale
SCALE_FUNDS ?= 100000
SCALE_DAYS ?= 5040
SCALE_CALENDAR ?= own
bench-scale: install-bench,cli
	$(PY) -m bench.scale --scratch $(SCALE_DIR) --funds $(SCALE_FUNDS) --days $(SCALE_DAYS) \
	  --calendar $(SCALE_CALENDAR) --record

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
	  -C build-dir=build/$(1) -C cmake.define.CMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF \
	  $(TEST_BUILD) ".[test]"
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
# Two libraries we do not build cannot run under the thread sanitizer's runtime: polars'
# compiled library ends the interpreter with a segmentation fault when imported, so it is
# left out of this venv and its tests skip; and the tests that read files through pyarrow's
# thread pool (the command's, the long tables' on dask: marked `arrow_threads`) end on the
# sanitizer's reports of races inside pyarrow's own (uninstrumented) futures. pyarrow's
# allocator (mimalloc, whose per-thread heaps race the same way) is swapped for the system's,
# for tables made on threads of our own. The other suites run both.
test-tsan:
	$(call san_install,tsan,$(TSAN_FLAGS))
	.venv-tsan/bin/python -m pip uninstall -q -y polars
	LD_PRELOAD="$$(g++ -print-file-name=libtsan.so)" TSAN_OPTIONS="halt_on_error=1 detect_deadlocks=0" \
	ARROW_DEFAULT_MEMORY_POOL=system .venv-tsan/bin/python $(SAN_PYTEST) -m "not arrow_threads"

# Fuzzing: the modules built by clang with the fuzzer's coverage instrumentation,
# AddressSanitizer and UndefinedBehaviorSanitizer, driven by atheris through every target
# in fuzz/targets.py for FUZZ_SECONDS each (corpus in fuzz/corpus/, not kept in git).
# atheris is built from source against the same clang: the wheel carries no sanitizer
# runtime, while the source build makes one library holding ASan, UBSan and libFuzzer,
# which is preloaded into the (uninstrumented) interpreter. That library has no C++ part of
# UBSan, so the two checks that need it (vptr and function: dynamic types of polymorphic
# objects and of functions called through pointers) are left out.
CLANG_VERSION := 14
CLANG   := clang-$(CLANG_VERSION)
CLANGXX := clang++-$(CLANG_VERSION)
FUZZ_SECONDS ?= 60
FUZZ_PY := .venv-fuzz/bin/python
FUZZ_CFLAGS := -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=vptr,function \
  -fno-sanitize-recover=undefined $(SAN_COMMON)
ATHERIS := atheris==3.0.0

clang:
	command -v $(CLANGXX) >/dev/null && \
	  test -f "$$($(CLANG) -print-file-name=libclang_rt.fuzzer_no_main-x86_64.a)" || \
	  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
	      $(CLANG) libclang-rt-$(CLANG_VERSION)-dev >/dev/null; }

fuzz-install: clang
	test -x $(FUZZ_PY) || $(PYTHON) -m venv .venv-fuzz
	$(FUZZ_PY) -m pip install -q $(BUILD_REQS)
	$(FUZZ_PY) -c "import atheris" 2>/dev/null || CLANG_BIN="$$(command -v $(CLANG))" \
	  $(FUZZ_PY) -m pip install -q --no-binary atheris "$(ATHERIS)"
	CC=$(CLANG) CXX=$(CLANGXX) FK_EXTRA_FLAGS="$(FUZZ_CFLAGS)" $(FUZZ_PY) -m pip install -q \
	  --no-build-isolation -C build-dir=build/fuzz \
	  -C cmake.define.CMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF .

fuzz: fuzz-install
	LD_PRELOAD="$$($(FUZZ_PY) -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(FUZZ_PY) -m fuzz.run --seconds $(FUZZ_SECONDS)

# Line and branch coverage of the C++ under the whole test suite, per file (gcov through
# gcovr). Built without optimisation so that lines map to code one to one, and with atomic
# counter updates: the worker threads run the same lines at once. Some of the suite's child
# processes give up root (to user 65534) before they call the modules; their counts reach
# the data files only if anyone may write those, hence the open directories and umask.
# A template's line counts once, reached if any of its instances reaches it.
GCOVR := .venv-coverage/bin/gcovr -r . build/coverage --filter 'common/' \
  --filter '[a-z]+/[a-z]+\.cpp' --exclude-throw-branches --exclude-unreachable-branches \
  --merge-lines --txt

coverage:
	$(call san_install,coverage,--coverage -fprofile-update=atomic -O0)
	.venv-coverage/bin/python -m pip install -q "gcovr>=8"
	find build/coverage -name '*.gcda' -delete
	find build/coverage -type d -exec chmod a+w {} +
	umask 000 && .venv-coverage/bin/python -m pytest -p no:cacheprovider -q
	$(GCOVR) --txt-metric line
	$(GCOVR) --txt-metric branch

clean:
	rm -rf build $(VENV) .venv-asan .venv-tsan .venv-fuzz .venv-coverage examples/out
