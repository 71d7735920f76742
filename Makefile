# Thin wrapper over CMake. Every target installs what is missing first (scripts/install-deps).
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build demo test bench bench-build asan tsan fuzz coverage format clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	@scripts/demo $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The benchmarks' build in $(BUILD)-bench/, without the tests: Release, which their figures are measured on.
# CI builds it with the test build's type instead, so that the compiler cache holds every library object and
# only the benchmarks themselves compile; it runs nothing of it.
BENCH_BUILD_TYPE ?= Release
bench-build: deps
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=$(BENCH_BUILD_TYPE) -DTW_BENCH=ON -DBUILD_TESTING=OFF
	cmake --build $(BUILD)-bench -j $(JOBS)

bench: bench-build
	@bench/run $(BUILD)-bench

# Sanitizer builds: Debug (assertions on) at -O1, in build folders of their own.
asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DTW_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DTW_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug"

# libFuzzer targets (clang, ASan + UBSan) in their own build folder; each runs SECONDS seconds on its corpus.
SECONDS ?= 60
fuzz:
	@scripts/install-deps --fuzz
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTW_FUZZ=ON -DBUILD_TESTING=OFF
	cmake --build build-fuzz --target fuzz_targets -j $(JOBS)
	tests/fuzz/run build-fuzz $(SECONDS)

# Line coverage of src/ and apps/ by the whole suite (gcovr from Debian), in a Debug build of its own.
coverage:
	@scripts/install-deps --coverage
	cmake -S . -B build-cov -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic" -DCMAKE_EXE_LINKER_FLAGS=--coverage
	cmake --build build-cov -j $(JOBS)
	find build-cov -name '*.gcda' -delete
	ctest --test-dir build-cov --output-on-failure -j $(JOBS)
	gcovr -r . --filter 'src/' --filter 'apps/' --gcov-ignore-parse-errors build-cov

format:
	git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build build-*
