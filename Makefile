# Entry points for newcomers and CI. Every target installs what is missing first.
PYTHON ?= /usr/bin/python3
JOBS ?= $(shell nproc)
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: setup build test test-cpp test-python test-model test-asan test-tsan check-threads fuzz fuzz-replay soak demo bench bench-python bench-graph clean

setup:
	@bash scripts/setup.sh

$(BUILD)/build.ninja: | setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=$(PYTHON) $(CMAKE_FLAGS)

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: test-cpp test-python

test-cpp: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

test-python: build
	@bash scripts/run-pytest.sh $(PYTHON) $(BUILD)

# The model test (tests/python/test_model.py) with many random examples;
# `make test` runs a fixed, smaller set of them.
MODEL_EXAMPLES ?= 500
MODEL_STEPS ?= 50
test-model: build
	TESSARIN_MODEL_EXAMPLES=$(MODEL_EXAMPLES) TESSARIN_MODEL_STEPS=$(MODEL_STEPS) \
	  PYTHONPATH=$(abspath $(BUILD))/python $(PYTHON) -m pytest -q tests/python/test_model.py

# Engine tests under AddressSanitizer + UndefinedBehaviorSanitizer.
# The committed fuzz corpora are replayed here too (ctest fuzz_replay_*).
test-asan: setup
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Asan -DTESSARIN_BUILD_BENCH=OFF -DTESSARIN_BUILD_PYTHON=OFF -DTESSARIN_BUILD_FUZZ=ON
	cmake --build build-asan -j $(JOBS) --target tessarin_tests $(FUZZ_TARGETS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp) UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS) --timeout 900

# Engine tests under ThreadSanitizer. Debian's oneTBB is not instrumented, so
# TSan cannot see its task hand-off: the pool is kept to one thread (work runs
# on the caller) and TBB's internals suppressed. TSAN_EXCLUDE, when set, is a
# ctest -E pattern of tests left out (CI leaves out the fault test, see
# .ci/run).
TSAN_EXCLUDE ?=
test-tsan: setup
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Tsan -DTESSARIN_BUILD_BENCH=OFF -DTESSARIN_BUILD_PYTHON=OFF
	cmake --build build-tsan -j $(JOBS) --target tessarin_tests
	cd build-tsan && RAYON_NUM_THREADS=1 TSAN_OPTIONS="suppressions=$(abspath tests/tsan.supp) halt_on_error=1" ctest --output-on-failure -j $(JOBS) --timeout 900 $(if $(TSAN_EXCLUDE),-E '$(TSAN_EXCLUDE)')

# Static lock checking: the engine library built with clang, its lock
# annotations (src/sync/thread_annotations.h) checked by -Wthread-safety,
# every finding an error. Builds only tessarin_core.
check-threads: setup
	CC=clang CXX=clang++ cmake -S . -B build-clang -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DTESSARIN_THREAD_SAFETY_CHECK=ON -DTESSARIN_BUILD_PYTHON=OFF -DTESSARIN_BUILD_BENCH=OFF \
	  -DTESSARIN_BUILD_TESTS=OFF -DTESSARIN_BUILD_TOOLS=OFF
	cmake --build build-clang -j $(JOBS) --target tessarin_core

# libFuzzer targets (fuzz/) built with clang in build-fuzz, each run for
# FUZZ_SECONDS on a working copy of its committed corpus (build-fuzz/corpus),
# crashes written to build-fuzz/artifacts/<target>/. New inputs are not
# merged back by this target: see fuzz/README.md.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= fuzz_record fuzz_collection_config fuzz_free_list fuzz_vector_file fuzz_json \
                fuzz_ndjson fuzz_hnsw_index fuzz_collection_dir
fuzz: setup
	@bash scripts/setup.sh --fuzz
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Fuzz -DTESSARIN_BUILD_FUZZ=ON -DTESSARIN_BUILD_TESTS=OFF -DTESSARIN_BUILD_BENCH=OFF -DTESSARIN_BUILD_PYTHON=OFF -DTESSARIN_BUILD_TOOLS=OFF
	cmake --build build-fuzz -j $(JOBS)
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$t build-fuzz/artifacts/$$t && \
	  cp -n fuzz/corpus/$$t/* build-fuzz/corpus/$$t/ 2>/dev/null; \
	  echo "== $$t ($(FUZZ_SECONDS) s)"; \
	  RAYON_NUM_THREADS=1 build-fuzz/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 -timeout=10 \
	    -artifact_prefix=build-fuzz/artifacts/$$t/ build-fuzz/corpus/$$t || exit 1; \
	done

# The committed corpora once through each target under ASan and UBSan (GCC),
# as `make test-asan` does among the other tests.
fuzz-replay: setup
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Asan -DTESSARIN_BUILD_BENCH=OFF -DTESSARIN_BUILD_PYTHON=OFF -DTESSARIN_BUILD_FUZZ=ON
	cmake --build build-asan -j $(JOBS) --target $(FUZZ_TARGETS)
	cd build-asan && LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp) UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS) -R '^fuzz_replay_'

# The crash test with many lives (a child killed at random moments, the
# database checked after each kill); `make test` runs a few.
SOAK_LIVES ?= 300
soak: build
	TESSARIN_CRASH_LIVES=$(SOAK_LIVES) PYTHONPATH=$(abspath $(BUILD))/python $(PYTHON) -m pytest -q tests/python/test_crash.py

# Builds only the module the demo imports, not the tests and benchmarks.
demo: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target tessarin
	cd examples && PYTHONPATH=$(abspath $(BUILD))/python $(PYTHON) agent_memory.py

bench: build
	@for b in $(BUILD)/bench_*; do $$b || exit 1; done

# The Python benchmark against NumPy, hnswlib and FAISS. OpenBLAS tuning
# variables some machines export slow NumPy down; they are unset here only.
bench-python: build
	@bash scripts/setup.sh --bench
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE PYTHONPATH=$(abspath $(BUILD))/python $(PYTHON) bench/bench_python.py

# The graph index against hnswlib and FAISS (build time, recall and queries
# per second, the graph road through Python, index file load), on the data
# sets bench/bench_graph.py documents.
bench-graph: build
	@bash scripts/setup.sh --bench
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE PYTHONPATH=$(abspath $(BUILD))/python $(PYTHON) bench/bench_graph.py

clean:
	rm -rf $(BUILD) build-asan build-tsan build-clang build-fuzz
