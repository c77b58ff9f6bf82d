#!/bin/bash
# The knobs that job tracking and the device poll are tested against, seen
# through Net-SNMP's v1 tools: edited job rows (state 17 with the connection
# open, reason 0x280, a falling page count, state 3), an omitted or renamed
# JCID mapping row, hidden subtrees (walks meet the end of the MIB),
# multi-arc job indexes, and many printers in one process.
. "$(dirname "$0")/lib.sh"
start_sim 127.0.4.11 --page-ms 100 --pending-ms 0 --reset-alert-ms 0
TMP=$(mktemp -d); trap 'rm -rf "$TMP"; finish' EXIT
P=.1.3.6.1.4.1.253.8
row() { echo "1.1.$1"; }
state() { val $P.59.6.1.1.9.$(row $1); }
reason() { val $P.59.6.1.1.10.$(row $1); }
pages() { val $P.59.16.1.1.5.$(row $1); }
next_oid() { snmp snmpgetnext "$1" | cut -d' ' -f1; }

# Job 1 stays open: the edit holds state 17 while its data still arrive.
exec 6<>"/dev/tcp/$ADDR/$JOB_PORT"
printf '%s@PJL JOB NAME="open" @JCID="OPEN-JOB-0001"\r\n@PJL ENTER LANGUAGE=VPDL\r\np\fp\fp\f' "$UEL" >&6
wait_val $P.59.6.1.1.9.$(row 1) 7 5 || fail "job 1 never processed"
ctl job 1 state 17 >/dev/null
sleep 0.3
check "state 17 with the connection open" "$(state 1) $(ctl jobs | grep -c 'job 1 .*state=17 .*open=1')" "17 1"
ctl job 1 reason 0x280 >/dev/null
check "reason 0x280 (user cancel and abort)" "$(reason 1)" 640
ctl job 1 pages 3 >/dev/null
ctl job 1 pages 1 >/dev/null
check "falling page count" "$(pages 1)" 1
ctl job 1 state 3 >/dev/null
check "state 3 (creating)" "$(state 1)" 3
printf 'more\f' >&6
sleep 0.3
check "an edited row stays as set" "$(state 1) $(pages 1)" "3 1"
exec 6>&-
ctl job 1 auto >/dev/null
check "unknown job refused" "$(ctl job 99 state 7 2>&1)" "ERR no such job"

# Mapping rows: omitted, then filed under another JCID, then back.
make_job "$TMP/j2" MAPPED-JOB-000002 1
print_job "$TMP/j2"
IDX=$(jcid_index MAPPED-JOB-000002)
wait_val $P.59.6.1.1.3.$(row 2) MAPPED-JOB-000002 5 || fail "job 2 has no row"
check "mapping row by default" "$(next_oid $P.59.8.1.1.2.$IDX)" "$P.59.8.1.1.2.$IDX.1.2"
ctl job 2 map none >/dev/null
case "$(next_oid $P.59.8.1.1.2.$IDX)" in
  "$P.59.8.1.1.2.$IDX"*) fail "omitted mapping row still answered" ;;
  *) echo "ok: mapping row omitted, the lookup meets another row" ;;
esac
check "job row itself stays" "$(val $P.59.6.1.1.3.$(row 2))" MAPPED-JOB-000002
ctl job 2 map OTHER-JOB-0000002 >/dev/null
check "mapping row renamed" "$(next_oid $P.59.8.1.1.2.$(jcid_index OTHER-JOB-0000002))" \
  "$P.59.8.1.1.2.$(jcid_index OTHER-JOB-0000002).1.2"
ctl job 2 map auto >/dev/null
check "mapping row back" "$(next_oid $P.59.8.1.1.2.$IDX)" "$P.59.8.1.1.2.$IDX.1.2"

# Hidden subtrees: without job-table column 4 the walk of column 3 goes on
# to column 9; without the product objects and the job control table a walk
# past the page column meets the end of the MIB.
ctl hide 1.3.6.1.4.1.253.8.59.6.1.1.4 >/dev/null
check "column 4 hidden" "$(snmp snmpget $P.59.6.1.1.4.$(row 2) | grep -c noSuchName)" 1
check "walk of column 3 goes on to column 9" "$(next_oid $P.59.6.1.1.3.$(row 2))" "$P.59.6.1.1.9.$(row 1)"
ctl hide 1.3.6.1.4.1.253.8.61 >/dev/null
ctl hide 1.3.6.1.4.1.253.8.76 >/dev/null
check "end of the MIB after the page column" \
  "$(snmp snmpgetnext $P.59.16.1.1.5.$(row 2) | grep -c 'noSuchName\|End of MIB')" 1
ctl unhide all >/dev/null
check "unhidden" "$(val $P.61.1.2.0)" "TSL7700-000001"

# Multi-arc job indexes: the FWID "3.10.20.N" in every private table.
ctl fwid-arcs 3 >/dev/null
# Long enough to be still printing when the cancel comes, on a busy machine too.
make_job "$TMP/j3" MULTI-ARC-JOB-0003 40
print_job "$TMP/j3"
F=3.10.20.3
wait_val $P.59.6.1.1.3.1.$F MULTI-ARC-JOB-0003 5 || fail "multi-arc row missing"
check "mapping row carries the multi-arc FWID" "$(next_oid $P.59.8.1.1.2.$(jcid_index MULTI-ARC-JOB-0003))" \
  "$P.59.8.1.1.2.$(jcid_index MULTI-ARC-JOB-0003).$F"
check "jobs query shows it" "$(ctl jobs | grep -c "fwid=$F ")" 1
check "cancel by set on the multi-arc index" "$(snmp snmpset $P.76.3.2.1.1.1.$F i 1414 | sed 's/.*= //')" "INTEGER: 1414"
check "cancelled" "$(val $P.59.6.1.1.10.1.$F)" 128
stop_sim

# Many printers in one process, one address each, each its own state.
ADDR=127.0.7.1
"$SIM" --addr 127.0.7.1 --count 3 --snmp-port "$SNMP_PORT" --lifetime 120 >"$SIM_LOG" 2>&1 &
SIM_PID=$!
for _ in $(seq 100); do ctl ping >/dev/null 2>&1 && break; sleep 0.05; done
"$SIM" --ctl 127.0.7.3:$CTL_PORT alert add Cover Open >/dev/null
ADDR=127.0.7.3
check "third printer has its alert" "$(val .1.3.6.1.2.1.43.18.1.1.8.1.1)" "Cover Open"
ADDR=127.0.7.2
check "second printer has none" "$(snmp snmpget .1.3.6.1.2.1.43.18.1.1.8.1.1 | grep -c noSuchName)" 1
check "second printer answers" "$(val .1.3.6.1.2.1.1.1.0)" "VEK Tessaroline 7700"
check "ready line names the range" "$(head -1 "$SIM_LOG")" \
  "printer-sim ready on 127.0.7.1 to 127.0.7.3 (3 printers) snmp $SNMP_PORT job 9100 control 9190"
