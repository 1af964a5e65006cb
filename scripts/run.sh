#!/usr/bin/env bash
# `make run`: the daemon in the foreground on its compiled-in socket.
set -euo pipefail
bin=${1:?usage: run.sh BINDIR}
exec "$bin/smcd"
