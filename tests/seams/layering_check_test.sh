#!/usr/bin/env bash
# The layering check must pass a clean tree and name each kind of break:
# a portable file including a Linux side, and two libraries linking each
# other through a third.
set -euo pipefail
check=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/src/core" "$work/src/platform/log/linux" "$work/src/smc-sim"
echo '#include "platform/log/logger.h"' >"$work/src/core/user.cc"
echo '#include "platform/log/linux/sink.h"' >"$work/src/platform/log/linux/sink.cc"
echo '#include "platform/smc/linux/wire.h"' >"$work/src/smc-sim/server.cc"
printf 'core log\nlog log_core\nlog log_linux\nlog_linux log_core\n' >"$work/links"
"$check" "$work" "$work/links"

echo '#  include "platform/log/linux/sink.h"' >>"$work/src/core/user.cc"
printf 'log_core core\n' >>"$work/links"
if "$check" "$work" "$work/links" 2>"$work/report"; then
    echo "a broken layering passed" >&2
    exit 1
fi
grep -q 'src/core/user.cc:2:.*linux/sink.h' "$work/report" || { echo "the Linux include was not named" >&2; cat "$work/report" >&2; exit 1; }
grep -q 'loop' "$work/report" || { echo "the loop was not named" >&2; cat "$work/report" >&2; exit 1; }
grep -c 'includes a Linux side' "$work/report" | grep -qx 1 || { echo "more than the one include was named" >&2; exit 1; }
