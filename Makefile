# Two entry points for a newcomer: `make demo` (the main job) and `make test`
# (every test). Each sets up the virtual environment and the build it needs.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
STAMP := $(VENV)/.deps-stamp
CORE_BUILD := build/core

.PHONY: demo test venv install core-tests bench clean

$(STAMP): requirements-dev.txt
	bash scripts/ensure-system-deps.sh
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q -r requirements-dev.txt
	touch $(STAMP)

venv: $(STAMP)

install: $(STAMP)
	$(PIP) install -q --no-build-isolation .

core-tests: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(CORE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build $(CORE_BUILD) -j2 --target core_tests
	$(CORE_BUILD)/core_tests

test: install core-tests
	cd tests && ../$(PY) -m pytest -q -p no:cacheprovider .

demo: install
	$(PY) examples/demo.py

bench: install
	$(PIP) install -q xsum
	$(PY) benchmarks/bench.py

clean:
	rm -rf build $(VENV)
