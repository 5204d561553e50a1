#!/bin/bash
# Installing: qrvinst.exe without an argument gives drivers to the six
# devices of the card and leaves the onboard port alone.
# With the argument "strict", "qrvinst.exe /strict" does the same and ends
# with its status line, and asks every driver update not to show a dialog. Wine's driver update always succeeds and never asks
# for a restart, so only status 0 is seen here: the failure statuses and
# 3010 are covered by the unit tests (tests/unit/console_test.cpp).
# With the argument "no_newdev", Wine has no newdev.dll to give: the strict
# install fails with the loader's error, 126, and installs nothing.
source "$(dirname "$0")/lib.sh"
e2e_begin "install${1:+_$1}"

provision_card
provision_onboard_port

# The flags of the six driver updates, in Wine's relay log of the calls: the
# base function forced (1); in a strict run, which nobody may be watching,
# every one non-interactive (4).
strict=() status=0 result=' [ OK ]' status_line='' driver=driver expected_flags='0 1 0 0 0 0'
case ${1:-} in
  strict)
    strict=(/strict) status_line=$'Exit status 0: installed.\n' expected_flags='4 5 4 4 4 4'
    ;;
  no_newdev)
    export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;newdev="
    strict=(/strict) status=126 result=' [ FAILED ] ' driver='no driver' expected_flags=''
    status_line=$'Exit status 126: install failed, Windows error 126.\n'
    ;;
esac
relay_only newdev.UpdateDriverForPlugAndPlayDevicesA
WINEDEBUG=+relay run_qrvinst "${strict[@]}" > "$E2E_DIR/out"
flags=$(relayed_argument UpdateDriverForPlugAndPlayDevicesA 4)
[[ $flags == "$expected_flags" ]] ||
  e2e_fail "the driver updates had the flags '$flags', not '$expected_flags'"
expect_status "$status"
expect_output "$E2E_DIR/out" "${BANNER}Installing 7310-zz5 PCI Serial Port Drivers - ${result}
${status_line}"

# Under Wine the driver update reports success whatever it did: the devices
# are the proof.
mapfile -t states < <(card_states "present | $driver | no name | no PortName")
expect_states "${states[@]}" "$(onboard_port_state)"
