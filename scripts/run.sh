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
ready_dir=""
stop_simulator() {
  [ -z "$ready_dir" ] || rm -rf "$ready_dir"
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap stop_simulator EXIT
trap 'exit 0' INT TERM

# The daemon opens the SMC once, at start-up: start it only once the
# simulator says it serves (a socket file may be a stale one of an earlier run).
ready_dir=$(mktemp -d)
mkfifo "$ready_dir/ready"
# A session of its own: Ctrl-C reaches the terminal's whole process group,
# and the simulator must outlive the daemon's hand-back.
setsid "$bin/smc-sim" --ready-fd 3 3>"$ready_dir/ready" &
sim_pid=$!
said=""
read -r said <"$ready_dir/ready" || true  # end of file: it exited without serving
rm -rf "$ready_dir"
[ "$said" = ready ] || { echo "run: smc-sim failed to start" >&2; exit 1; }

echo "run: smcd serving $SMCD_SERVICE_NAME on $SMCD_SOCKET_PATH (Ctrl-C stops)" >&2
"$bin/smcd" || true
