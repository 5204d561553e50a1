#!/bin/bash
# Reassigning: "qrvinst.exe r" names the card's four child ports COM3 to
# COM6, in their PortName values and their friendly names, pauses three
# seconds, and leaves the onboard port alone. The ports had COM7 to COM10,
# which the COM name database held besides the onboard port's COM1: it then
# holds COM1 and COM3 to COM6.
# With an argument, a strict run:
#   conflict  the onboard port holds COM3 and the MSR port COM7: the MSR row
#             fails, exit status 1, both keep their names and the database
#             keeps both numbers
#   trade     the MSR port holds COM4 and the VFD port COM3: the card's own
#             ports swap names, every row succeeds and both numbers stay
#             claimed
#   comdb_closed
#             the database cannot be opened: the ports are named all the
#             same, the last line says the database was not updated, and it
#             still holds what it held
#   comdb_no_release
#             System32's msports.dll lacks ComDBReleasePort: the program uses
#             none of its functions (any call leaves a marker) and says so
#             as with a database that cannot be opened
source "$(dirname "$0")/lib.sh"
case=${1:-}
e2e_begin "reassign${case:+_$case}"

provision_card
provision_onboard_port

msr=$(named_port_state 0 COM3) onboard=$(onboard_port_state)
rows=$REASSIGNED_ALL args=(r /strict) status=0 verdict='all four ports reassigned.'
claimed=(1 7 8 9 10) after=(1 3 4 5 6)
case $case in
  '' | comdb_closed | comdb_no_release)
    for child in 0 1 2 3; do name_port "$(card_child_id "$child")" "COM$((child + 7))"; done
    ;;
  conflict)
    name_port "$ONBOARD_PORT_ID" COM3
    name_port "$(card_child_id 0)" COM7
    claimed=(3 7) after=(3 4 5 6 7) status=1 verdict='reassign failed for MSR.'
    rows=${rows/MSR COM Port - \[ OK \] /MSR COM Port - [ FAILED ]}
    msr="$(card_child_id 0) | present | no driver | no name | PortName REG_SZ 5 \"COM7\""
    onboard=$(onboard_port_state COM3)
    ;;
  trade)
    name_port "$(card_child_id 0)" COM4
    name_port "$(card_child_id 1)" COM3
    claimed=(1 3 4)
    ;;
  *) e2e_fail "unknown case '$case'" ;;
esac
case $case in
  '') args=(r extra) ;;
  comdb_closed) use_msports "$E2E_COMDB_CLOSED_DLL" ;;&
  comdb_no_release) use_msports "$E2E_COMDB_NO_RELEASE_DLL" ;;&
  comdb_*) verdict+=' The COM name database was not updated.' after=("${claimed[@]}") ;;
esac
claim_numbers "${claimed[@]}"
status_line=''
[[ ${args[1]} != /strict ]] || status_line="Exit status $status: $verdict
"

started=$SECONDS
run_qrvinst "${args[@]}" > "$E2E_DIR/out"
elapsed=$((SECONDS - started))
called=$WINEPREFIX/drive_c/windows/system32/msports.dll.called
[[ ! -e $called ]] || e2e_fail "qrvinst called into an msports.dll that lacks ComDBReleasePort"
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
expect_claimed "${after[@]}"
