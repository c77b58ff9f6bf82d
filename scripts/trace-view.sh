#!/bin/bash
# Shows a vjlmon trace (.TRG, .TR1, .001 ...) or print history file as
# UTF-8. The monitor writes them in code page 932, so a UTF-8 terminal or
# editor shows their Japanese lines garbled.
#
#   scripts/trace-view.sh FILE        the whole file
#   scripts/trace-view.sh -f FILE     the whole file, then every line added to it
#   scripts/trace-view.sh -           standard input (e.g. the main job's output)
#
# Line ends become Unix ones. A byte that is not code page 932 (a raw dump
# of job data, a line cut by rotation) is left out rather than ending the
# output. Needs iconv (glibc's, or libiconv).
set -euo pipefail

usage() {
  echo "usage: $0 [-f] FILE | -" >&2
  exit 2
}

follow=0
case "${1:-}" in
  -f|--follow) follow=1; shift ;;
  -h|--help) usage ;;
esac
[ $# -eq 1 ] || usage
file=$1

to_utf8() { iconv -c -f CP932 -t UTF-8 | sed 's/\r*$//'; }

if [ "$file" = - ]; then
  [ $follow = 0 ] || usage
  to_utf8
  exit
fi
[ -r "$file" ] || { echo "$0: cannot read $file" >&2; exit 1; }

to_utf8 < "$file"
[ $follow = 1 ] || exit 0
# iconv converts only once its input ends, so a growing file goes through it
# line by line. -F reopens the file when the monitor rotates it.
tail -n 0 -F "$file" 2>/dev/null | while IFS= read -r line; do
  printf '%s\n' "$line" | to_utf8
done
