#!/bin/bash
# The card's life on one machine: install, name the ports, uninstall. At the
# end the card is gone and the rest of the machine is as it was.
source "$(dirname "$0")/lib.sh"
e2e_begin round_trip

provision_other_multifunction
provision_card
provision_onboard_port

run_qrvinst > "$E2E_DIR/install"
expect_status 0
expect_output "$E2E_DIR/install" "${BANNER}Installing 7310-zz5 PCI Serial Port Drivers -  [ OK ]
"
mapfile -t states < <(card_states "present | driver | no name | no PortName")
expect_states "${states[@]}"

run_qrvinst r > "$E2E_DIR/reassign"
expect_status 0
expect_output "$E2E_DIR/reassign" "${BANNER}${REASSIGNED_ALL}"
expect_state "$(card_child_id 2)" \
  "$(card_child_id 2) | present | driver | name \"QRV 7310-zz5 Touch Screen (COM5)\" | PortName REG_SZ 5 \"COM5\""

run_qrvinst u > "$E2E_DIR/uninstall"
expect_status 0
expect_output "$E2E_DIR/uninstall" "${BANNER}Uninstalling 7310-zz5 PCI Serial Port Drivers -  [ OK ] 
"
mapfile -t states < <(card_states absent)
expect_states "${states[@]}" "$(onboard_port_state)" "$(other_multifunction_state)"
