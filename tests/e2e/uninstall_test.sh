#!/bin/bash
# Uninstalling one card: its six devices go; the onboard port and another
# product's device in the shared multifunction class, which enumerates
# before the card's base function, stay. With a single card the second
# removal pass finds nothing, which the line's trailing space tells.
source "$(dirname "$0")/lib.sh"
e2e_begin uninstall

provision_other_multifunction
provision_card
provision_onboard_port

run_qrvinst u > "$E2E_DIR/out"
expect_status 0
expect_output "$E2E_DIR/out" "${BANNER}Uninstalling 7310-zz5 PCI Serial Port Drivers -  [ OK ] 
"

mapfile -t states < <(card_states absent)
expect_states "${states[@]}" "$(onboard_port_state)" "$(other_multifunction_state)"
