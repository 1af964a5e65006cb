# Everything a newcomer types. Each target installs what it needs from
# Debian's packages first (scripts/install-deps.sh), so a fresh Debian 12
# machine needs nothing but `make` and root.

BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE ?= cmake
FUZZ_SECONDS ?= 60
CTEST_FLAGS ?= --output-on-failure --no-tests=error -j$(JOBS)

.PHONY: all deps build test run bench asan tsan clang stress soak fuzz clean

all: build

deps:
	@scripts/install-deps.sh

# configure + build one tree: $(call build_tree,DIR,EXTRA_CMAKE_FLAGS)
define build_tree
	@$(CMAKE) -S . -B $(1) -G Ninja $(2) >/dev/null
	@$(CMAKE) --build $(1) -j$(JOBS)
endef

build: deps
	$(call build_tree,$(BUILD),)

test: build
	ctest --test-dir $(BUILD) $(CTEST_FLAGS)

run: build
	@scripts/run.sh $(BUILD)/bin

bench: build
	@scripts/bench.sh $(BUILD)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	$(call build_tree,build-asan,-DSMCD_SANITIZE='address;undefined' -DSMCD_BUILD_BENCH=OFF)
	ctest --test-dir build-asan $(CTEST_FLAGS)

# The concurrency and race suites under ThreadSanitizer.
tsan: deps
	@$(CMAKE) -S . -B build-tsan -G Ninja -DSMCD_SANITIZE=thread -DSMCD_BUILD_BENCH=OFF >/dev/null
	@$(CMAKE) --build build-tsan -j$(JOBS) --target smcd_concurrency_suites smcd smcctl smc-sim
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan $(CTEST_FLAGS) -L concurrency

# The second compiler, warnings as errors like the first.
clang: deps
	$(call build_tree,build-clang,-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang)
	ctest --test-dir build-clang $(CTEST_FLAGS)

# Every libFuzzer target for a bounded time (FUZZ_SECONDS each, default 60).
fuzz: deps
	@scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

# Many clients mixing every method against one daemon and simulator for a few
# minutes; checks that descriptors, threads and memory come back.
soak: build
	@SMCD_SOAK_SECONDS=$${SMCD_SOAK_SECONDS:-180} ctest --test-dir $(BUILD) --output-on-failure -R '^soak'

stress: build
	SMCD_STRESS=1 ctest --test-dir $(BUILD) $(CTEST_FLAGS) -L race

clean:
	rm -rf build build-asan build-tsan build-clang build-fuzz
