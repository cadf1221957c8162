# The two commands of the README: `make demo` and `make test`.
# Both create the virtual environment when missing and (re)install the package.

VENV    ?= .venv
PYTHON  := $(VENV)/bin/python
STAMP   := $(VENV)/.tolvane-installed
# The development install also builds the test-only modules (the frame probe),
# in a build folder of its own so that CMake's cached option never leaks into a
# plain `pip install .`, which leaves them out.
TEST_BUILD := -Ccmake.define.TOLVANE_TEST_MODULES=ON -Cbuild-dir=build/test-{wheel_tag}
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name 'CMakeLists.txt') CMakeLists.txt pyproject.toml

.PHONY: demo test install inplace bench clean

$(PYTHON):
	"$$(tools/find-python)" -m venv $(VENV)
	$(PYTHON) -m pip install --quiet --upgrade pip
	$(PYTHON) -m pip install --quiet "scikit-build-core>=0.10" "nanobind>=3.0,<4" cmake ninja

$(STAMP): $(PYTHON) $(SOURCES)
	$(PYTHON) -m pip install --quiet --no-build-isolation $(TEST_BUILD) ".[test]"
	touch $(STAMP)

install: $(STAMP)

demo: install
	$(PYTHON) -m tolvane.demo

test: install
	$(PYTHON) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

# Builds the native modules into src/ for working on the sources directly
# (PYTHONPATH=src); the installed package is what `make test` exercises.
inplace: $(PYTHON)
	PATH=$(VENV)/bin:$$PATH cmake -S . -B build/inplace -DCMAKE_BUILD_TYPE=Release \
	    -DPython_EXECUTABLE=$(abspath $(PYTHON)) -DTOLVANE_TEST_MODULES=ON -G Ninja
	cmake --build build/inplace -j2
	cmake --install build/inplace --prefix src

bench: install
	for script in bench/bench_*.py; do $(PYTHON) $$script || exit 1; done

clean:
	rm -rf build dist $(VENV)
	find src -name '*.so' -delete
