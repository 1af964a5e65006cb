#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# the machine lacks, plus any package named on the command line; with --only,
# just the packages named (`make mutate-check` needs python3 and nothing of
# the build). Does nothing when everything is present.
#
#   install-deps.sh [PACKAGE...]  |  install-deps.sh --only PACKAGE...
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libplist-dev libutf8proc-dev nlohmann-json3-dev
  util-linux procps strace
  trash-cli  # the Trash interop check runs it as the peer
)
if [ "${1:-}" = --only ]; then
  shift
  [ $# -gt 0 ] || { echo "usage: install-deps.sh [PACKAGE...] | install-deps.sh --only PACKAGE..." >&2; exit 64; }
  packages=()
fi
# Tools only some targets need (`make mutate`: python3 ccache) come as arguments.
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
