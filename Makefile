# Everything a newcomer types. Each target installs what it needs from
# Debian's packages first (scripts/install-deps.sh), so a fresh Debian 12
# machine needs nothing but `make` and root.

BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE ?= cmake
FUZZ_SECONDS ?= 60
CTEST_FLAGS ?= --output-on-failure --no-tests=error -j$(JOBS)
# Rebuilds of several trees (worktrees, the mutation runner) share a compiler
# cache where the machine has one; a fresh machine builds without it.
CCACHE := $(shell command -v ccache 2>/dev/null)
LAUNCHER := $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE) -DCMAKE_C_COMPILER_LAUNCHER=$(CCACHE))

.PHONY: all deps build test run bench asan tsan clang soak fuzz mutate mutate-check clean

all: build

deps:
	@scripts/install-deps.sh

# configure + build one tree: $(call build_tree,DIR,EXTRA_CMAKE_FLAGS)
define build_tree
	@$(CMAKE) -S . -B $(1) -G Ninja $(LAUNCHER) $(2) >/dev/null
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

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer,
# built with clang: one tree is the second compiler (warnings as errors like
# the first), the sanitizer run and the home of the fuzz targets.
asan: deps
	@scripts/configure-clang-sanitized.sh build-asan $(LAUNCHER)
	@$(CMAKE) --build build-asan -j$(JOBS)
	ctest --test-dir build-asan $(CTEST_FLAGS)

# The clang build is the sanitized one above.
clang: asan

# The concurrency and race suites under ThreadSanitizer. Its reports need
# line tables only, which compile far faster than full debug information.
tsan: deps
	@$(CMAKE) -S . -B build-tsan -G Ninja $(LAUNCHER) -DSMCD_SANITIZE=thread -DSMCD_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" >/dev/null
	@$(CMAKE) --build build-tsan -j$(JOBS) --target smcd_concurrency_suites smcd smcctl smc-sim
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan $(CTEST_FLAGS) -L concurrency

# Every libFuzzer target for a bounded time (FUZZ_SECONDS each, default 60),
# built in the clang tree of `make asan`.
fuzz: deps
	@scripts/fuzz.sh build-asan $(FUZZ_SECONDS)

# Each fault of scripts/mutate-faults.txt applied in turn; its suites must
# fail (FAULTS=regex picks faults by name). mutate-check only checks that
# every faulty line is still found in src/.
mutate:
	@scripts/install-deps.sh python3 ccache
	@scripts/mutate.py --faults '$(FAULTS)' --jobs $(JOBS)

mutate-check:
	@scripts/install-deps.sh --only python3
	@scripts/mutate.py --dry-run --faults '$(FAULTS)'

# Many clients mixing calls against one daemon and simulator for a few
# minutes; checks that descriptors and threads come back.
soak: build
	@SMCD_SOAK_SECONDS=$${SMCD_SOAK_SECONDS:-180} ctest --test-dir $(BUILD) --output-on-failure -R '^daemon_concurrency_tests$$'

clean:
	rm -rf build build-asan build-tsan build-clang build-fuzz build-mutate build-install
