# Set-up and checks. `make demo` runs the main job, `make test` the whole suite;
# both create .venv and install what they need on first use.
PY ?= python3
VENV := .venv
BIN := $(VENV)/bin
# doctest for the C++ core tests, the sanitizer runtimes for their checked builds, chromium for the report page check.
SYSTEM_PACKAGES := doctest-dev libasan8 libubsan1 libtsan2 chromium

.PHONY: demo test lint install system-deps cpp-test cpp-sanitize py-test py-sanitize bench clean

# The build tools pinned as in pyproject.toml: the generated stubs are compared with tests/stubs.
BUILD_TOOLS := "scikit-build-core==1.1.2" "nanobind==3.1.0"

$(BIN)/python:
	$(PY) -m venv $(VENV)
	$(BIN)/python -m pip install -q --upgrade pip
	$(BIN)/python -m pip install -q $(BUILD_TOOLS)

# Editable install: Python files are live; C++ rebuilds incrementally in build/editable.
install: $(BIN)/python
	$(BIN)/python -m pip install -q --no-build-isolation -Cbuild-dir=build/editable \
	  -Ccmake.define.VKB_WARNINGS_AS_ERRORS=ON -e ".[test]"

system-deps:
	@missing=""; for p in $(SYSTEM_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; fi; \
	fi

cpp-test: system-deps
	cmake -S cpp -B build/cpp-tests -DVKB_BUILD_TESTS=ON -DVKB_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/cpp-tests -j2
	ctest --test-dir build/cpp-tests --output-on-failure

# The core tests once under AddressSanitizer + UndefinedBehaviorSanitizer, once under ThreadSanitizer.
cpp-sanitize: system-deps
	cmake -S cpp -B build/cpp-asan -DVKB_BUILD_TESTS=ON -DVKB_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVKB_SANITIZE=address,undefined >/dev/null
	cmake --build build/cpp-asan -j2
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build/cpp-asan --output-on-failure
	cmake -S cpp -B build/cpp-tsan -DVKB_BUILD_TESTS=ON -DVKB_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVKB_SANITIZE=thread >/dev/null
	cmake --build build/cpp-tsan -j2
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/cpp-tsan --output-on-failure

py-test: install system-deps
	$(BIN)/python -m pytest -q

# The extension modules under AddressSanitizer + UndefinedBehaviorSanitizer, installed in their own venv
# from their own build folder, and the Python suite run through them with the gcc ASan runtime preloaded.
# Every sanitizer report goes to a file under $(SAN_LOGS), child interpreters' too, and fails the target.
# Leak checks stay off: CPython keeps much alive at exit on purpose. PYTHONMALLOC=malloc puts Python
# objects under ASan too. The browser check is left to py-test: chromium cannot run with ASan preloaded.
SAN_VENV := .venv-asan
SAN_BIN := $(SAN_VENV)/bin
SAN_LOGS := build/asan-logs
# libstdc++ preloaded too: ASan hooks its exception throw at start, before Python would load it.
SAN_RUNTIME = $(shell gcc -print-file-name=libasan.so.8):$(shell g++ -print-file-name=libstdc++.so.6)

$(SAN_BIN)/python:
	$(PY) -m venv $(SAN_VENV)
	$(SAN_BIN)/python -m pip install -q --upgrade pip
	$(SAN_BIN)/python -m pip install -q $(BUILD_TOOLS)

py-sanitize: system-deps $(SAN_BIN)/python
	CMAKE_BUILD_PARALLEL_LEVEL=2 $(SAN_BIN)/python -m pip install -q --no-build-isolation -Cbuild-dir=build/asan-ext \
	  -Ccmake.build-type=RelWithDebInfo -Ccmake.define.VKB_SANITIZE=address,undefined \
	  -Ccmake.define.VKB_WARNINGS_AS_ERRORS=ON ".[test]"
	rm -rf $(SAN_LOGS) && mkdir -p $(SAN_LOGS)
	LD_PRELOAD=$(SAN_RUNTIME) PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:log_path=$(CURDIR)/$(SAN_LOGS)/asan \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(CURDIR)/$(SAN_LOGS)/ubsan \
	  $(SAN_BIN)/python -m pytest -q -p no:cacheprovider --ignore=tests/integration/test_report_page.py; status=$$?; \
	if [ -n "$$(ls $(SAN_LOGS))" ]; then cat $(SAN_LOGS)/*; echo "sanitizer reports above"; exit 1; fi; exit $$status

test: cpp-test cpp-sanitize py-test py-sanitize

# Style and types of the package, the examples, the tests and the benchmarks (settings in pyproject.toml).
lint: install
	$(BIN)/python -m pip install -q -e ".[test,lint]" --no-build-isolation -Cbuild-dir=build/editable \
	  -Ccmake.define.VKB_WARNINGS_AS_ERRORS=ON
	$(BIN)/ruff check src examples tests bench
	$(BIN)/mypy

demo: install
	$(BIN)/vorn-kest-backtest demo

bench: install
	$(BIN)/python bench/run_all.py

clean:
	rm -rf build $(VENV) $(SAN_VENV)
