# The two commands of the README: `make demo` and `make test`.
# Both create the virtual environment when missing and (re)install the package.

VENV    ?= .venv
PYTHON  := $(VENV)/bin/python
STAMP   := $(VENV)/.tolvane-installed
# The development install also builds the test-only modules (the frame probe),
# in a build folder of its own so that CMake's cached option never leaks into a
# plain `pip install .`, which leaves them out.
TEST_BUILD := -Ccmake.define.TOLVANE_TEST_MODULES=ON -Cbuild-dir=build/test-{wheel_tag}
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name 'CMakeLists.txt') \
           $(wildcard tests/native/*.cpp) CMakeLists.txt pyproject.toml

.PHONY: demo test install inplace sanitize bench clean lint

$(PYTHON):
	"$$(tools/find-python)" -m venv $(VENV)
	$(PYTHON) -m pip install --quiet --upgrade pip
	$(PYTHON) -m pip install --quiet "scikit-build-core>=0.10" "nanobind>=3.0,<4" cmake ninja

$(STAMP): $(PYTHON) $(SOURCES)
	$(PYTHON) -m pip install --quiet --no-build-isolation $(TEST_BUILD) ".[test]"
	touch $(STAMP)

install: $(STAMP)

demo: install
	@tools/ensure-cjk-font
	$(VENV)/bin/tolvane demo

test: install
	$(PYTHON) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

# Style and types: ruff's checks and formatting, mypy over the package and its
# stubs, clang-format over the C++ sources. The tools are the lint extra's
# pinned versions, so every machine formats alike; mypy reads the installed
# numpy and distributed, hence the package install first.
LINT_STAMP := $(VENV)/.tolvane-lint-tools
LINT_TOOLS := import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["lint"]))
CPP_SOURCES = $(shell find src tests -name '*.cpp' -o -name '*.hpp')

$(LINT_STAMP): $(PYTHON) pyproject.toml
	$(PYTHON) -c '$(LINT_TOOLS)' | $(PYTHON) -m pip install --quiet -r /dev/stdin
	touch $(LINT_STAMP)

lint: install $(LINT_STAMP)
	$(VENV)/bin/ruff check src tests bench examples
	$(VENV)/bin/ruff format --check src tests bench examples
	$(VENV)/bin/mypy
	@echo "clang-format --dry-run --Werror <the C++ sources>"
	@$(VENV)/bin/clang-format --dry-run --Werror $(CPP_SOURCES)

# Builds the native modules into src/ for working on the sources directly
# (PYTHONPATH=src); the installed package is what `make test` exercises.
inplace: $(PYTHON)
	PATH=$(VENV)/bin:$$PATH cmake -S . -B build/inplace -DCMAKE_BUILD_TYPE=Release \
	    -DPython_EXECUTABLE=$(abspath $(PYTHON)) -DTOLVANE_TEST_MODULES=ON -G Ninja
	cmake --build build/inplace -j2
	cmake --install build/inplace --prefix src

# The whole suite against native modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer into a folder of their own, put first on
# PYTHONPATH (the suite checks that it imports them). Any report aborts the
# run. The interpreter is not instrumented: libasan must be loaded first, and
# libstdc++ with it or ASan aborts on the first C++ exception.
SANITIZE_DIR   := build/sanitize
SANITIZE_SITE  := $(abspath $(SANITIZE_DIR)/site)
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer

sanitize: install
	PATH=$(VENV)/bin:$$PATH cmake -S . -B $(SANITIZE_DIR)/cmake -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DPython_EXECUTABLE=$(abspath $(PYTHON)) -DTOLVANE_TEST_MODULES=ON \
	    "-DCMAKE_CXX_FLAGS=$(SANITIZE_FLAGS)" "-DCMAKE_MODULE_LINKER_FLAGS=$(SANITIZE_FLAGS)"
	cmake --build $(SANITIZE_DIR)/cmake -j2
	rm -rf $(SANITIZE_SITE)
	mkdir -p $(SANITIZE_SITE)
	cp -R src/tolvane $(SANITIZE_SITE)/
	find $(SANITIZE_SITE) \( -name '*.so' -o -name '__pycache__' \) -prune -exec rm -rf {} +
	cmake --install $(SANITIZE_DIR)/cmake --prefix $(SANITIZE_SITE)
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so.6)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	PYTHONPATH=$(SANITIZE_SITE) TOLVANE_EXPECT_NATIVE_IN=$(SANITIZE_SITE) \
	    $(PYTHON) -m pytest -q -p no:cacheprovider --capture=sys $(PYTEST_ARGS)

bench: install
	for script in bench/bench_*.py; do $(PYTHON) $$script || exit 1; done

clean:
	rm -rf build dist $(VENV)
	find src -name '*.so' -delete
