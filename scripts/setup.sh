#!/bin/bash
# Installs what building and testing vjlmon needs on Debian 12.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
# Keep package scripts from starting services (snmpd): tests start their own.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
fi
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
  cmake make g++ clang libclang-rt-14-dev \
  mingw-w64 wine wine64 \
  googletest libgtest-dev libgmock-dev libbenchmark-dev \
  snmp snmpd libsnmp-dev \
  procps iproute2 python3
