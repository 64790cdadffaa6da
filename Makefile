# User-facing targets. CMake does the building; these only choose the folder,
# the build type and what to run afterwards.
JOBS ?= 2
CTEST = ctest --output-on-failure -j$(JOBS) --timeout 300

FUZZ_SECONDS ?= 20

.PHONY: all build test run bench asan tsan fuzz deps clean

all: build

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j$(JOBS)

deps:
	scripts/install-test-deps

test: deps build
	cd build && $(CTEST)

run: build

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVANTOR_BENCH=ON
	cmake --build build-bench -j$(JOBS) --target benchmarks
	bench/aa_compare build-bench/bench/aa_bench
	bench/radius_compare build-bench/bench/radius_bench

asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVANTOR_SANITIZE=address,undefined
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 $(CTEST)

tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DVANTOR_SANITIZE=thread
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 $(CTEST)

# Every libFuzzer target for FUZZ_SECONDS seconds, each on a scratch copy of
# its seed corpus (what it finds stays out of the repository).
fuzz: deps
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 -DVANTOR_FUZZ=ON
	cmake --build build-fuzz -j$(JOBS) --target fuzzers
	set -e; for exe in build-fuzz/fuzz/*_fuzz; do \
	  target=$$(basename $$exe _fuzz); scratch=$$(mktemp -d); \
	  cp fuzz/corpus/$$target/* $$scratch/; \
	  echo "fuzz: $$target for $(FUZZ_SECONDS) s"; \
	  ASAN_OPTIONS=detect_leaks=1 $$exe -max_total_time=$(FUZZ_SECONDS) -max_len=4096 \
	    -print_final_stats=1 $$scratch 2>build-fuzz/$$target.log \
	    || { tail -50 build-fuzz/$$target.log; rm -rf $$scratch; exit 1; }; \
	  grep -E '^stat::number_of_executed_units|Done' build-fuzz/$$target.log || true; \
	  rm -rf $$scratch; \
	done

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
