#!/usr/bin/env bash
# Demo on a ready-made machine: a Wine prefix holding the QRV 7310-zz5 card,
# whose ports Windows named COM7 to COM10, and an onboard COM1. Installs the
# tools it needs and builds the program, then installs the card's drivers,
# names its ports and removes it again, showing the devices, and the COM
# numbers that Windows' COM name database holds, before and after each step,
# and what Windows answered when each renamed port was to restart.
#
# It runs qrvinst.exe on a 32-bit machine where this host can run 32-bit
# Windows programs, and qrvinst64.exe on a 64-bit machine where it cannot
# (its kernel refuses i386 code).
# The helpers of lib.sh take optional arguments the demo leaves out.
# shellcheck disable=SC2119
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
source tests/e2e/wine_host.sh

if qrv_wine_runs "$QRV_WINE32"; then
  preset=win32 exe=qrvinst.exe
  about="qrvinst.exe, the 32-bit program, on a 32-bit Windows machine."
else
  refusal=$QRV_WINE_REFUSAL
  if ! qrv_wine_runs "$QRV_WINE64"; then
    echo "FAIL: Wine cannot run on this host: $QRV_WINE_REFUSAL" >&2
    exit 1
  fi
  preset=win64 exe=qrvinst64.exe
  about="qrvinst64.exe, the 64-bit program, on a 64-bit Windows machine: this host cannot run the 32-bit one ($refusal)."
fi
cmake --preset $preset > /dev/null
cmake --build --preset $preset

# The machine is made the way the end-to-end tests make theirs, and kept.
export E2E_ARCH=$preset
export E2E_QRVINST=$PWD/build/$preset/$exe
export E2E_QRVINST_ARCH=$preset
export E2E_FIXTURE=$PWD/build/$preset/tests/e2e/qrvfixture.exe
export E2E_MSPORTS_DLL=$PWD/build/$preset/tests/e2e/qrvcomdb.dll
export E2E_INF_DIR=$PWD/tests/e2e/inf
export E2E_WORK_DIR=$PWD/build/demo/$preset
export E2E_TEMPLATE=$E2E_WORK_DIR/template
export E2E_KEEP=1
source tests/e2e/lib.sh

echo
echo "This demo runs $about"
echo
echo "Preparing the demo machine (a Wine prefix) in $E2E_WORK_DIR/machine/prefix ..."
e2e_begin machine
provision_card
provision_onboard_port
for child in 0 1 2 3; do name_port "$(card_child_id "$child")" "COM$((child + 7))"; done
claim_numbers 1 7 8 9 10

# What Windows answered each renamed port's restart request in the last
# run, from Wine's relay log of the two calls that make it.
show_restarts() {
  echo
  echo "The restart of each renamed port, as Windows answered it:"
  perl -ne 'BEGIN { @ports = ("MSR port", "VFD port", "Touch Screen port", "Serial Port C") }
    if (/:Ret  setupapi\.(SetupDi\w+)\(\) retval=(\w+)/) {
      my ($call, $result) = ($1, hex $2);
      # Parameters that were taken are followed by the restart itself.
      next if $call eq "SetupDiSetClassInstallParamsA" && $result;
      printf "  %-18s %s returned %s: %s\n", shift(@ports) . ":", $call, $result ? "TRUE" : "FALSE",
        $result ? "restarted, it answers to its new name" : "not restarted, the new name takes effect when Windows restarts";
    }' "$E2E_DIR/$E2E_RUNS".*.stderr
}

# The numbers the COM name database holds, as port names.
show_claimed() {
  local numbers
  claimed_numbers > "$E2E_DIR/claimed"
  numbers=$(< "$E2E_DIR/claimed")
  echo
  echo "COM numbers in use in the COM name database: ${numbers:+COM${numbers// /, COM}}"
}

echo
echo "Devices before $exe runs:"
echo
show_table
show_claimed

for args in "" r u; do
  echo
  echo "================================================================"
  echo "C:\\> $exe${args:+ $args}"
  echo
  if [[ $args == r ]]; then
    relay_only setupapi.SetupDiSetClassInstallParamsA setupapi.SetupDiCallClassInstaller
    WINEDEBUG=+relay run_qrvinst $args
  else
    run_qrvinst $args
  fi
  echo "(exit status $E2E_STATUS)"
  [[ $args != r ]] || show_restarts
  echo
  echo "Devices afterwards:"
  echo
  show_table
  show_claimed
done

# Nothing is left running; the prefix stays for a look at its registry.
trap - EXIT
_e2e_end_wineserver "$WINEPREFIX"
echo
echo "The demo ran $exe. Its machine is kept in $WINEPREFIX."
