#!/bin/bash
# Prepares the Wine prefix the tests run in and leaves a persistent Wine
# server running. Usage: scripts/wine-init.sh [prefix]   (idempotent)
set -euo pipefail
WINEPREFIX="${1:-${WINEPREFIX:-$PWD/build/windows/wineprefix}}"
export WINEPREFIX="$(realpath -m "$WINEPREFIX")"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=d;mshtml=d;winedbg.exe=d"
export WINEARCH=win64
mkdir -p "$WINEPREFIX"
if [ ! -f "$WINEPREFIX/.vjl-ready" ]; then
  wineboot -i </dev/null >/dev/null 2>&1 || true
  # No display here: a null graphics driver lets window classes and message
  # queues work without X.
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.vjl-ready"
fi
# A persistent server keeps Wine's own services from holding ctest's pipes.
wineserver -p </dev/null >/dev/null 2>&1 || true  # already running is fine
# These test programs see Windows 5.2, for the pre-Vista branches.
for exe in $(cat "$(dirname "$0")/xp-executables.txt" 2>/dev/null); do
  wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$exe" /v Version /d winxp64 /f </dev/null >/dev/null 2>&1
done
wine wineboot </dev/null >/dev/null 2>&1 &
wait
echo "wine prefix ready: $WINEPREFIX"
