#!/bin/bash
# Sets everything up, builds, and runs the main job: the monitor loaded as
# the spooler loads it, one port of each kind, a job printed through a plain
# port and one through the Standard TCP/IP port of the simulated printer at
# 127.0.0.20 (SNMP on port 161, job port 9100, which the monitor polls and
# the port monitor beneath sends the job data to), and the trace the monitor
# wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${VJL_SKIP_SETUP:-0}" = 1 ] || scripts/setup.sh
scripts/build.sh
export WINEPREFIX="$PWD/build/windows/wineprefix"
scripts/wine-init.sh "$WINEPREFIX"
ADDR=${VJL_DEMO_PRINTER:-127.0.0.20}
SIM=build/native/bin/printer-sim
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
printer_args=()
# Port 161 needs root (or CAP_NET_BIND_SERVICE); without it the jobs go
# nowhere and only the port monitor double sees them.
if "$SIM" --addr "$ADDR" --page-ms 200 --pending-ms 100 --lifetime 600 >/tmp/vjl-demo-sim.log 2>&1 &
then
  sim_pid=$!
  for _ in $(seq 50); do "$SIM" --ctl "$ADDR" ping >/dev/null 2>&1 && break; sleep 0.1; done
  if "$SIM" --ctl "$ADDR" ping >/dev/null 2>&1; then
    printer_args=(--printer "$ADDR")
    echo "simulated printer running on $ADDR (SNMP 161, job port 9100)"
  else
    echo "simulated printer did not start on $ADDR:161 (root needed):"; cat /tmp/vjl-demo-sim.log
    sim_pid=""
  fi
fi
build/windows/wine-run.sh build/windows/bin/vjlhost.exe "${printer_args[@]}"
if [ -n "$sim_pid" ]; then
  echo
  # Wait until the printer has finished both jobs (bounded).
  for _ in $(seq 50); do
    [ "$("$SIM" --ctl "$ADDR" jobs | grep -c 'state=17')" -ge 2 ] && break
    sleep 0.2
  done
  echo "the job table of the simulated printer at $ADDR:"
  "$SIM" --ctl "$ADDR" jobs || true
fi
