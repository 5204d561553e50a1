#!/bin/bash
# Checking: "qrvinst.exe /check" tells whether the card is set up, one line
# per device, and changes nothing: on the card as Windows found it (no
# drivers, its ports named COM7 to COM10) it exits non-zero, after an
# install and r it exits 0, and with one port renamed by hand non-zero
# again. Each time the exe makes none of the calls that change a machine
# (Wine's relay log of its own calls), and the devices, their registry keys
# and the COM name database are the same afterwards.
source "$(dirname "$0")/lib.sh"
e2e_begin check

provision_card
provision_onboard_port
for child in 0 1 2 3; do name_port "$(card_child_id "$child")" "COM$((child + 7))"; done
claim_numbers 1 7 8 9 10
relay_only newdev.UpdateDriverForPlugAndPlayDevicesA advapi32.RegSetValueExA \
  advapi32.RegDeleteKeyA advapi32.RegDeleteValueA setupapi.SetupDiSetDeviceRegistryPropertyA \
  setupapi.SetupDiRemoveDevice setupapi.SetupDiSetClassInstallParamsA \
  setupapi.SetupDiCallClassInstaller setupapi.SetupPromptReboot

# machine_state: the devices' registry keys and the COM name database.
machine_state() {
  _e2e_wine reg run reg query 'HKLM\SYSTEM\CurrentControlSet\Enum' /s
  claimed_numbers
}
# check <status> <expected lines after the banner>: a check, which changes
# nothing.
check() {
  machine_state > "$E2E_DIR/before"
  WINEDEBUG=+pid,+loaddll,+relay run_qrvinst /check > "$E2E_DIR/out"
  local status=$E2E_STATUS calls
  calls=$(exe_calls)
  [[ -z $calls ]] || e2e_fail "the check made calls that change the machine: $calls"
  machine_state > "$E2E_DIR/after"
  cmp -s "$E2E_DIR/before" "$E2E_DIR/after" ||
    e2e_fail "the check changed the machine: $(diff "$E2E_DIR/before" "$E2E_DIR/after" | head -5)"
  E2E_STATUS=$status
  expect_status "$1"
  expect_output "$E2E_DIR/out" "${BANNER}$2"
}
# lines <driver words> <names>...: the six lines of a check whose devices
# are all present, the ports with those names and COM3 to COM6 for OK.
lines() {
  local driver=$1 mark=' [ OK ]' port=0 name
  [[ $driver == 'driver installed' ]] || mark=' [ FAILED ]'
  printf 'Using the INF files in C:\\windows\\inf\n'
  printf 'Checking %s function - present, %s%s\n' product "$driver" "$mark" base "$driver" "$mark"
  shift
  for name in "$@"; do
    local row=("MSR" "VFD" "Touch Screen" "Serial Port C") own=$mark
    [[ $name == "COM$((port + 3))" ]] || own=' [ FAILED ]'
    printf 'Checking %s COM Port - present, %s, named %s%s\n' "${row[port]}" "$driver" "$name" "$own"
    port=$((port + 1))
  done
}

check 63 "$(lines 'no driver' COM7 COM8 COM9 COM10)
Exit status 63: the card is not set up: product function has no driver; base function has no driver; MSR port has no driver; VFD port has no driver; Touch Screen port has no driver; Serial Port C port has no driver.
"

run_qrvinst /strict > /dev/null
expect_status 0
run_qrvinst r > /dev/null
expect_status 0
check 0 "$(lines 'driver installed' COM3 COM4 COM5 COM6)
Exit status 0: the card is set up.
"

name_port "$(card_child_id 1)" COM9
check 2 "$(lines 'driver installed' COM3 COM9 COM5 COM6)
Exit status 2: the card is not set up: VFD port is not named COM4.
"
