# Shared helpers of the simulator's shell tests. Each test runs one simulator
# on its own 127.0.4.x address, started and stopped here by its pid.
set -u
SIM=${1:?usage: test.sh PATH-TO-printer-sim}
command -v snmpget >/dev/null || { echo "SKIP: Net-SNMP tools (package snmp) not installed"; exit 77; }
if [ "$(id -u)" = 0 ]; then SNMP_PORT=${PSIM_SNMP_PORT:-161}; else SNMP_PORT=${PSIM_SNMP_PORT:-16161}; fi
JOB_PORT=9100
CTL_PORT=9190
SIM_PID=
SIM_LOG=$(mktemp)
FAILS=0

fail() { echo "FAIL: $*"; FAILS=$((FAILS + 1)); }
check() {  # check DESCRIPTION ACTUAL EXPECTED
  if [ "$2" = "$3" ]; then echo "ok: $1"; else fail "$1: got [$2], want [$3]"; fi
}

start_sim() {  # start_sim ADDR [options...]
  ADDR=$1; shift
  "$SIM" --addr "$ADDR" --snmp-port "$SNMP_PORT" --job-port "$JOB_PORT" --ctl-port "$CTL_PORT" \
    --lifetime 300 "$@" >"$SIM_LOG" 2>&1 &
  SIM_PID=$!
  for _ in $(seq 100); do
    if ctl ping >/dev/null 2>&1; then return 0; fi
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "simulator did not start:"; cat "$SIM_LOG"; exit 1
}

stop_sim() {
  [ -n "$SIM_PID" ] || return 0
  kill "$SIM_PID" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$SIM_PID" 2>/dev/null || break; sleep 0.05; done
  if kill -0 "$SIM_PID" 2>/dev/null; then fail "simulator ignored SIGTERM"; kill -9 "$SIM_PID"; fi
  wait "$SIM_PID" 2>/dev/null
  SIM_PID=
}

finish() {
  stop_sim
  rm -f "$SIM_LOG"
  if [ "$FAILS" -ne 0 ]; then echo "$FAILS check(s) failed"; exit 1; fi
  echo "all checks passed"
}
trap finish EXIT

ctl() { "$SIM" --ctl "$ADDR:$CTL_PORT" "$@"; }
snmp() {  # snmp TOOL [args...]: numeric OIDs, one try of one second
  local tool=$1; shift
  "$tool" -v1 -c "${COMMUNITY:-ravine}" -On -t 1 -r 0 "udp:$ADDR:$SNMP_PORT" "$@" 2>&1
}
# The bare value of one object ("INTEGER: 7" -> "7", strings without quotes).
val() {
  snmp snmpget "$1" | sed -n 's/^[^=]* = [A-Za-z0-9-]*: //p; s/^[^=]* = ""$//p' | sed 's/^"\(.*\)"$/\1/; s/ *$//'
}
# Sends one job (a file) over one connection of the job port.
print_job() {
  exec 5<>"/dev/tcp/$ADDR/$JOB_PORT" || return 1
  cat "$1" >&5
  exec 5>&-
}
# Waits up to $3 seconds until the object $1 reads $2.
wait_val() {
  local i
  for i in $(seq $(( $3 * 20 ))); do
    [ "$(val "$1")" = "$2" ] && return 0
    sleep 0.05
  done
  return 1
}
# The JCID's object-identifier index: its length, then each byte in decimal.
jcid_index() {
  local s=$1 out=${#1} i
  for ((i = 0; i < ${#s}; i++)); do out="$out.$(printf '%d' "'${s:i:1}")"; done
  echo "$out"
}
UEL=$'\033%-12345X'
make_job() {  # make_job FILE JCID PAGES
  { printf '%s@PJL JOB NAME="%s" @JCID="%s"\r\n@PJL ENTER LANGUAGE=VPDL\r\n' "$UEL" "Test_Document_0000000001" "$2"
    for ((p = 0; p < $3; p++)); do printf 'page %d\f' "$p"; done
    printf '%s' "$UEL"; } >"$1"
}
