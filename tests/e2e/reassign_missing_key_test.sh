#!/bin/bash
# Reassigning a child port that has no "Device Parameters" key fails on that
# port's line only; the key is not created and the other ports are named.
# With the argument "strict", "qrvinst.exe r /STRICT" exits with the VFD
# port's bit, 2, and says so in its last line.
source "$(dirname "$0")/lib.sh"
e2e_begin "reassign_missing_key${1:+_$1}"

for child in 0 1 2 3; do
  params=()
  [[ $child == 1 ]] && params=(--no-params)
  provision_device qrvports.inf "$(card_child_id $child)" "${CHILD_HWIDS[$child]}" "${params[@]}"
done

strict=() status=0 status_line=''
if [[ ${1:-} == strict ]]; then
  strict=(/STRICT) status=2 status_line=$'Exit status 2: reassign failed for VFD.\n'
fi
run_qrvinst r "${strict[@]}" > "$E2E_DIR/out"
expect_status "$status"
expect_output "$E2E_DIR/out" "${BANNER}Reassigning MSR COM Port - [ OK ] 
Reassigning VFD COM Port - [ FAILED ]
Reassigning Touch Screen COM Port - [ OK ] 
Reassigning Serial Port C COM Port - [ OK ] 
${status_line}"

expect_states \
  "$(card_child_id 0) | present | no driver | name \"QRV 7310-zz5 MSR Port (COM3)\" | PortName REG_SZ 5 \"COM3\"" \
  "$(card_child_id 1) | present | no driver | no name | no Device Parameters" \
  "$(card_child_id 2) | present | no driver | name \"QRV 7310-zz5 Touch Screen (COM5)\" | PortName REG_SZ 5 \"COM5\"" \
  "$(card_child_id 3) | present | no driver | name \"QRV 7310-zz5 Serial Port C (COM6)\" | PortName REG_SZ 5 \"COM6\""
