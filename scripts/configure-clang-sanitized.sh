#!/usr/bin/env bash
# Configures the one clang tree that serves three purposes: the second
# compiler (warnings as errors like the first, benchmarks included), every
# suite under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# libFuzzer targets, which need coverage feedback from every library they
# link (fuzzer-no-link; the suites link and run with it too). `make asan`,
# `make clang` and `make fuzz` share the tree, so CI compiles it once.
#
#   scripts/configure-clang-sanitized.sh BUILD_DIR [EXTRA_CMAKE_FLAGS...]
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: scripts/configure-clang-sanitized.sh BUILD_DIR [CMAKE_FLAGS...]" >&2; exit 64; }
build=$1
shift
# Sanitizer reports need file and line only: line tables at -O1 compile in
# about two thirds of the time that full debug information at -O2 takes.
cmake -S "$repo" -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only -DNDEBUG" \
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only -DNDEBUG" \
  -DSMCD_BUILD_FUZZ=ON -DSMCD_BUILD_BENCH=ON \
  "-DSMCD_SANITIZE=address;undefined;fuzzer-no-link" "$@" >/dev/null
