#!/bin/bash
# Sets everything up, builds, and runs the main job: the monitor loaded as
# the spooler loads it, one port of each kind, a job printed through a plain
# port and one through the Standard TCP/IP port of the simulated printer at
# 127.0.0.20 (SNMP on port 161, job port 9100: the monitor polls it and the
# port monitor beneath sends it the job data), what the printer received,
# the printer's status live while that job is in it and the printer jams,
# is cleared and is switched off (printer state, icon, error detail and the
# spooler's port status, in words), how that job was released, the restart
# check after power on, and the trace the monitor wrote. Exits non-zero
# only when a step went wrong.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${VJL_SKIP_SETUP:-0}" = 1 ] || scripts/setup.sh
scripts/build.sh
export WINEPREFIX="$PWD/build/windows/wineprefix"
scripts/wine-init.sh "$WINEPREFIX"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# vjlhost starts the simulated printer there (port 161 needs root) and stops it.
# The trace it shows is in code page 932: show it as UTF-8.
build/windows/wine-run.sh build/windows/bin/vjlhost.exe --printer "${VJL_DEMO_PRINTER:-127.0.0.20}" |
  scripts/trace-view.sh -
