#!/usr/bin/env bash
# Fails when the portable core calls past its platform seams: every symbol
# the core libraries leave undefined must be the C or C++ runtime's, a POSIX
# function on the allow-list, a chosen dependency's, or one that a library
# of this project defines (a seam's Linux side counts: that is where seams
# are filled).
#
#   check-seams.sh ALLOW_LIST CORE_LIBS PROJECT_LIBS
#
# CORE_LIBS and PROJECT_LIBS are ';'-separated archive paths (CMake lists).
set -euo pipefail

allow_list=$1
IFS=';' read -r -a core <<<"$2"
IFS=';' read -r -a project <<<"$3"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

nm -P --defined-only "${project[@]}" 2>/dev/null | awk 'NF >= 2 && $2 != "U" { print $1 }' | sort -u >"$work/defined"
grep -v '^#' "$allow_list" | tr -s ' \t' '\n\n' | grep -v '^$' | sort -u >"$work/allowed"

# "archive[object]: symbol U" -> "symbol<TAB>object<TAB>demangled"
# Weak references ("w", "v": coverage counters of a fuzzing build) count too.
nm -P -A -u "${core[@]}" | sed -E 's/^(.*\[[^]]*\]): ([^ ]+) [Uwv].*$/\2\t\1/' | sort -u >"$work/undefined"
cut -f1 "$work/undefined" | c++filt >"$work/demangled"
paste "$work/undefined" "$work/demangled" >"$work/symbols"

awk -F '\t' -v allow_list="$allow_list" '
    FILENAME == ARGV[1] { defined[$0] = 1; next }
    FILENAME == ARGV[2] { allowed[$0] = 1; next }
    {
        symbol = $1; object = $2; readable = $3
        if (symbol in defined) next
        # Compiler and C++ runtime, sanitizers included.
        if (symbol ~ /^(__cxa_|_Unwind_|__asan_|__ubsan_|__sanitizer_|__tsan_|__lsan_|__msan_|__sancov_|__llvm_|__emutls_|__start___sancov_|__stop___sancov_)/) next
        if (symbol ~ /^(__gxx_personality_v0|__stack_chk_fail|__dso_handle|_GLOBAL_OFFSET_TABLE_|__tls_get_addr|__gmon_start__|__libc_single_threaded|__errno_location|__assert_fail|__once_proxy|__udivti3|__divti3|__umodti3|__modti3)$/) next
        # Chosen dependencies: libplist and utf8proc (nlohmann is header-only).
        if (symbol ~ /^(plist_|utf8proc_)/) next
        if (symbol ~ /^_Z/) {
            if (readable ~ /^(std::|__gnu_cxx::|__cxxabiv1::|operator new|operator delete)/) next
            if (readable ~ /^(typeinfo for|typeinfo name for|vtable for|VTT for|guard variable for|TLS wrapper function for|TLS init function for) (std::|__cxxabiv1::|__gnu_cxx::)/) next
            printf "seam check: %s calls %s (%s), which is outside POSIX, the C and C++ libraries and the project\n", object, readable, symbol
            failures++
            next
        }
        # The C library spells some allowed calls fortified or versioned.
        base = symbol
        if (base ~ /^__.*_chk$/) { sub(/^__/, "", base); sub(/_chk$/, "", base) }
        sub(/^__isoc(99|23)_/, "", base)
        if (base in allowed) next
        printf "seam check: %s calls %s, which is not on the POSIX allow-list (%s)\n", object, symbol, allow_list
        failures++
    }
    END { exit failures > 0 }
' "$work/defined" "$work/allowed" "$work/symbols" >&2 && failures=0 || failures=$?

if ((failures > 0)); then
    echo "seam check: calls past the platform seams; move them behind a seam in src/platform/<service>/linux" >&2
    exit 1
fi
echo "seam check: $(wc -l <"$work/undefined") undefined symbols of ${#core[@]} core libraries, all within bounds"
