# make run   - install what is missing, build, run the example simulation
# make test  - install what is missing, build, run the C++ and Python tests
# make bench - build and run the benchmark (see bench/README.md)

PYTHON   ?= python3
PYTHON39 ?= $(shell scripts/find-python.sh 3.9)
PYTHON313 ?= $(shell scripts/find-python.sh 3.13)
PYTHONS  := $(PYTHON39) $(PYTHON) $(PYTHON313)
BUILD    ?= build/cmake
EXAMPLE  ?= examples/lj_liquid.par

.PHONY: setup run test test-cpp test-python bench clean

setup:
	scripts/setup.sh $(PYTHONS)

run: setup
	$(PYTHON39) -m pip install -q --disable-pip-version-check --no-build-isolation .
	$(PYTHON39) examples/run.py $(EXAMPLE)

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
	$(MAKE) test-cpp test-python

bench: setup
	$(PYTHON39) -m pip install -q --disable-pip-version-check --no-build-isolation .
	$(PYTHON39) bench/bench.py

clean:
	rm -rf build
