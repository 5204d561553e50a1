#!/bin/bash
# The 32-bit qrvinst.exe on 64-bit Windows (a win64 prefix, where it runs
# under WOW64): in every mode it prints the banner and names qrvinst64.exe,
# exits with 1 and leaves the card as it was. With /strict it says why in
# its last line and exits with 1633, Windows Installer's code for a package
# of another processor type.
source "$(dirname "$0")/lib.sh"
e2e_begin wow64

provision_card
provision_onboard_port

refusal='This is 64-bit Windows: run qrvinst64.exe instead. Nothing was changed.
'
for args in "" r u; do
  run_qrvinst $args > "$E2E_DIR/out"
  expect_status 1
  expect_output "$E2E_DIR/out" "${BANNER}${refusal}"
done
run_qrvinst u /strict > "$E2E_DIR/out"
expect_status 1633
expect_output "$E2E_DIR/out" "${BANNER}${refusal}Exit status 1633: refused; this is the 32-bit program on 64-bit Windows.
"

mapfile -t states < <(card_states "present | no driver | no name | no PortName")
expect_states "${states[@]}" "$(onboard_port_state)"
