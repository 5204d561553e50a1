#!/bin/bash
# Reassigning: "qrvinst.exe r" names the card's four child ports COM3 to
# COM6, in their PortName values and their friendly names, pauses three
# seconds, and leaves the onboard port alone.
source "$(dirname "$0")/lib.sh"
e2e_begin reassign

provision_card
provision_onboard_port

started=$SECONDS
run_qrvinst r extra > "$E2E_DIR/out"
elapsed=$((SECONDS - started))
expect_status 0
expect_output "$E2E_DIR/out" "${BANNER}${REASSIGNED_ALL}"
[[ $elapsed -ge 3 ]] || e2e_fail "the run took $elapsed s, not the three-second pause"

expect_states \
  "$(card_product_id) | present | no driver | no name | no PortName" \
  "$(card_base_id) | present | no driver | no name | no PortName" \
  "$(card_child_id 0) | present | no driver | name \"QRV 7310-zz5 MSR Port (COM3)\" | PortName REG_SZ 5 \"COM3\"" \
  "$(card_child_id 1) | present | no driver | name \"QRV 7310-zz5 VFD Port (COM4)\" | PortName REG_SZ 5 \"COM4\"" \
  "$(card_child_id 2) | present | no driver | name \"QRV 7310-zz5 Touch Screen (COM5)\" | PortName REG_SZ 5 \"COM5\"" \
  "$(card_child_id 3) | present | no driver | name \"QRV 7310-zz5 Serial Port C (COM6)\" | PortName REG_SZ 5 \"COM6\"" \
  "$(onboard_port_state)"
