# The two commands a new user needs: `make demo` and `make check`.
# Both install what is missing (as root) and build with CMake under build/.

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

# Each target asks only for what it uses: the build (and the demo) for the
# compiler, CMake, Boost and the test libraries; the tests also for what the
# process and package tests run.
PACKAGES = cmake make g++ libboost-dev libgtest-dev libgmock-dev
TEST_PACKAGES = util-linux valgrind $(PACKAGE_PACKAGES) lintian devscripts mandoc groff-base

# What `make package` needs: debian/control's Build-Depends and the tools
# (dpkg-checkbuilddeps also wants build-essential, which dpkg-dev only
# recommends).
PACKAGE_PACKAGES = dpkg-dev debhelper build-essential cmake libboost-dev

FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_PACKAGES = clang libclang-rt-14-dev libboost-dev cmake

BENCH_BUILD    ?= build-bench
# Where the whole-run benchmark's files live (see bench/).
BENCH_ROOT ?= /dev/shm/zelvo-bench
BENCH_PACKAGES = libbenchmark-dev libinih-dev libsimpleini-dev pkg-config

LINT_PACKAGES = clang-tidy cppcheck
LINT_SOURCES = agent_utils/*.cpp config/*.cpp launcher/*.cpp task/*.cpp tools/*.cpp

.PHONY: all deps test-deps build check test test-asan coverage demo package fuzz lint bench fresh-check clean

all: build

deps:
	@sh tools/ensure_packages.sh $(PACKAGES)

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test-deps: deps
	@sh tools/ensure_packages.sh $(TEST_PACKAGES)

test: test-deps build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite once more under AddressSanitizer and UBSan.
test-asan: test-deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DZELVO_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

check: test test-asan
	@sh tools/skipped_tests.sh $(BUILD) $(ASAN_BUILD)

# `make check` on a minimal Debian 12 root made here with debootstrap, from a
# clone of what is committed (as root; a few minutes).
FRESH_DIR ?= build-fresh
fresh-check:
	@sh tools/ensure_packages.sh debootstrap git util-linux
	sh tools/fresh_check.sh $(FRESH_DIR)

# The whole suite on a build with gcc's coverage instrumentation: an HTML
# report in $(COVERAGE_BUILD)/coverage/, a summary of the program's own
# folders printed at the end, and a failure below COVERAGE_MIN % of lines.
COVERAGE_BUILD ?= build-coverage
COVERAGE_MIN   ?= 95
coverage: test-deps
	@sh tools/ensure_packages.sh gcovr
	cmake -S . -B $(COVERAGE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DZELVO_COVERAGE=ON
	cmake --build $(COVERAGE_BUILD) -j $(JOBS)
	find $(COVERAGE_BUILD) -name '*.gcda' -delete
	ctest --test-dir $(COVERAGE_BUILD) --output-on-failure -j $(JOBS)
	mkdir -p $(COVERAGE_BUILD)/coverage
	gcovr --root . --object-directory $(COVERAGE_BUILD) \
	    --filter 'config/' --filter 'task/' --filter 'launcher/' --filter 'agent_utils/' \
	    --exclude-throw-branches --html-details $(COVERAGE_BUILD)/coverage/index.html \
	    --print-summary --fail-under-line $(COVERAGE_MIN)

# The Debian package of the program and its manual page (debian/), in $(BUILD)/.
package:
	@sh tools/ensure_packages.sh $(PACKAGE_PACKAGES)
	sh tools/build_package.sh $(BUILD) -b

demo: build
	sh tools/demo.sh $(BUILD)

# libFuzzer with ASan and UBSan: each target for FUZZ_SECONDS.
fuzz:
	@sh tools/ensure_packages.sh $(FUZZ_PACKAGES)
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVO_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	bash tools/run_fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Whole run (default and static-runtime builds) against a minimal launcher and
# the program's wake-ups while it waits; for information, the INI reader
# against inih, SimpleIni and Boost.PropertyTree and the task translation
# against Boost's tokenizer (figures in docs/benchmarks.md).
bench: deps
	@sh tools/ensure_packages.sh $(BENCH_PACKAGES)
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DZELVO_BENCH=ON -DZELVO_TESTS=OFF \
	    -DZELVO_BENCH_ROOT=$(BENCH_ROOT)
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	cd $(BENCH_BUILD) && ./bench/zelvo_run_bench && ./bench/zelvo_ini_compare && \
	    ./bench/zelvo_parse_bench --benchmark_min_time=2 --benchmark_repetitions=3 \
	        --benchmark_report_aggregates_only=true

# clang-tidy (checks in .clang-tidy) and cppcheck over the program's sources.
lint: deps
	@sh tools/ensure_packages.sh $(LINT_PACKAGES)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
	bash tools/lint.sh $(BUILD) $(LINT_SOURCES)
	cppcheck --enable=warning,performance,portability --std=c++17 --error-exitcode=1 --inline-suppr \
	    --quiet -I . agent_utils config launcher task tools

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(COVERAGE_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD) $(FRESH_DIR)
