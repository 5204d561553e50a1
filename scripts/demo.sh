#!/usr/bin/env bash
# Demo on a ready-made machine: a 32-bit Wine prefix holding the QRV
# 7310-zz5 card and an onboard COM1. Installs the tools it needs, builds
# qrvinst.exe, then installs the card's drivers, names its ports and removes
# it again, showing the devices before and after each step.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset win32 > /dev/null
cmake --build --preset win32

# The machine is made the way the end-to-end tests make theirs, and kept.
export E2E_QRVINST=$PWD/build/win32/qrvinst.exe
export E2E_FIXTURE=$PWD/build/win32/tests/e2e/qrvfixture.exe
export E2E_INF_DIR=$PWD/tests/e2e/inf
export E2E_WORK_DIR=$PWD/build/demo
export E2E_TEMPLATE=$E2E_WORK_DIR/template
export E2E_KEEP=1
source tests/e2e/lib.sh

echo
echo "Preparing the demo machine (a Wine prefix) in build/demo/machine/prefix ..."
e2e_begin machine
provision_card
provision_onboard_port

echo
echo "Devices before qrvinst.exe runs:"
echo
show_table

for args in "" r u; do
  echo
  echo "================================================================"
  echo "C:\\> qrvinst.exe${args:+ $args}"
  echo
  run_qrvinst $args
  echo
  echo "Devices afterwards:"
  echo
  show_table
done

# Nothing is left running; the prefix stays for a look at its registry.
trap - EXIT
wineserver -k
echo
echo "The demo machine is kept in $WINEPREFIX."
