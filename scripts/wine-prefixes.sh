#!/bin/bash
# Prepares a pool of N Wine prefixes for the Windows tests and writes the
# ctest resource file that hands them out, one to a running test:
#   build/windows/wineprefix        slot 0 (the one a program run by hand uses)
#   build/windows/wineprefix-K      slots 1 .. N-1, copies of slot 0
#   build/windows/wine-resources.json
# Each prefix keeps a Wine server of its own running. Idempotent.
# Usage: scripts/wine-prefixes.sh N | --stop   (--stop ends every server)
set -euo pipefail
cd "$(dirname "$0")/.."
base="$PWD/build/windows/wineprefix"
if [ "${1:-}" = --stop ]; then
  for pfx in "$base" "$base"-*; do
    [ -d "$pfx" ] && WINEPREFIX="$pfx" wineserver -k >/dev/null 2>&1 || true
  done
  exit 0
fi
n="${1:-1}"
scripts/wine-init.sh "$base" >/dev/null
for ((k = 1; k < n; ++k)); do
  pfx="$base-$k"
  if [ ! -f "$pfx/.vjl-ready" ]; then
    # A copy of a prepared prefix starts in a second, where a new one takes
    # a wineboot; the server writes the registry out when it stops.
    WINEPREFIX="$base" wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX="$base" wineserver -w >/dev/null 2>&1 || true
    rm -rf "$pfx" "$pfx.tmp"
    # Wine's program and library images are only read: links to them save
    # copying 700 MB. Every other file (registry, INI files) is a copy of
    # its own, since Wine may write it in place.
    cp -al "$base" "$pfx.tmp"
    while IFS= read -r -d '' f; do
      cp -p "$f" "$f.copy" && mv -f "$f.copy" "$f"
    done < <(find "$pfx.tmp" -type f ! \( -iname '*.dll' -o -iname '*.exe' -o -iname '*.drv' -o -iname '*.sys' \
                                          -o -iname '*.ocx' -o -iname '*.cpl' -o -iname '*.acm' -o -iname '*.tlb' \) -print0)
    mv "$pfx.tmp" "$pfx"
  fi
done
# Servers for every prefix (the base one again if the copies stopped it).
for ((k = 0; k < n; ++k)); do
  pfx="$base"
  [ "$k" = 0 ] || pfx="$base-$k"
  scripts/wine-init.sh "$pfx" >/dev/null
done
{
  printf '{\n  "version": {"major": 1, "minor": 0},\n  "local": [\n    {"wineprefix": [\n'
  for ((k = 0; k < n; ++k)); do
    printf '      {"id": "%d", "slots": 1}%s\n' "$k" "$([ $k -lt $((n - 1)) ] && echo ,)"
  done
  printf '    ]}\n  ]\n}\n'
} >build/windows/wine-resources.json
echo "wine prefixes ready: $n"
