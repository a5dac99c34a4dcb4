# Two entry points for a newcomer: `make demo` (the main job) and `make test`
# (every test). Each sets up the virtual environment and the build it needs.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
# What the demo needs (the build and its libraries), then what the tests need.
DEMO_STAMP := $(VENV)/.demo-stamp
STAMP := $(VENV)/.deps-stamp
INSTALL_STAMP := $(VENV)/.install-stamp
CORE_BUILD := build/core

.PHONY: demo test venv install lint core-tests cpp-consumer bench format clean wheel test-dist docs

$(PY):
	@echo "==> creating the virtual environment in $(VENV)"
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --disable-pip-version-check --upgrade pip

$(DEMO_STAMP): requirements-demo.txt | $(PY)
	bash scripts/ensure-system-deps.sh demo
	@echo "==> installing the demo's Python packages (numpy, pandas, dask; a minute or two)"
	$(PIP) install --disable-pip-version-check --progress-bar on -r requirements-demo.txt
	touch $@

$(STAMP): requirements-dev.txt $(DEMO_STAMP)
	bash scripts/ensure-system-deps.sh test
	bash scripts/ensure-wheel-deps.sh
	@echo "==> installing the test tools (pytest, Spark, mypy, clang-format, Zig, ...; a few minutes)"
	$(PIP) install --disable-pip-version-check --progress-bar on -r requirements-dev.txt
	touch $@

venv: $(STAMP)

# Built and installed again only when a file it is built from changed.
INSTALL_SOURCES := CMakeLists.txt pyproject.toml README.md \
	$(shell find cmake src bindings python -type f -not -path '*/__pycache__/*' 2>/dev/null)

$(INSTALL_STAMP): $(DEMO_STAMP) $(INSTALL_SOURCES)
	@echo "==> building the extension and installing tallix into $(VENV) (a minute or two the first time)"
	$(PIP) install --quiet --disable-pip-version-check --no-build-isolation --no-deps .
	touch $@

install: $(INSTALL_STAMP)

# The core as a C++ user installs it (no Python, no tests) into a scratch
# prefix, and examples/cpp built against it with CMake and with pkg-config.
# The build folders are kept, so a second run rebuilds only what changed.
CPP_CORE_BUILD := build/cpp-core
CPP_PREFIX := build/cpp-prefix
CPP_CONSUMER_BUILD := build/cpp-consumer

cpp-consumer: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(CPP_CORE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DTALLIX_PYTHON=OFF -DTALLIX_CORE_TESTS=OFF
	$(VENV)/bin/cmake --build $(CPP_CORE_BUILD) -j2
	rm -rf $(CPP_PREFIX)
	$(VENV)/bin/cmake --install $(CPP_CORE_BUILD) --prefix $(CPP_PREFIX) >/dev/null
	CMAKE=$(abspath $(VENV)/bin/cmake) NINJA=$(abspath $(VENV)/bin/ninja) \
		bash scripts/check_cpp_consumer.sh $(CPP_PREFIX) $(CPP_CONSUMER_BUILD)

# The layout of every file as the formatters leave it, and ruff's checks
# (pyproject.toml) over every Python file.
lint: $(STAMP)
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/ruff check .
	git ls-files '*.cpp' '*.hpp' | xargs $(VENV)/bin/clang-format --dry-run --Werror

# CTest runs the core tests (one test, the executable); their tally comes from
# its log, as CTest shows a test's own output only when it fails.
core-tests: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(CORE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build $(CORE_BUILD) -j2 --target core_tests
	$(VENV)/bin/ctest --test-dir $(CORE_BUILD) --output-on-failure
	@grep -h '^core:' $(CORE_BUILD)/Testing/Temporary/LastTest.log

# The documentation site, into build/docs: every warning an error (broken links
# and anchors included); its figures are drawn from runs of the installed tallix.
# Run as a module: the mkdocs script would put .venv/bin, where the `tallix`
# command lives, first on the path, and the API reference would read that.
docs: $(STAMP) install
	NO_MKDOCS_2_WARNING=1 $(PY) -m mkdocs build --strict --site-dir build/docs
	@grep -q 'id="tallix.SumF64.extend"' build/docs/reference/tallix.html || \
		{ echo "docs: the API reference of tallix came out empty"; exit 1; }

test: $(STAMP) lint install core-tests cpp-consumer docs
	cd tests && ../$(PY) -m pytest -q -p no:cacheprovider .
	$(MAKE) --no-print-directory test-dist

# The sdist (tracked files only) and the manylinux wheel built from it, in dist/.
wheel: $(STAMP)
	PYTHON=$(PY) bash scripts/build_dist.sh . dist

# What a user installs: the sdist's file list, the wheel's bundled libraries and
# licences, and the whole suite run against the wheel in a fresh environment.
test-dist: $(STAMP)
	PYTHON=$(PY) BASE_PYTHON=$(PYTHON) bash scripts/check_dist.sh

demo: install
	$(PY) examples/demo.py

# numpy is a peer here: the OpenBLAS overrides some machines set (see the
# environment notes) would slow it, so they are dropped for these runs only.
BENCH_ENV := env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE

# The batch kernels first, in every form this processor has, beside a plain
# loop over the same arrays; the run also checks that the forms' bytes agree.
# Under an emulator, KERNEL_BENCH_ARGS=--bytes-only (its times mean nothing).
BENCH_BUILD := build/bench
KERNEL_BENCH_ARGS ?=

bench: install
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(PY)) \
		-DTALLIX_CORE_TESTS=ON
	$(VENV)/bin/cmake --build $(BENCH_BUILD) -j2 --target kernel_bench
	./$(BENCH_BUILD)/kernel_bench $(KERNEL_BENCH_ARGS)
	$(PIP) install -q xsum
	$(BENCH_ENV) $(PY) benchmarks/bench.py
	$(BENCH_ENV) $(PY) benchmarks/bench_stack.py
	$(BENCH_ENV) $(PY) benchmarks/bench_numpy.py
	$(BENCH_ENV) $(PY) benchmarks/bench_groups.py
	$(BENCH_ENV) $(PY) benchmarks/bench_rolling.py

format: $(STAMP)
	git ls-files '*.cpp' '*.hpp' | xargs $(VENV)/bin/clang-format -i
	$(VENV)/bin/ruff check --quiet --select I --fix .
	$(VENV)/bin/ruff format --quiet .

clean:
	rm -rf build dist $(VENV)

# Hardening: coverage-guided fuzzing of the core, the whole test suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the reproducibility
# matrix of compilers, optimisation levels and fma routines.
SAN_BUILD := build/sanitize
FUZZ_SECONDS ?= 30
SAN_PRELOAD = $$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)

.PHONY: fuzz test-sanitize repro

fuzz: $(STAMP)
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash fuzz/run.sh

# libstdc++ is preloaded with the runtime so that its exception interceptor
# finds __cxa_throw (the interpreter itself does not link libstdc++).
test-sanitize: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DTALLIX_SANITIZE=ON -DCMAKE_CXX_COMPILER=g++ \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build $(SAN_BUILD) -j2
	$(SAN_BUILD)/core_tests
	cd tests && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
		LD_PRELOAD="$(SAN_PRELOAD)" PYTHONPATH=../$(SAN_BUILD) \
		../$(PY) -c "import tallix; assert '$(SAN_BUILD)' in tallix.__file__, tallix.__file__"
	cd tests && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
		LD_PRELOAD="$(SAN_PRELOAD)" PYTHONPATH=../$(SAN_BUILD) \
		../$(PY) -m pytest -q -p no:cacheprovider .

repro: $(STAMP)
	bash scripts/repro_matrix.sh
