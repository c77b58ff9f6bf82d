#!/bin/sh
# Starts Net-SNMP's agent for the SNMP client's tests on <addr>:161 with a
# config of its own in <dir>, and removes <dir>/pid once the agent has gone.
# Usage: snmp-agent.sh <dir> <addr>    (the tests stop it: kill <pid>)
dir="$1"; addr="$2"
case "$addr" in 127.*) ;; *) echo "loopback addresses only" >&2; exit 2 ;; esac
mkdir -p "$dir/persist"
cat > "$dir/snmpd.conf" <<CONF
agentAddress udp:$addr:161
rocommunity ravine
sysdescr VEK Tessaroline 7700
syslocation Lab 3
syscontact nobody
sysservices 72
CONF
SNMP_PERSISTENT_DIR="$dir/persist" /usr/sbin/snmpd -f -Lf "$dir/snmpd.log" -C -c "$dir/snmpd.conf" -M /nonexistent -m "" >/dev/null 2>&1 </dev/null &
pid=$!
echo "$pid" > "$dir/pid"
# Ready once it answers; give up after about five seconds.
i=0
while [ $i -lt 50 ]; do
  if snmpget -v1 -c ravine -t 0.2 -r 0 -M /nonexistent -m "" "$addr" 1.3.6.1.2.1.1.1.0 >/dev/null 2>&1; then
    echo ready > "$dir/ready"; break
  fi
  i=$((i + 1))
done
wait "$pid"
rm -f "$dir/pid"
