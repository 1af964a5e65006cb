#!/usr/bin/env bash
# Builds every libFuzzer target under fuzz/ in the clang tree
# (scripts/configure-clang-sanitized.sh) and runs each for a bounded time on
# a copy of its seed corpus. Any finding (a crash, a broken invariant, a
# leak, a time-out, the memory limit) fails the run; its input is kept in
# BUILD_DIR/fuzz-findings/<target>/ so that it can join the target's corpus
# as a regression case.
#
#   scripts/fuzz.sh BUILD_DIR SECONDS [TARGET...]
#
# TARGET is a folder name under fuzz/ (wire, path, ...); none means all.
# As root, every target runs inside the test sandbox, so that the scratch
# trees of the removal targets are built on a throw-away file system; the
# screening target needs that and is skipped elsewhere (it fails under CI).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ $# -ge 2 ] || { echo "usage: scripts/fuzz.sh BUILD_DIR SECONDS [TARGET...]" >&2; exit 64; }
build=$1
seconds=$2
shift 2
jobs=${JOBS:-$(nproc)}

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for dir in "$repo"/fuzz/*/; do
    [ -f "$dir/CMakeLists.txt" ] && targets+=("$(basename "$dir")")
  done
fi

# Address and undefined-behaviour checks everywhere, and coverage feedback
# from every library the targets link, not only from the targets' own files;
# the tree `make asan` builds, so the libraries are compiled once for both.
"$repo/scripts/configure-clang-sanitized.sh" "$build"
cmake --build "$build" -j"$jobs" --target "${targets[@]/%/_fuzz}"

build=$(cd "$build" && pwd)
runs="$build/fuzz-runs"
findings="$build/fuzz-findings"
rm -rf "$runs"
mkdir -p "$runs"

sandboxed=false
if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null; then
  sandboxed=true
fi

passed=0
failed=0
skipped=0
for target in "${targets[@]}"; do
  work="$runs/$target"
  mkdir -p "$work/corpus"
  cp -R "$repo/fuzz/$target/corpus/." "$work/corpus/"
  # libFuzzer's own failure status (77) would read as "skipped" to the
  # sandbox's caller, so findings get one of their own.
  args=(-max_total_time="$seconds" -timeout=25 -rss_limit_mb=3072 -print_final_stats=1
        -error_exitcode=86 -artifact_prefix="$work/")
  [ -f "$repo/fuzz/$target/$target.dict" ] && args+=(-dict="$repo/fuzz/$target/$target.dict")
  command=("$build/bin/${target}_fuzz" "${args[@]}" "$work/corpus")

  if $sandboxed; then
    command=("$repo/tests/sandbox/run-in-sandbox.sh" --bind "$build" -- "${command[@]}")
  elif [ "$target" = screening ]; then
    if [ "${CI:-}" = "true" ]; then
      echo "fuzz: screening: needs the test sandbox (root and unshare)" >&2
      failed=$((failed + 1))
    else
      echo "fuzz: screening: skipped, needs the test sandbox (root and unshare)"
      skipped=$((skipped + 1))
    fi
    continue
  fi

  started=$(date +%s)
  set +e
  "${command[@]}" >"$work/log" 2>&1
  status=$?
  set -e
  elapsed=$(( $(date +%s) - started ))
  runs_done=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$work/log" | tail -1)
  artifacts=$(find "$work" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
                -o -name 'oom-*' -o -name 'slow-unit-*' \) | wc -l)

  if [ $status -eq 77 ] && [ "$artifacts" -eq 0 ]; then
    echo "fuzz: $target: the test sandbox could not be made" >&2
    tail -3 "$work/log" >&2
    failed=$((failed + 1))
  elif [ $status -eq 0 ] && [ "$artifacts" -eq 0 ] && [ -n "$runs_done" ]; then
    echo "fuzz: $target: ${runs_done} runs in ${elapsed} s, no finding"
    passed=$((passed + 1))
  else
    mkdir -p "$findings/$target"
    find "$work" -maxdepth 1 -type f ! -name log -exec cp {} "$findings/$target/" \;
    echo "fuzz: $target: FINDING (exit $status) after ${elapsed} s; inputs in $findings/$target/" >&2
    grep -E 'invariant broken|ERROR: |SUMMARY: |runtime error' "$work/log" | head -5 >&2 || tail -20 "$work/log" >&2
    failed=$((failed + 1))
  fi
done

if [ $skipped -gt 0 ]; then
  echo "fuzz: $passed passed, $failed failed, $skipped skipped"
else
  echo "fuzz: $passed passed, $failed failed"
fi
[ $failed -eq 0 ]
