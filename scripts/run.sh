#!/usr/bin/env bash
# `make run`: the AppleSMC simulator with its default machine profile, then
# smcd in the foreground on its compiled-in socket. Ctrl-C stops both: the
# daemon hands every fan back to automatic before it exits, then the
# simulator is stopped.
set -euo pipefail
bin=${1:?usage: run.sh BINDIR}
# SMCD_SERVICE_NAME and SMCD_SOCKET_PATH, as the build compiled them in.
. "$bin/product_facts.env"

sim_pid=""
stop_simulator() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap stop_simulator EXIT
trap 'exit 0' INT TERM

"$bin/smc-sim" &
sim_pid=$!
# The daemon opens the SMC once, at start-up: wait until the simulator serves
# (its socket appears only once it listens).
for _ in $(seq 1 100); do
  [ -S /var/run/AppleSMC.socket ] && break
  kill -0 "$sim_pid" 2>/dev/null || { echo "run: smc-sim failed to start" >&2; exit 1; }
  sleep 0.05
done

echo "run: smcd serving $SMCD_SERVICE_NAME on $SMCD_SOCKET_PATH (Ctrl-C stops)" >&2
"$bin/smcd" || true
