#!/bin/bash
# Installing: qrvinst.exe without an argument gives drivers to the six
# devices of the card and leaves the onboard port alone.
source "$(dirname "$0")/lib.sh"
e2e_begin install

provision_card
provision_onboard_port

run_qrvinst > "$E2E_DIR/out"
expect_status 0
expect_output "$E2E_DIR/out" "QRV 7310-zz5 PCI Serial Port Installer
Version 1.00
Do not turn off the computer or remove the card until this program has finished.

Installing 7310-zz5 PCI Serial Port Drivers -  [ OK ]
"

# Under Wine the driver update reports success whatever it did: the devices
# are the proof.
states=()
for id in $(card_ids); do
  states+=("$id | present | driver | no name | no PortName")
done
states+=("$(onboard_port_state)")
expect_states "${states[@]}"
