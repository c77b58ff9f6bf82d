#!/bin/bash
# Sets everything up, builds, and runs the main job: the monitor loaded as
# the spooler loads it, one port of each kind, a job printed to the
# simulated printer's job port, and the trace the monitor wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${VJL_SKIP_SETUP:-0}" = 1 ] || scripts/setup.sh
scripts/build.sh
export WINEPREFIX="$PWD/build/windows/wineprefix"
scripts/wine-init.sh "$WINEPREFIX"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
SIM=build/native/bin/printer-sim
sink_args=()
if [ -x "$SIM" ]; then
  "$SIM" --addr 127.0.0.1 --snmp-port 16161 --job-port 19100 --ctl-port 19101 --lifetime 600 \
    >/tmp/vjl-demo-sim.log 2>&1 &
  sim_pid=$!
  for _ in 1 2 3 4 5 6 7 8 9 10; do "$SIM" --ctl 127.0.0.1:19101 ping >/dev/null 2>&1 && break; sleep 0.3; done
  sink_args=(--sink 19100)
  echo "simulated printer running on 127.0.0.1 (job port 19100)"
fi
build/windows/wine-run.sh build/windows/bin/vjlhost.exe "${sink_args[@]}"
if [ -n "$sim_pid" ]; then
  echo
  sleep 2  # let the printer finish the page
  echo "what the simulated printer received:"
  printf 'received\njobs\n' | "$SIM" --ctl 127.0.0.1:19101 || true
fi
