#!/bin/bash
# Installs what building and testing vjlmon needs on Debian 12.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
packages=(
  cmake make g++ clang libclang-rt-14-dev
  mingw-w64 wine wine64
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  snmp snmpd libsnmp-dev
  procps iproute2 python3
)
# Nothing to do when every package is installed: the package index is not
# fetched again (half a minute on every run).
missing=0
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || { missing=1; break; }
done
if [ "$missing" = 0 ]; then
  echo "setup: every package is installed"
  exit 0
fi
# Keep package scripts from starting services (snmpd): tests start their own.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
fi
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${packages[@]}"
