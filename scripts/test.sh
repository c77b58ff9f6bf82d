#!/bin/bash
# Sets everything up, builds, and runs every test (native, sanitizer, and the
# Windows tests under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${VJL_SKIP_SETUP:-0}" = 1 ] || scripts/setup.sh
# Windows tests run side by side, each in a Wine prefix of its own: they
# mostly wait on printers and time-outs, so more run at once than there
# are cores.
jobs="${VJL_TEST_JOBS:-6}"
mkdir -p build/windows
trap 'scripts/wine-prefixes.sh --stop' EXIT
# Wine prepares its prefixes while the compilers run.
scripts/wine-prefixes.sh "$jobs" >build/windows/wine-prefixes.log 2>&1 &
prefixes=$!
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset native >/dev/null
cmake --build --preset native
wait "$prefixes" || { cat build/windows/wine-prefixes.log; exit 1; }
# The Windows tests leave the processors mostly idle: the sanitizer build
# and the native tests run meanwhile, and the Windows results come last.
status=0
ctest --preset windows -j "$jobs" --resource-spec-file "$PWD/build/windows/wine-resources.json" \
  >build/windows/ctest.log 2>&1 &
windows=$!
cmake --preset native-asan >/dev/null
cmake --build --preset native-asan
ctest --preset native -j 2 || status=1
ctest --preset native-asan -j 2 || status=1
wait "$windows" || status=1
cat build/windows/ctest.log
exit $status
