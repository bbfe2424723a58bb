#!/usr/bin/env bash
# run_example.sh SIM PROGRAM [SIM OPTIONS...]
# Starts the simulated module on loopback, runs PROGRAM ADDRESS PORT against
# it and stops the module again; PROGRAM's output and status are the script's.
set -euo pipefail
sim=$1 program=$2
shift 2
coproc SIM { exec "$sim" --tcp 127.0.0.1:0 --quiet "$@"; }
pid=$SIM_PID
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true' EXIT
# The module's first line says where it listens: "tcp 127.0.0.1:40001".
read -r kind where <&"${SIM[0]}"
[ "$kind" = tcp ] || { echo "sim said: $kind $where" >&2; exit 1; }
"$program" "${where%:*}" "${where##*:}"
