# make run   - build and run the bridge (ARGS="--verbose" passes options)
# make test  - build every configuration and run every test
# make bench-runtime - CPU, memory and latency of the running bridge (BENCH_ARGS="--duration 20")
# make fuzz  - run every fuzz target for FUZZ_SECONDS (default 60) each
# make soak  - an hour of both simulators, chaotic clients and faults (SOAK_ARGS="--duration 300")
BUILD      ?= build
GENERATOR  ?= Ninja
ARGS       ?=
BENCH_ARGS ?=
FUZZ_SECONDS ?= 60
FUZZ_JOBS  ?= 1
SOAK_ARGS  ?=
NATIVE      = $(BUILD)/native
ASAN        = $(BUILD)/asan
TSAN        = $(BUILD)/tsan
WINDOWS     = $(BUILD)/windows
FUZZ        = $(BUILD)/fuzz
CTEST_FLAGS = --output-on-failure --no-tests=error -j2

.PHONY: all deps run test test-native test-asan test-tsan test-windows native asan tsan windows clean bench bench-runtime
.PHONY: fuzzers fuzz test-fuzz

all: native

deps:
	@scripts/install-deps.sh

$(NATIVE)/build.ninja: | deps
	cmake -S . -B $(NATIVE) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
$(ASAN)/build.ninja: | deps
	cmake -S . -B $(ASAN) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DNAVOREL_SANITIZER=address
$(TSAN)/build.ninja: | deps
	cmake -S . -B $(TSAN) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNAVOREL_SANITIZER=thread
$(WINDOWS)/build.ninja: | deps
	cmake -S . -B $(WINDOWS) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
$(FUZZ)/build.ninja: | deps
	cmake -S . -B $(FUZZ) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNAVOREL_FUZZ=ON \
	    -DCMAKE_CXX_COMPILER=clang++

native: deps $(NATIVE)/build.ninja
	cmake --build $(NATIVE)
asan: deps $(ASAN)/build.ninja
	cmake --build $(ASAN)
tsan: deps $(TSAN)/build.ninja
	cmake --build $(TSAN)
windows: deps $(WINDOWS)/build.ninja
	cmake --build $(WINDOWS)
# Only the fuzz targets and the libraries they link.
fuzzers: deps $(FUZZ)/build.ninja
	cmake --build $(FUZZ) --target navorel_fuzzers

run: native
	$(NATIVE)/NavorelBridge $(ARGS)

test-native: native
	cd $(NATIVE) && ctest $(CTEST_FLAGS)
test-asan: asan
	cd $(ASAN) && ctest $(CTEST_FLAGS)
test-tsan: tsan
	cd $(TSAN) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest $(CTEST_FLAGS)
# The Wine server is started detached from our output and stopped afterwards,
# so that nothing keeps running once the tests are done.
test-windows: windows
	scripts/wine-session.sh $(WINDOWS) sh -c 'cd $(WINDOWS) && ctest $(CTEST_FLAGS)'

# Each fuzz target replays its committed corpus, then fuzzes for a few seconds.
test-fuzz: fuzzers
	cd $(FUZZ) && ctest $(CTEST_FLAGS) -L fuzz
# New corpus entries stay in $(FUZZ)/corpus, crashes in $(FUZZ)/artifacts.
fuzz: fuzzers
	FUZZ_JOBS=$(FUZZ_JOBS) scripts/run-fuzzers.sh $(FUZZ) $(FUZZ_SECONDS)

test: test-native test-asan test-tsan test-windows test-fuzz

bench: native
	$(NATIVE)/tools/apt_benchmark $(BUILD)/bench

bench-runtime: native
	/usr/bin/python3 tools/runtime_benchmark.py --bridge $(NATIVE)/NavorelBridge $(BENCH_ARGS)

.PHONY: soak
soak: native
	/usr/bin/python3 tools/soak.py --bridge $(NATIVE)/NavorelBridge $(SOAK_ARGS)

clean:
	rm -rf $(BUILD)
