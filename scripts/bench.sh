#!/usr/bin/env bash
# `make bench`: runs every benchmark in BUILD/bench and prints one report table.
set -euo pipefail
build=${1:?usage: bench.sh BUILD}
repo=$(cd "$(dirname "$0")/.." && pwd)
rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
for exe in "$build"/bench/*; do
  [ -x "$exe" ] && [ -f "$exe" ] || continue
  echo "bench: running $(basename "$exe")" >&2
  if [ -e "$exe.sandbox" ]; then
    "$repo/tests/sandbox/run-in-sandbox.sh" --bind "$(cd "$build" && pwd)" -- "$exe" | grep '^ROW' >> "$rows" || true
  else
    "$exe" | grep '^ROW' >> "$rows" || true
  fi
done
printf '\n%-72s %-20s %-40s %-20s %-9s %s\n' "benchmark" "measured" "reference" "reference value" "ratio" "goal"
while IFS=$'\t' read -r _ name value ref refvalue ratio goal; do
  printf '%-72s %-20s %-40s %-20s %-9s %s\n' "$name" "$value" "$ref" "$refvalue" "$ratio" "$goal"
done < "$rows"
