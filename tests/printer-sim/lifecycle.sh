#!/bin/bash
# The simulator starts and stops cleanly and leaves no process behind:
# detached with a pid file and stopped by "quit", stopped by SIGTERM, ended
# by its lifetime, and refusing to start on a port that is taken.
. "$(dirname "$0")/lib.sh"
TMP=$(mktemp -d); trap 'rm -rf "$TMP"; finish' EXIT
ADDR=127.0.4.3
gone() {  # gone PID: waits up to 3 s for the process to end
  for _ in $(seq 60); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.05; done
  kill -9 "$1" 2>/dev/null; return 1
}
args=(--addr $ADDR --snmp-port "$SNMP_PORT" --ctl-port "$CTL_PORT" --job-port "$JOB_PORT")

pid=$("$SIM" "${args[@]}" --daemon --pidfile "$TMP/pid" --lifetime 60)
check "daemon reports its pid" "$(cat "$TMP/pid")" "$pid"
check "ready when the parent returns" "$(ctl ping)" pong
check "answers SNMP" "$(val .1.3.6.1.2.1.1.1.0)" "VEK Tessaroline 7700"
ctl quit >/dev/null
gone "$pid" && echo "ok: quit ends the daemon" || fail "daemon still running"
[ -e "$TMP/pid" ] && fail "pid file left behind" || echo "ok: pid file removed"

start_sim $ADDR
"$SIM" "${args[@]}" --lifetime 5 >"$TMP/second" 2>&1
check "a second simulator on the same ports fails" "$?" 1
grep -q "cannot bind" "$TMP/second" && echo "ok: says why" || fail "message: $(cat "$TMP/second")"
pid=$SIM_PID
stop_sim
gone "$pid" && echo "ok: SIGTERM ends it" || fail "still running after SIGTERM"

"$SIM" "${args[@]}" --lifetime 1 --init "alert add Low Toner" --init "power off" >/dev/null 2>&1 &
pid=$!
sleep 0.3
grep -q Timeout <<<"$(snmp snmpget .1.3.6.1.2.1.1.1.0)" && echo "ok: can start powered off" || fail "answered"
gone "$pid" && echo "ok: lifetime ends it" || fail "lifetime ignored"
wait "$pid"
check "exit status" "$?" 0
"$SIM" "${args[@]}" --init "bogus" >/dev/null 2>&1
check "a bad --init command refuses to start" "$?" 2
