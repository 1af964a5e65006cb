#!/usr/bin/env bash
# Fails when the layering of the sources breaks:
#  - a portable file (anything under src/ outside a linux/ folder) includes a
#    header from a linux/ folder, so a port would have to edit it;
#  - a library links, directly or through others, a library that links it
#    back (a cycle in LINKS, one "library dependency" pair per line, written
#    by CMake when it configures the build).
#
#   check-layering.sh SOURCE_DIR LINKS
set -euo pipefail

source_dir=$1
links=$2
failures=0

# The stand-ins' own tools exist only on Linux and are no port's concern:
# the simulator plays the Mac's SMC on the SMC side's socket wire, and the
# client library (with smcctl on it) speaks the ipc side's socket wire where
# the app would speak XPC on a Mac.
linux_only='^src/(smc-sim|client|smcctl)/'

while IFS= read -r hit; do
    file=${hit%%:*}
    [[ $file =~ (^|/)linux/ || $file =~ $linux_only ]] && continue
    echo "layering check: portable file includes a Linux side: $hit" >&2
    failures=$((failures + 1))
done < <(cd "$source_dir" && grep -rnE '^\s*#\s*include\s*[<"][^">]*(^|/)linux/' src || true)

if ! loop=$(tsort "$links" 2>&1 >/dev/null); then
    echo "layering check: libraries link each other in a loop:" >&2
    echo "$loop" | sed 's/^/  /' >&2
    failures=$((failures + 1))
fi

if ((failures > 0)); then
    echo "layering check: $failures problem(s); see docs/MACOS.md on how seams are laid out" >&2
    exit 1
fi
