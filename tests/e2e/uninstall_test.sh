#!/bin/bash
# Uninstalling one card: its six devices go; the onboard port and another
# product's device in the shared multifunction class, which enumerates
# before the card's base function, stay. With a single card the second
# removal pass finds nothing, which the line's trailing space tells. The
# card's ports give their numbers back to the COM name database, all but
# COM1, which Serial Port C shares with the onboard port: that one stays
# claimed.
# With the argument "strict", "qrvinst.exe u /strict" does the same and ends
# with its status line, the ports holding COM3 to COM6, all given back; a
# second strict run then finds no card, which is no failure either.
source "$(dirname "$0")/lib.sh"
e2e_begin "uninstall${1:+_$1}"

provision_other_multifunction
provision_card
provision_onboard_port

strict=() status_line='' names=(COM3 COM4 COM5 COM1) claimed=(1 3 4 5)
if [[ ${1:-} == strict ]]; then
  strict=(/strict) status_line=$'Exit status 0: uninstalled; 6 devices of the card removed.\n'
  names=(COM3 COM4 COM5 COM6) claimed=(1 3 4 5 6)
fi
for child in 0 1 2 3; do name_port "$(card_child_id "$child")" "${names[child]}"; done
claim_numbers "${claimed[@]}"
run_qrvinst u "${strict[@]}" > "$E2E_DIR/out"
expect_status 0
expect_output "$E2E_DIR/out" "${BANNER}Uninstalling 7310-zz5 PCI Serial Port Drivers -  [ OK ] 
${status_line}"

mapfile -t states < <(card_states absent)
expect_states "${states[@]}" "$(onboard_port_state)" "$(other_multifunction_state)"
expect_claimed 1

[[ ${1:-} == strict ]] || exit 0
run_qrvinst u /strict > "$E2E_DIR/again"
expect_status 0
expect_output "$E2E_DIR/again" "${BANNER}Uninstalling 7310-zz5 PCI Serial Port Drivers -  [ OK ] 
Exit status 0: no card found; nothing to uninstall.
"
