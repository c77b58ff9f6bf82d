#!/bin/bash
# Prints jobs to the job port and follows them through the private job MIB
# with Net-SNMP's v1 tools: completion, cancel by set, abort, panel cancel,
# a job without JCID, power off and power on.
. "$(dirname "$0")/lib.sh"
start_sim 127.0.4.2 --page-ms 150 --pending-ms 100 --terminate-ms 300 --reset-alert-ms 0
TMP=$(mktemp -d); trap 'rm -rf "$TMP"; finish' EXIT
P=.1.3.6.1.4.1.253.8
state() { val $P.59.6.1.1.9.1.$1; }
reason() { val $P.59.6.1.1.10.1.$1; }
pages() { val $P.59.16.1.1.5.1.$1; }
# The job index (FWID) the printer maps a JCID to: the tail of the mapping row.
fwid_of() {
  local idx; idx=$(jcid_index "$1")
  snmp snmpgetnext "$P.59.8.1.1.2.$idx" | cut -d' ' -f1 | sed -n "s/^$P.59.8.1.1.2.$idx.//p"
}

# A job runs pending, processing with a growing page count, completed.
J1=03414243444500009738000012AB0123456789ABCDEF0
make_job "$TMP/j1" $J1 10
print_job "$TMP/j1"
F=$(fwid_of $J1)
check "JCID maps to the first job index" "$F" "1.1"
check "job table carries the JCID" "$(val $P.59.6.1.1.3.1.$F)" "$J1"
seen=""; last=0; grew=yes; between=no
for _ in $(seq 200); do
  s=$(state $F); n=$(pages $F)
  [[ "$seen" == *"<$s>"* ]] || seen="$seen<$s>"
  [ "${n:-0}" -lt "$last" ] && grew=no
  [ "${n:-0}" -gt 0 ] && [ "${n:-0}" -lt 10 ] && between=yes
  last=${n:-0}
  [ "$s" = 17 ] && break
  sleep 0.05
done
# Under load the pending state may pass between two polls.
check "states seen" "${seen#<6>}" "<7><17>"
check "page count grows page by page" "$grew $between" "yes yes"
check "completed with successful completion" "$(reason $F) $(pages $F)" "16 10"
check "received all bytes" "$(ctl received | grep -c "bytes=$(stat -c %s "$TMP/j1") .*language=\"VPDL\"\|language=\"VPDL\" bytes=$(stat -c %s "$TMP/j1")")" 1

# Cancel by the monitor's set of 1414: terminating, then completed, reason 0x80.
J2=03414243444500009738000012AB0123456789ABCDEF2
make_job "$TMP/j2" $J2 40
print_job "$TMP/j2"
F2=$(fwid_of $J2)
wait_val $P.59.6.1.1.9.1.$F2 7 5 || fail "job 2 never processed"
check "cancel set answered" "$(snmp snmpset $P.76.3.2.1.1.1.$F2 i 1414 | sed 's/.*= //')" "INTEGER: 1414"
check "cancelled job terminating" "$(state $F2) $(reason $F2)" "14 128"
wait_val $P.59.6.1.1.9.1.$F2 17 5 && echo "ok: cancelled job completes" || fail "cancelled job stuck"
check "reason kept" "$(reason $F2)" 128
[ "$(pages $F2)" -lt 40 ] && echo "ok: cancelled before its last page" || fail "all pages printed"

# Abort and panel cancel of the current job from the control port.
make_job "$TMP/j3" 03414243444500009738000012AB0123456789ABCDEF3 40
print_job "$TMP/j3"
F3=$(fwid_of 03414243444500009738000012AB0123456789ABCDEF3)
wait_val $P.59.6.1.1.9.1.$F3 7 5 || fail "job 3 never processed"
ctl abort >/dev/null
check "aborted by the system" "$(reason $F3)" 512
make_job "$TMP/j4" 03414243444500009738000012AB0123456789ABCDEF4 40
print_job "$TMP/j4"
F4=$(fwid_of 03414243444500009738000012AB0123456789ABCDEF4)
wait_val $P.59.6.1.1.9.1.$F4 7 5 || fail "job 4 never processed"
ctl pause on >/dev/null
wait_val $P.59.6.1.1.9.1.$F4 13 2 && echo "ok: paused" || fail "not paused"
ctl pause off >/dev/null
ctl cancel >/dev/null
check "cancelled at the panel" "$(reason $F4)" 128

# A job without a PJL job line gets a row with an empty JCID.
printf '%s@PJL ENTER LANGUAGE=VPDL\r\nraw data\f' "$UEL" >"$TMP/j5"
print_job "$TMP/j5"
sleep 0.2
row=$(snmp snmpgetnext $P.59.8.1.1.2.0 | cut -d' ' -f1)
check "empty JCID maps under index 0" "$row" "$P.59.8.1.1.2.0.1.5"
check "empty JCID in the job table" "$(val $P.59.6.1.1.3.1.1.5)" ""

# Power off while a job is being received: no SNMP answer, the job port
# refuses, the received log shows the cut.
exec 6<>"/dev/tcp/$ADDR/$JOB_PORT"
printf '%s@PJL JOB NAME="Cut_Document_00000000001" @JCID="X"\r\n@PJL ENTER LANGUAGE=VPDL\r\nabc' "$UEL" >&6
sleep 0.2
ctl power off >/dev/null
exec 6>&- 2>/dev/null
grep -q Timeout <<<"$(snmp snmpget .1.3.6.1.2.1.1.1.0)" && echo "ok: silent while off" || fail "answered while off"
( exec 7<>"/dev/tcp/$ADDR/$JOB_PORT" ) 2>/dev/null && fail "job port open while off" || echo "ok: job port refused"
check "received log shows the cut job" "$(ctl received | grep -c 'jcid="X".*end=poweroff')" 1

# Power on: empty job table, "Printer Reset", numbering from 1 again.
ctl power on >/dev/null
check "job MIB empty" "$(snmp snmpwalk $P.59 | grep -c "^$P")" 0
check "reset alert" "$(snmp snmpwalk .1.3.6.1.2.1.43.18.1.1.8 | grep -c '"Printer Reset"')" 1
print_job "$TMP/j1"
check "numbering restarts" "$(fwid_of $J1)" "1.1"
check "job data query" "$(ctl data 1 | head -1 | cut -c1-20)" "1B252D31323334355840"
