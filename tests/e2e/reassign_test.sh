#!/bin/bash
# Reassigning: "qrvinst.exe r" names the card's four child ports COM3 to
# COM6, in their PortName values and their friendly names, pauses three
# seconds, and leaves the onboard port alone.
# With an argument, a strict run where names were given before:
#   conflict  the onboard port holds COM3 and the MSR port COM7: the MSR row
#             fails, exit status 1, and both keep their names
#   trade     the MSR port holds COM4 and the VFD port COM3: the card's own
#             ports swap names, every row succeeds
# Under Wine the COM name database cannot be opened, so a strict run's last
# line says it was not updated.
source "$(dirname "$0")/lib.sh"
case=${1:-}
e2e_begin "reassign${case:+_$case}"

provision_card
provision_onboard_port

msr=$(named_port_state 0 COM3) onboard=$(onboard_port_state)
rows=$REASSIGNED_ALL args=(r extra) status=0 status_line=''
case $case in
  '') ;;
  conflict)
    name_port "$ONBOARD_PORT_ID" COM3
    name_port "$(card_child_id 0)" COM7
    args=(r /strict) status=1
    rows=${rows/MSR COM Port - \[ OK \] /MSR COM Port - [ FAILED ]}
    status_line="Exit status 1: reassign failed for MSR. The COM name database was not updated.
"
    msr="$(card_child_id 0) | present | no driver | no name | PortName REG_SZ 5 \"COM7\""
    onboard=$(onboard_port_state COM3)
    ;;
  trade)
    name_port "$(card_child_id 0)" COM4
    name_port "$(card_child_id 1)" COM3
    args=(r /strict)
    status_line="Exit status 0: all four ports reassigned. The COM name database was not updated.
"
    ;;
  *) e2e_fail "unknown case '$case'" ;;
esac

started=$SECONDS
run_qrvinst "${args[@]}" > "$E2E_DIR/out"
elapsed=$((SECONDS - started))
expect_status "$status"
expect_output "$E2E_DIR/out" "${BANNER}${rows}${status_line}"
[[ $elapsed -ge 3 ]] || e2e_fail "the run took $elapsed s, not the three-second pause"

expect_states \
  "$(card_product_id) | present | no driver | no name | no PortName" \
  "$(card_base_id) | present | no driver | no name | no PortName" \
  "$msr" \
  "$(named_port_state 1 COM4)" \
  "$(named_port_state 2 COM5)" \
  "$(named_port_state 3 COM6)" \
  "$onboard"
