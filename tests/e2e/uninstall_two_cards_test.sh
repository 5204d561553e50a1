#!/bin/bash
# Uninstalling two cards: each removal pass takes one card's functions, so
# both passes succeed (no trailing space) and no device of either is left.
source "$(dirname "$0")/lib.sh"
e2e_begin uninstall_two_cards

provision_card 0
provision_card 1
provision_onboard_port

run_qrvinst u > "$E2E_DIR/out"
expect_status 0
expect_output "$E2E_DIR/out" "${BANNER}Uninstalling 7310-zz5 PCI Serial Port Drivers -  [ OK ]
"

mapfile -t states < <(card_states absent 0; card_states absent 1)
expect_states "${states[@]}" "$(onboard_port_state)"
