# The two commands of a new user: `make demo` installs what the build needs,
# builds and runs the main job; `make test` installs, builds and runs every
# test, then again under AddressSanitizer and UndefinedBehaviorSanitizer.

BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= 2

.PHONY: setup build demo test test-plain test-sanitize clean

setup:
	sh scripts/setup

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

demo: build
	sh scripts/demo $(BUILD)

test: setup test-plain test-sanitize

test-plain:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-sanitize:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVUVOROZO_SANITIZE=ON -DVUVOROZO_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j$(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
