# The two commands of the README: `make demo` and `make test`.
# Both create the virtual environment when missing and (re)install the package.

VENV    ?= .venv
PYTHON  := $(VENV)/bin/python
STAMP   := $(VENV)/.tolvane-installed
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name 'CMakeLists.txt') CMakeLists.txt pyproject.toml

.PHONY: demo test install inplace bench clean

$(PYTHON):
	"$$(tools/find-python)" -m venv $(VENV)
	$(PYTHON) -m pip install --quiet --upgrade pip
	$(PYTHON) -m pip install --quiet "scikit-build-core>=0.10" "nanobind>=3.0,<4" cmake ninja

$(STAMP): $(PYTHON) $(SOURCES)
	$(PYTHON) -m pip install --quiet --no-build-isolation ".[test]"
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
	    -DPython_EXECUTABLE=$(abspath $(PYTHON)) -G Ninja
	cmake --build build/inplace -j2
	cmake --install build/inplace --prefix src

bench: install
	for script in bench/bench_*.py; do $(PYTHON) $$script || exit 1; done

clean:
	rm -rf build dist $(VENV)
	find src -name '*.so' -delete
