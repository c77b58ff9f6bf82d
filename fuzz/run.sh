#!/bin/bash
# Runs each SNMP fuzz target for a bounded time on a scratch copy of the seed
# corpus. Usage: fuzz/run.sh [seconds per target] [build dir]
#   extra libFuzzer flags go in FUZZ_FLAGS (for example FUZZ_FLAGS=-runs=10000000)
set -euo pipefail
secs="${1:-60}"
build="$(cd "${2:-build/native}" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/vjl-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
status=0
for target in snmp_decode_fuzz snmp_roundtrip_fuzz; do
  exe="$build/bin/$target"
  [ -x "$exe" ] || { echo "missing $exe (build the native preset first)" >&2; exit 2; }
  mkdir -p "$work/$target"
  cp "$here/corpus/snmp/"* "$work/$target/"
  echo "== $target: ${secs}s"
  (cd "$work" && "$exe" -max_total_time="$secs" -max_len=4096 -print_final_stats=1 \
       -artifact_prefix="$work/$target-" ${FUZZ_FLAGS:-} "$work/$target") || status=1
  if ls "$work/$target-"* >/dev/null 2>&1; then
    mkdir -p fuzz-findings && cp "$work/$target-"* fuzz-findings/ && echo "findings copied to $PWD/fuzz-findings/"
    status=1
  fi
done
exit $status
