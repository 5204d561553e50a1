#!/bin/bash
# Installing: qrvinst.exe without an argument gives drivers to the six
# devices of the card and leaves the onboard port alone.
# With the argument "strict", "qrvinst.exe /strict" does the same and ends
# with its status line. Wine's driver update always succeeds and never asks
# for a restart, so only status 0 is seen here: the failure statuses and
# 3010 are covered by the unit tests (tests/unit/console_test.cpp).
# With the argument "no_newdev", Wine has no newdev.dll to give: the strict
# install fails with the loader's error, 126, and installs nothing.
source "$(dirname "$0")/lib.sh"
e2e_begin "install${1:+_$1}"

provision_card
provision_onboard_port

strict=() status=0 result=' [ OK ]' status_line='' driver=driver
case ${1:-} in
  strict) strict=(/strict) status_line=$'Exit status 0: installed.\n' ;;
  no_newdev)
    export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;newdev="
    strict=(/strict) status=126 result=' [ FAILED ] ' driver='no driver'
    status_line=$'Exit status 126: install failed, Windows error 126.\n'
    ;;
esac
run_qrvinst "${strict[@]}" > "$E2E_DIR/out"
expect_status "$status"
expect_output "$E2E_DIR/out" "${BANNER}Installing 7310-zz5 PCI Serial Port Drivers - ${result}
${status_line}"

# Under Wine the driver update reports success whatever it did: the devices
# are the proof.
mapfile -t states < <(card_states "present | $driver | no name | no PortName")
expect_states "${states[@]}" "$(onboard_port_state)"
