#!/bin/bash
# Reassigning a child port that has no "Device Parameters" key fails on that
# port's line only; the key is not created and the other ports are named.
source "$(dirname "$0")/lib.sh"
e2e_begin reassign_missing_key

provision_device qrvports.inf "$(card_child_id 0)" "${CHILD_HWIDS[0]}"
provision_device qrvports.inf "$(card_child_id 1)" "${CHILD_HWIDS[1]}" --no-params
provision_device qrvports.inf "$(card_child_id 2)" "${CHILD_HWIDS[2]}"
provision_device qrvports.inf "$(card_child_id 3)" "${CHILD_HWIDS[3]}"

run_qrvinst r > "$E2E_DIR/out"
expect_status 0
expect_output "$E2E_DIR/out" "QRV 7310-zz5 PCI Serial Port Installer
Version 1.00
Do not turn off the computer or remove the card until this program has finished.

Reassigning MSR COM Port - [ OK ] 
Reassigning VFD COM Port - [ FAILED ]
Reassigning Touch Screen COM Port - [ OK ] 
Reassigning Serial Port C COM Port - [ OK ] 
"

expect_states \
  "$(card_child_id 0) | present | no driver | name \"QRV 7310-zz5 MSR Port (COM3)\" | PortName REG_SZ 5 \"COM3\"" \
  "$(card_child_id 1) | present | no driver | no name | no Device Parameters" \
  "$(card_child_id 2) | present | no driver | name \"QRV 7310-zz5 Touch Screen (COM5)\" | PortName REG_SZ 5 \"COM5\"" \
  "$(card_child_id 3) | present | no driver | name \"QRV 7310-zz5 Serial Port C (COM6)\" | PortName REG_SZ 5 \"COM6\""
