#!/bin/bash
# Installing: qrvinst.exe without an argument gives drivers to the six
# devices of the card and leaves the onboard port alone.
source "$(dirname "$0")/lib.sh"
e2e_begin install

provision_card
provision_onboard_port

run_qrvinst > "$E2E_DIR/out"
expect_status 0
expect_output "$E2E_DIR/out" "${BANNER}Installing 7310-zz5 PCI Serial Port Drivers -  [ OK ]
"

# Under Wine the driver update reports success whatever it did: the devices
# are the proof.
mapfile -t states < <(card_states "present | driver | no name | no PortName")
expect_states "${states[@]}" "$(onboard_port_state)"
