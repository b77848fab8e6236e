# make run   installs what is missing, builds and runs the demo workload
# make test  builds and runs every C++ and Python test (CI runs exactly this)
VENV   := .venv
PY     := $(VENV)/bin/python
CMAKE  := $(VENV)/bin/cmake
JOBS   ?= $(shell nproc)
CONFIG := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(PY))

.PHONY: deps bench-deps build run wheel wheel-tests wheel-venv sources sdist typecheck test test-cpp test-clang test-asan test-tsan test-python fuzz test-fuzz stress bench-build bench bench-quick bench-scale clean

deps:
	@scripts/install-deps

build: deps
	$(CMAKE) -S . -B build/test $(CONFIG) -DQEL_TESTS=ON -DQEL_WERROR=ON -DQEL_PYTHON=ON
	$(CMAKE) --build build/test -j $(JOBS)

run: deps
	$(PY) -m pip install -q .
	cd /tmp && $(abspath $(PY)) -m qel demo

# A self-contained wheel in build/wheel/repaired for systems with the glibc of
# ZIG_TARGET or newer: zig's clang compiles against that glibc and links LLVM's
# libc++ in, ISA-L and libcrypto are built static from third_party/; built by
# scikit-build-core in a tree of its own (kept, with zig's cache, so rebuilds
# are incremental), then checked and tagged by auditwheel. The tree also
# knows the C++ suites, built there by wheel-tests to run on older systems.
WHEEL_DIR     := build/wheel
ZIG_TARGET    ?= x86_64-linux-gnu.2.28
GTEST_SOURCES ?= /usr/src/googletest
ZIG_CACHE     ?= build/zig-cache
ZIG_ENV       := ZIG_GLOBAL_CACHE_DIR=$(abspath $(ZIG_CACHE))
ZIG_CONFIG    := -Ccmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath cmake/zig-toolchain.cmake) \
                 -Ccmake.define.QEL_ZIG_TARGET=$(ZIG_TARGET) -Cbuild.targets=_native \
                 -Ccmake.define.QEL_TESTS=ON -Ccmake.define.QEL_GTEST_SOURCES=$(GTEST_SOURCES)
wheel: deps sources
	rm -rf $(WHEEL_DIR)/dist $(WHEEL_DIR)/repaired
	$(ZIG_ENV) $(PY) -m pip wheel -q --no-build-isolation --no-deps -w $(WHEEL_DIR)/dist -Cbuild-dir=$(WHEEL_DIR)/tree \
	  $(ZIG_CONFIG) .
	PATH=$(abspath $(VENV)/bin):$$PATH $(VENV)/bin/auditwheel repair -w $(WHEEL_DIR)/repaired $(WHEEL_DIR)/dist/*.whl
	PATH=$(abspath $(VENV)/bin):$$PATH $(VENV)/bin/auditwheel show $(WHEEL_DIR)/repaired/*.whl

wheel-tests: wheel
	$(ZIG_ENV) $(CMAKE) --build $(WHEEL_DIR)/tree -j $(JOBS) --target qel_store_tests qel_engine_tests qel_core_tests

# The release sources of ISA-L, OpenSSL and xxHash, for the wheel and the sdist.
sources:
	@scripts/fetch-sources

# An sdist in build/sdist that builds where a C++20 compiler and CMake are: it
# links the system's ISA-L, libcrypto and xxHash when their development
# packages are installed, else builds them from the sources it carries.
sdist: deps sources
	rm -rf build/sdist
	$(PY) -c 'from scikit_build_core.build import build_sdist; build_sdist("build/sdist")'

test: build test-cpp test-clang test-asan test-tsan test-python test-fuzz

test-cpp: build
	$(VENV)/bin/ctest --test-dir build/test --output-on-failure --no-tests=error

# The C++ suites built by clang, whose -Wthread-safety checks the locking
# against its annotations; unoptimised, so the build is short, and with
# asserts. Only the suites of the locked code run: the check is the build.
CLANG_SUITES := qel_store_tests qel_engine_tests qel_core_tests
test-clang: deps
	$(CMAKE) -S . -B build/clang $(CONFIG) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=Debug -DQEL_TESTS=ON -DQEL_WERROR=ON -DQEL_PYTHON=OFF
	$(CMAKE) --build build/clang -j $(JOBS) --target $(CLANG_SUITES)
	$(VENV)/bin/ctest --test-dir build/clang --output-on-failure --no-tests=error -L 'engine|core'

# Every C++ suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	$(CMAKE) -S . -B build/asan $(CONFIG) -DQEL_TESTS=ON -DQEL_WERROR=ON -DQEL_PYTHON=OFF \
	  -DCMAKE_BUILD_TYPE=Debug -DQEL_SANITIZE=address,undefined
	$(CMAKE) --build build/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(VENV)/bin/ctest --test-dir build/asan --output-on-failure --no-tests=error

# The threaded suites under ThreadSanitizer.
test-tsan: deps
	$(CMAKE) -S . -B build/tsan $(CONFIG) -DQEL_TESTS=ON -DQEL_WERROR=ON -DQEL_PYTHON=OFF \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_SANITIZE=thread
	$(CMAKE) --build build/tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch $$(uname -m) -R \
	  $(VENV)/bin/ctest --test-dir build/tsan --output-on-failure --no-tests=error -L 'engine|core'

# The Python suites run against what ships: the repaired wheel, installed into
# a virtual environment made afresh each time. The test tools come from .venv,
# whose site-packages a .pth file puts after the fresh environment's own, so
# that qel itself resolves only to the wheel. The tests assert it does.
WHEEL_VENV := build/venv-wheel
wheel-venv: wheel
	rm -rf $(WHEEL_VENV)
	$(PY) -m venv --without-pip $(WHEEL_VENV)
	$(PY) -m pip --python $(WHEEL_VENV)/bin/python install -q --no-index --no-deps $(WHEEL_DIR)/repaired/*.whl
	$(PY) -c 'import site; print(site.getsitepackages()[0])' \
	  >"$$($(WHEEL_VENV)/bin/python -c 'import site; print(site.getsitepackages()[0])')/zz-development-tools.pth"

# build makes the fault-injection shim that the fault suites preload.
test-python: build wheel-venv typecheck
	$(WHEEL_VENV)/bin/python -m pytest -q tests/python

# The package's own annotations, and the stubs against the built module.
typecheck: build
	PYTHONPATH=python $(PY) -m mypy --strict python/qel
	PYTHONPATH=python $(PY) -m mypy.stubtest --allowlist python/stubtest-allowlist qel

# The libFuzzer targets, built with clang in their own tree, run side by side
# for FUZZ_SECONDS each; new inputs go to build/fuzz/corpus, crashes to
# fuzz/artifacts.
# The engine's policy thread is not joined: it ends on its own soon after the
# engine is released, and may still hold the policy when libFuzzer looks for
# leaks after an input. Leaks at exit are the ASan suites' to find.
FUZZ_SECONDS ?= 300
FUZZERS      := fuzz_blob_file fuzz_engine fuzz_wire
fuzz: deps
	$(CMAKE) -S . -B build/fuzz $(CONFIG) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DQEL_TESTS=ON -DQEL_WERROR=ON -DQEL_PYTHON=OFF -DQEL_FUZZ=ON
	$(CMAKE) --build build/fuzz -j $(JOBS) --target $(FUZZERS)
	@mkdir -p fuzz/artifacts; pids=""; \
	for f in $(FUZZERS); do \
	  mkdir -p build/fuzz/corpus/$$f; leaks=1; [ $$f = fuzz_engine ] && leaks=0; \
	  build/fuzz/fuzz/$$f -detect_leaks=$$leaks -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -artifact_prefix=fuzz/artifacts/$$f- \
	    build/fuzz/corpus/$$f fuzz/corpus/$$f >build/fuzz/$$f.log 2>&1 & pids="$$pids $$!"; \
	done; \
	status=0; for p in $$pids; do wait $$p || status=1; done; \
	for f in $(FUZZERS); do echo "$$f: $$(grep -h number_of_executed_units build/fuzz/$$f.log)"; done; \
	[ $$status -eq 0 ] || { tail -n 60 build/fuzz/*.log; exit 1; }

test-fuzz:
	$(MAKE) fuzz FUZZ_SECONDS=30

# Many more kills and random operation sequences than make test runs.
stress: wheel-venv
	QEL_CRASH_CYCLES=2000 QEL_MODEL_EXAMPLES=600 QEL_PROCESS_CYCLES=1000 \
	  $(WHEEL_VENV)/bin/python -m pytest -q tests/python/test_crash.py tests/python/test_model.py \
	  tests/python/test_processes.py

# Benchmarks against the machine's own limits and the Python peers, from a
# Release tree of their own. SKBUILD keeps that tree's module inside it
# instead of over the development build's copy in python/qel.
BENCH_BUILD ?= build/bench
bench-build: deps
	$(CMAKE) -S . -B $(BENCH_BUILD) $(CONFIG) -DCMAKE_BUILD_TYPE=Release -DQEL_TESTS=ON -DQEL_WERROR=ON \
	  -DQEL_PYTHON=ON -DSKBUILD=ON
	$(CMAKE) --build $(BENCH_BUILD) -j $(JOBS) --target _native raw_io hit_ratio blob_files

BENCH_ARGS = --tools $(BENCH_BUILD)/bench --workdir $(BENCH_BUILD)/data --native $(BENCH_BUILD)
# qel as fsspec's local tier against plain s3fs and fsspec's own whole-file
# cache, over a local S3 server; the package from python/, the module from the
# Release tree.
FSSPEC_BENCH = PYTHONPATH=python $(PY) bench/fsspec_tier.py --native $(BENCH_BUILD)
# pandas, pyarrow and zarr reading through the same systems and qel; pandas is
# installed for the benchmarks only.
CLIENTS_BENCH = PYTHONPATH=python $(PY) bench/fsspec_clients.py --native $(BENCH_BUILD) --workdir $(BENCH_BUILD)/clients
# Several processes over one cache directory: gets and puts from 4 processes,
# the owner killed, the hit ratio of a shared directory, the fsspec tier.
PROCESSES_BENCH = PYTHONPATH=python $(PY) bench/processes.py --tools $(BENCH_BUILD)/bench --native $(BENCH_BUILD) \
  --workdir $(BENCH_BUILD)/processes
bench-deps:
	@scripts/install-deps --bench

bench: bench-build bench-deps
	$(PY) bench/compare.py $(BENCH_ARGS)
	$(FSSPEC_BENCH)
	$(CLIENTS_BENCH)
	$(PROCESSES_BENCH)

bench-quick: bench-build bench-deps
	$(PY) bench/compare.py --quick $(BENCH_ARGS)
	$(FSSPEC_BENCH) --quick
	$(CLIENTS_BENCH) --quick
	$(PROCESSES_BENCH) --quick

# Opening caches of 10,000 to 1,000,000 blobs beside the raw walk-and-read of
# their files; needs about 5 GB free under build/ for the largest.
bench-scale: bench-build
	$(PY) bench/scale.py --tools $(BENCH_BUILD)/bench --native $(BENCH_BUILD) --workdir $(BENCH_BUILD)/scale

clean:
	rm -rf build python/qel/_native*.so
