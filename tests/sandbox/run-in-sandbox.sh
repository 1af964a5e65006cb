#!/usr/bin/env bash
# Runs a command as root inside a private mount namespace whose root is a
# disposable macOS-like tree. Nothing of the host is modified: the tree lives
# on a tmpfs that disappears with the namespace, the host's /usr is the lower
# layer of an overlay (so tests may place stand-in tools under /usr), and only
# the repository is shared, at its own path, so that built binaries run as is.
#
#   run-in-sandbox.sh [--bind DIR]... -- COMMAND [ARG]...
#
# Exit status: the command's; 77 (skipped) when no namespace can be made
# outside CI; 1 with a message when it cannot be made under CI=true.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
binds=("$repo")
while [ $# -gt 0 ]; do
  case "$1" in
    --bind) binds+=("$(cd "$2" && pwd)"); shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: run-in-sandbox.sh [--bind DIR]... -- COMMAND..." >&2; exit 64; }

unavailable() {
  if [ "${CI:-}" = "true" ]; then
    echo "sandbox: cannot build the test sandbox: $1" >&2
    exit 1
  fi
  echo "sandbox: skipped: $1" >&2
  exit 77
}

[ "$(id -u)" -eq 0 ] || unavailable "needs root"
command -v unshare >/dev/null || unavailable "unshare is missing"

mountpoint=$(mktemp -d /tmp/smcd-sandbox.XXXXXX)
trap 'rmdir "$mountpoint" 2>/dev/null || true' EXIT

set +e
SANDBOX_ROOT="$mountpoint" SANDBOX_BINDS="$(printf '%s\n' "${binds[@]}")" SANDBOX_CWD="$PWD" \
  unshare --mount --propagation private -- "$repo/tests/sandbox/sandbox-inside.sh" "$@"
status=$?
set -e
exit $status
