#!/bin/bash
# Runs the status interpretation fuzz target on a scratch copy of its seed corpus.
# Usage: fuzz/status/run.sh [runs] [build dir]   (runs default 10000000)
#   extra libFuzzer flags go in FUZZ_FLAGS (for example FUZZ_FLAGS=-max_total_time=60)
set -euo pipefail
runs="${1:-10000000}"
build="$(cd "${2:-build/native}" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
exe="$build/bin/status_fuzz"
[ -x "$exe" ] || { echo "missing $exe (build the native preset first)" >&2; exit 2; }
work="$(mktemp -d "${TMPDIR:-/tmp}/vjl-fuzz-status.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
cp "$here/corpus/"* "$work/corpus/"
status=0
(cd "$work" && "$exe" -runs="$runs" -max_len=4096 -print_final_stats=1 \
     -artifact_prefix="$work/status-" ${FUZZ_FLAGS:-} "$work/corpus") || status=1
if ls "$work/status-"* >/dev/null 2>&1; then
  mkdir -p fuzz-findings && cp "$work/status-"* fuzz-findings/ && echo "findings copied to fuzz-findings/"
  status=1
fi
exit $status
