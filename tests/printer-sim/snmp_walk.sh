#!/bin/bash
# Walks the whole agent with Net-SNMP's v1 tools: every object the monitor
# reads is there with the right type, the walk is strictly increasing, and
# get, get-next and set errors are those of SNMP v1.
. "$(dirname "$0")/lib.sh"
start_sim 127.0.4.1 --page-ms 50 --pending-ms 0
ctl alert add Front Cover Open >/dev/null
ctl alert add Low Toner >/dev/null
TMP=$(mktemp); trap 'rm -f "$TMP" "$TMP.job"; finish' EXIT
make_job "$TMP.job" 0312345678ABCDEF0123456789ABCDEF0123456789ABC 2
print_job "$TMP.job"
sleep 0.3

snmp snmpwalk .1 >"$TMP"
check "walk ends at the end of the MIB" "$(tail -1 "$TMP")" "End of MIB"
check "walk has no errors" "$(grep -c -i 'error\|timeout' "$TMP")" 0
# Strictly increasing in OID order across the whole tree.
order=$(grep '^\.' "$TMP" | cut -d' ' -f1 | /usr/bin/python3 -c '
import sys
oids = [tuple(int(x) for x in l.strip().lstrip(".").split(".")) for l in sys.stdin]
bad = [(a, b) for a, b in zip(oids, oids[1:]) if not a < b]
print(len(oids) if not bad else "out of order: %s then %s" % bad[0])')
if [[ "$order" =~ ^[0-9]+$ ]] && [ "$order" -gt 150 ]; then echo "ok: $order objects in increasing order"; else fail "walk order: $order"; fi

# type_of OID: the type word of the walked object, strings counted as STRING.
type_of() { grep "^$1 = " "$TMP" | sed 's/^[^=]* = \([A-Za-z0-9-]*\):.*/\1/; s/^[^=]* = ""$/STRING/; s/Hex-STRING/STRING/'; }
M=.1.3.6.1.2.1
P=.1.3.6.1.4.1.253.8
expect="
$M.1.1.0 STRING
$M.1.2.0 OID
$M.1.3.0 Timeticks
$M.25.3.2.1.5.1 INTEGER
$M.25.3.5.1.1.1 INTEGER
$M.25.3.5.1.2.1 STRING
$M.43.17.6.1.2.1.3 INTEGER
$M.43.18.1.1.8.1.1 STRING
$M.43.18.1.1.8.1.2 STRING
$M.43.18.1.1.9.1.2 Timeticks
$M.43.15.1.1.5.1.1 STRING
$M.43.15.1.1.5.1.2 STRING
$M.43.9.2.1.7.1.1 STRING
$M.43.9.2.1.7.1.2 STRING
$M.43.16.5.1.2.1.1 STRING
$M.43.16.5.1.2.1.2 STRING
$P.59.6.1.1.3.1.1.1 STRING
$P.59.6.1.1.4.1.1.1 STRING
$P.59.6.1.1.9.1.1.1 INTEGER
$P.59.6.1.1.10.1.1.1 INTEGER
$P.59.16.1.1.5.1.1.1 INTEGER
$P.59.8.1.1.2.$(jcid_index 0312345678ABCDEF0123456789ABCDEF0123456789ABC).1.1 INTEGER
$P.76.3.2.1.1.1.1.1 INTEGER"
for b in 1 2 3 4 5 6; do
  expect="$expect
$M.43.8.2.1.13.1.$b STRING
$M.43.8.2.1.12.1.$b STRING
$M.43.8.2.1.18.1.$b STRING
$M.43.8.2.1.10.1.$b INTEGER
$M.43.8.2.1.5.1.$b INTEGER
$M.43.8.2.1.4.1.$b INTEGER"
done
missing=0
while read -r oid type; do
  [ -n "$oid" ] || continue
  got=$(type_of "$oid")
  [ "$got" = "$type" ] || { fail "$oid: type [$got], want $type"; missing=1; }
done <<<"$expect"
[ $missing = 0 ] && echo "ok: $(grep -c . <<<"$expect") monitored objects present with their types"

check "sysDescr" "$(val $M.1.1.0)" "VEK Tessaroline 7700"
check "bin names" "$(for b in 1 2 3 4 5 6; do val $M.43.8.2.1.13.1.$b; done | tr '\n' ,)" "HOPPER1,HOPPER2,HOPPER3,HOPPER4,HOPPER5,TRAY,"
check "bin 1 current A4" "$(val $M.43.8.2.1.18.1.1)" "A4TYPE,CURRENT"
check "stacker fitted" "$(val $M.43.9.2.1.7.1.2)" "STACKER TRAY"
check "a cover open takes the printer down" "$(val $M.25.3.2.1.5.1)/$(val $M.25.3.5.1.1.1)" "5/1"
check "error state: low toner, door open" "$(val $M.25.3.5.1.2.1)" "28 00"

# get-next: from a column's stem to its first row; past the end noSuchName.
check "get-next into the description column" \
  "$(snmp snmpgetnext $M.43.18.1.1.8.1 | cut -d' ' -f1)" "$M.43.18.1.1.8.1.1"
out=$(snmp snmpgetnext .1.3.6.1.6)
grep -q "noSuchName" <<<"$out" && grep -q "Failed object: .1.3.6.1.6" <<<"$out" \
  && echo "ok: get-next past the end is noSuchName" || fail "get-next past the end: $out"
out=$(snmp snmpget $M.1.1.0 $M.1.9.0)
grep -q "noSuchName" <<<"$out" && grep -q "Failed object: $M.1.9.0" <<<"$out" \
  && echo "ok: get of a missing object names the second binding" || fail "get missing: $out"

# set: readOnly, badValue, noSuchName; a writable object takes the value.
grep -q "readOnly" <<<"$(snmp snmpset $M.1.1.0 s other)" && echo "ok: sysDescr is read-only" || fail "set sysDescr"
grep -q "badValue" <<<"$(snmp snmpset $P.76.3.2.1.1.1.1.1 i 7)" && echo "ok: job control takes only 1414" || fail "set 7"
grep -q "badValue" <<<"$(snmp snmpset $M.1.5.0 i 7)" && echo "ok: wrong type is badValue" || fail "set type"
grep -q "noSuchName" <<<"$(snmp snmpset $P.76.3.2.1.1.1.1.99 i 1414)" && echo "ok: no such job" || fail "set job 99"
snmp snmpset $M.1.6.0 s "Room 4" >/dev/null
check "sysLocation is writable" "$(val $M.1.6.0)" "Room 4"

# Requests with another community, or of another version, get no answer.
grep -q "Timeout" <<<"$(COMMUNITY=public snmp snmpget $M.1.1.0)" && echo "ok: other community dropped" || fail "public answered"
grep -q "Timeout" <<<"$("snmpget" -v2c -c ravine -t 1 -r 0 "udp:$ADDR:$SNMP_PORT" $M.1.1.0 2>&1)" \
  && echo "ok: v2c dropped" || fail "v2c answered"
check "bad community counted" "$(ctl stats | sed -n 's/^bad-community //p')" 1

# Scenario knobs seen through SNMP.
ctl community public >/dev/null
check "community changed" "$(COMMUNITY=public val $M.1.1.0)" "VEK Tessaroline 7700"
ctl community ravine >/dev/null
ctl model VEK Tessaroline 9900 >/dev/null
check "another model" "$(val $M.1.1.0)" "VEK Tessaroline 9900"
ctl stacker off >/dev/null
grep -q "STACKER" <<<"$(snmp snmpwalk $M.43.9.2.1.7)" && fail "stacker still listed" || echo "ok: stacker removed"
ctl bin 3 media NON-STANDARD >/dev/null
ctl bin 3 dims 364000 257000 >/dev/null
check "bin media and size" "$(val $M.43.8.2.1.12.1.3) $(val $M.43.8.2.1.4.1.3)" "NON-STANDARD 364000"
ctl bins 3 >/dev/null
check "three bins" "$(snmp snmpwalk $M.43.8.2.1.13 | grep -c STRING)" 3
ctl display 1 '0123 \x83R\x81[\x83\x8B' >/dev/null
check "display row in code page 932" "$(snmp snmpget $M.43.16.5.1.2.1.1 | sed 's/.*= //')" \
  "Hex-STRING: 30 31 32 33 20 83 52 81 5B 83 8B "
ctl powersave on >/dev/null
ctl alert clear >/dev/null
check "power save on light 3" "$(val $M.43.17.6.1.2.1.3)" 1000
ctl snmp generr $M.25 >/dev/null
grep -q "genErr" <<<"$(snmp snmpget $M.25.3.2.1.5.1)" && echo "ok: injected genErr" || fail "genErr"
ctl snmp normal >/dev/null
# Hostile answers are seeded: the same seed spoils the same answers, and
# some of 40 reads of one integer come back as something else.
hostile_run() {
  ctl snmp hostile "$1" >/dev/null
  for _ in $(seq 40); do snmp snmpget $M.25.3.2.1.5.1 | sed 's/.*= //'; done
}
first=$(hostile_run 5)
ctl snmp normal >/dev/null
second=$(hostile_run 5)
ctl snmp normal >/dev/null
check "hostile answers repeat with their seed" "$([ "$first" = "$second" ] && echo same)" same
spoilt=$(grep -vc '^INTEGER' <<<"$first")
[ "$spoilt" -gt 0 ] && [ "$spoilt" -lt 40 ] && echo "ok: $spoilt of 40 answers spoilt" || fail "spoilt $spoilt of 40"
check "normal again" "$(val $M.25.3.2.1.5.1 | grep -c .)" 1
