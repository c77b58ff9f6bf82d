#!/bin/bash
# Sets everything up, builds, and runs every test (native, then under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${VJL_SKIP_SETUP:-0}" = 1 ] || scripts/setup.sh
scripts/build.sh
# Windows tests run side by side, each in a Wine prefix of its own: they
# mostly wait on printers and time-outs, so more run at once than there
# are cores.
jobs="${VJL_TEST_JOBS:-6}"
scripts/wine-prefixes.sh "$jobs"
trap 'scripts/wine-prefixes.sh --stop' EXIT
status=0
ctest --preset native -j 2 || status=1
ctest --preset native-asan -j 2 || status=1
ctest --preset windows -j "$jobs" --resource-spec-file "$PWD/build/windows/wine-resources.json" || status=1
exit $status
