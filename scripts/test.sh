#!/bin/bash
# Sets everything up, builds, and runs every test (native, then under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${VJL_SKIP_SETUP:-0}" = 1 ] || scripts/setup.sh
scripts/build.sh
export WINEPREFIX="$PWD/build/windows/wineprefix"
scripts/wine-init.sh "$WINEPREFIX"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
status=0
ctest --preset native || status=1
ctest --preset native-asan || status=1
# Wine tests share HKLM keys and the Windows directory: run them one at a time.
# A Wine process now and then dies at start with no output (0.00 s, seen
# once in ~10 full runs); one more try tells that apart from a real failure,
# which fails again.
ctest --preset windows --repeat until-pass:2 || status=1
exit $status
