# The two commands of a new user: `make demo` installs what the build needs,
# builds and runs the main job; `make test` installs, builds and runs every
# test, then again under AddressSanitizer and UndefinedBehaviorSanitizer,
# then runs each fuzz target for a minute (FUZZ_SECONDS) and the program's
# end-to-end tests under valgrind memcheck.
#
# `make test-noroot` builds and runs every test that needs no root (ctest
# -LE root): for a contributor without root. The tests that mount a tmpfs
# or a FUSE file system carry the label root.
#
# The builds the tests use make every warning an error (VUVOROZO_WERROR).
#
# `make bench-report` measures the module's performance and rewrites
# bench/REPORT.md.

BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
BENCH_BUILD ?= build-bench
JOBS ?= 2

.PHONY: setup build demo test test-plain test-noroot test-sanitize test-fuzz fuzz-long \
	test-valgrind bench-report clean

setup:
	sh scripts/setup

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

demo: build
	sh scripts/demo $(BUILD)

test: setup test-plain test-sanitize test-fuzz test-valgrind

test-plain:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVUVOROZO_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-noroot:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVUVOROZO_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) -LE root

test-sanitize:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVUVOROZO_SANITIZE=ON -DVUVOROZO_BENCH=OFF \
	  -DVUVOROZO_WERROR=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j$(JOBS)

# Each fuzz target (clang, libFuzzer, ASan, UBSan) from its seed corpus.
test-fuzz:
	FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) sh scripts/fuzz-short

# The long run: ten million inputs a target (hours; fuzz/README.md keeps
# what the last one reached).
fuzz-long:
	FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) FUZZ_RUNS=10000000 sh scripts/fuzz-short

# Every run of the program in its end-to-end tests under valgrind memcheck:
# no memory error and no leak.
test-valgrind:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVUVOROZO_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS) --target cli_test
	sh scripts/valgrind-e2e $(BUILD)

bench-report: setup
	JOBS=$(JOBS) sh bench/report $(BENCH_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD)
