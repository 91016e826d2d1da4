# make demo | make test | make bench: each creates .venv and installs what it needs.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
# Build requirements, installed into the venv so the build directory stays valid between
# runs and rebuilds are incremental.
BUILD_REQS := "scikit-build-core>=0.10" "pybind11==2.13.6"

.PHONY: demo test bench install-% clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip

install-%: $(PY)
	$(PIP) install -q $(BUILD_REQS)
	$(PIP) install -q --no-build-isolation ".[$*]"

demo: install-demo
	$(PY) examples/demo.py

test: install-test
	$(PY) -m pytest

bench: install-bench
	$(PY) bench/run.py

clean:
	rm -rf build $(VENV) examples/out
