# make run   installs what is missing, builds and runs the demo workload
# make test  builds and runs every C++ and Python test (CI runs exactly this)
VENV   := .venv
PY     := $(VENV)/bin/python
CMAKE  := $(VENV)/bin/cmake
JOBS   ?= $(shell nproc)
CONFIG := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(PY))

.PHONY: deps build run test test-cpp test-asan test-tsan test-python clean

deps:
	@scripts/install-deps

build: deps
	$(CMAKE) -S . -B build/test $(CONFIG) -DQEL_TESTS=ON -DQEL_WERROR=ON -DQEL_PYTHON=ON
	$(CMAKE) --build build/test -j $(JOBS)

run: deps
	$(PY) -m pip install -q .
	cd /tmp && $(abspath $(PY)) -m qel demo

test: build test-cpp test-asan test-tsan test-python

test-cpp: build
	$(VENV)/bin/ctest --test-dir build/test --output-on-failure

# Every C++ suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	$(CMAKE) -S . -B build/asan $(CONFIG) -DQEL_TESTS=ON -DQEL_WERROR=ON -DQEL_PYTHON=OFF \
	  -DCMAKE_BUILD_TYPE=Debug -DQEL_SANITIZE=address,undefined
	$(CMAKE) --build build/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(VENV)/bin/ctest --test-dir build/asan --output-on-failure

# The threaded suites under ThreadSanitizer.
test-tsan: deps
	$(CMAKE) -S . -B build/tsan $(CONFIG) -DQEL_TESTS=ON -DQEL_WERROR=ON -DQEL_PYTHON=OFF \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_SANITIZE=thread
	$(CMAKE) --build build/tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch $$(uname -m) -R \
	  $(VENV)/bin/ctest --test-dir build/tsan --output-on-failure -L 'engine|core'

test-python: build
	PYTHONPATH=python $(PY) -m pytest -q tests/python

clean:
	rm -rf build python/qel/_native*.so
