# User-facing targets. CMake does the building; these only choose the folder,
# the build type and what to run afterwards.
JOBS ?= 2
CTEST = ctest --output-on-failure -j$(JOBS) --timeout 300

.PHONY: all build test run demo demo-stop bench asan tsan fuzz deps clean

all: build

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j$(JOBS)

deps:
	scripts/install-test-deps

# The figures of the fault scenarios (from CTest's log, which keeps the output
# of passing tests too) and of the soak (load served, memory, monitor states)
# close the output.
test: deps build
	cd build && $(CTEST)
	@grep -h '^\[ figures  \]' build/Testing/Temporary/LastTest.log || true
	@cat build/tests/soak/soak.txt

# Only the program, so that a first run on a fresh clone is quick.
run:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j$(JOBS) --target vantor
	scripts/run-server

# Server mode in the background over ./var/demo/, configured against a private
# FreeRADIUS, a silent port and the SMTP sink (the peers make test installs).
demo:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j$(JOBS) --target vantor
	scripts/demo

demo-stop:
	scripts/demo stop

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVANTOR_BENCH=ON
	cmake --build build-bench -j$(JOBS) --target benchmarks
	bench/aa_compare build-bench/bench/aa_bench
	bench/radius_compare build-bench/bench/radius_bench
	bench/cli_compare build-bench
	bench/httpd_compare build-bench
	build-bench/bench/password_timing
	bench/webtest_compare build-bench
	bench/scale_compare build-bench
	build-bench/bench/metrics_render 1000 200

asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVANTOR_SANITIZE=address,undefined
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 $(CTEST) -LE soak

tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DVANTOR_SANITIZE=thread
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 $(CTEST) -LE soak

# Fuzz targets with clang's libFuzzer, each run for a bounded time from its seeds.
FUZZ_SECONDS ?= 20
fuzz: deps
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 -DVANTOR_FUZZ=ON
	cmake --build build-fuzz -j$(JOBS) --target fuzzers
	fuzz/run build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
