#!/bin/bash
# The card's life on one machine: install, name the ports, uninstall. At the
# end the card is gone and the rest of the machine is as it was.
# With the argument "planted", the exe runs from a folder that also holds
# DLLs planted under the names of system DLLs, with Wine told to prefer
# them, as Windows would: every mode does its work as usual and loads none
# of them. A program that imports newdev.dll, run the same way, does load
# the planted one: the test would see such a load.
source "$(dirname "$0")/lib.sh"
e2e_begin "round_trip${1:+_$1}"

provision_other_multifunction
provision_card
provision_onboard_port

planted=${1:-}
[[ $planted != planted ]] || plant_dlls
# no_planted_loads <mode>: the mode just run loaded no planted DLL.
no_planted_loads() {
  [[ $planted != planted || -z $(planted_loads) ]] ||
    e2e_fail "qrvinst $1 loaded planted DLLs: $(planted_loads | tr '\n' ' ')"
}

run_qrvinst > "$E2E_DIR/install"
expect_status 0
expect_output "$E2E_DIR/install" "${BANNER}Installing 7310-zz5 PCI Serial Port Drivers -  [ OK ]
"
no_planted_loads install
mapfile -t states < <(card_states "present | driver | no name | no PortName")
expect_states "${states[@]}"

run_qrvinst r > "$E2E_DIR/reassign"
expect_status 0
expect_output "$E2E_DIR/reassign" "${BANNER}${REASSIGNED_ALL}"
no_planted_loads r
expect_state "$(card_child_id 2)" \
  "$(card_child_id 2) | present | driver | name \"QRV 7310-zz5 Touch Screen (COM5)\" | PortName REG_SZ 5 \"COM5\""

run_qrvinst u > "$E2E_DIR/uninstall"
expect_status 0
expect_output "$E2E_DIR/uninstall" "${BANNER}Uninstalling 7310-zz5 PCI Serial Port Drivers -  [ OK ] 
"
no_planted_loads u
mapfile -t states < <(card_states absent)
expect_states "${states[@]}" "$(onboard_port_state)" "$(other_multifunction_state)"

[[ $planted == planted ]] || exit 0
run_planted "$E2E_STATIC_IMPORT" > /dev/null
expect_status 0
[[ $(planted_loads) == newdev.dll.loaded ]] ||
  e2e_fail "qrvstaticimport.exe, which imports newdev.dll, loaded planted DLLs '$(planted_loads | tr '\n' ' ')', not newdev.dll alone: the test cannot see a planted DLL load"
