#!/bin/bash
# Reassigning: "qrvinst.exe r" names the card's four child ports COM3 to
# COM6, in their PortName values and their friendly names, pauses three
# seconds, and leaves the onboard port alone. The ports had COM7 to COM10,
# which the COM name database held besides the onboard port's COM1: it then
# holds COM1 and COM3 to COM6. Each renamed port is asked to restart, once
# its name is written (Wine's relay log of the exe's calls shows it); Wine
# cannot restart a device, so Windows is asked, once at the end, to
# restart. A second run, strict, before that restart asks again for the
# restarts it still owes and says 3010; one after the restart (Wine's
# server ended, and with it the volatile record of the restarts owed) finds
# the names given and restarts nothing.
# With an argument, a strict run, which says 3010 where a renamed port
# could not be restarted, as under Wine:
#   strict    the ports named COM7 to COM10: 3010
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
#   absent    the VFD port and Serial Port C are not present: their rows
#             read OK, but the status has their bits (10)
#   none      no port of the card is present: status 15
#   other_class
#             a device of another class than the ports (a setup class of the
#             tests' own, as a USB modem is of the Modem class) holds COM3:
#             the MSR row fails, exit status 1, and the MSR port keeps COM7
#   other_card
#             another multifunction card's port, its instance ID ending in
#             the MSR port's tag, holds COM3: it is not the card's, so the
#             MSR row fails on the conflict, and it keeps its name and its
#             device through r and then u
#   race_reassign, race_uninstall
#             a second run, "r /strict" or "u /strict", started during the
#             pause of the first: it waits for the first to end, then names
#             the ports (which already have their names) or removes the card
#   race_system
#             another program holds Global\qrvinst, made with a DACL that
#             grants SYNCHRONIZE only, as a run as SYSTEM leaves it to
#             administrators: the run waits, touches nothing until the
#             holder lets go, then names the ports
source "$(dirname "$0")/lib.sh"
case=${1:-}
e2e_begin "reassign${case:+_$case}"

provision_card
provision_onboard_port

onboard=$(onboard_port_state)
rows=$REASSIGNED_ALL args=(r /strict) status=3010
verdict='ports named; restart Windows so that they answer to their new names.'
claimed=(1 7 8 9 10) after=(1 3 4 5 6)
children=("$(named_port_state 0 COM3)" "$(named_port_state 1 COM4)" "$(named_port_state 2 COM5)"
  "$(named_port_state 3 COM6)")
msr_keeps_com7="$(card_child_id 0) | present | no driver | no name | PortName REG_SZ 5 \"COM7\""
uninstalled="Uninstalling 7310-zz5 PCI Serial Port Drivers -  [ OK ] 
Exit status 0: uninstalled; 6 devices of the card removed.
"
# gone <0-3>...: those child ports are not present.
gone() {
  local child
  for child in "$@"; do
    remove_device "$(card_child_id "$child")"
    children[child]="$(card_child_id "$child") | absent"
  done
}
case $case in
  '' | strict | comdb_closed | comdb_no_release | race_* | absent | none | other_card | other_class)
    for child in 0 1 2 3; do name_port "$(card_child_id "$child")" "COM$((child + 7))"; done
    ;;&
  '' | strict | comdb_closed | comdb_no_release | race_*) ;;
  absent)
    gone 1 3
    status=10 verdict='reassign failed: VFD, Serial Port C not present.' claimed=(1 7 9)
    after=(1 3 5)
    ;;
  none)
    gone 0 1 2 3
    status=15 verdict='no port of the card is present; nothing was named.' claimed=(1) after=(1)
    ;;
  other_class)
    modem='USB\VID_0572&PID_1329\12345678'
    provision_modem "$modem"
    name_port "$modem" COM3
    claimed=(1 3 7 8 9 10) after=(1 3 4 5 6 7) status=1
    verdict="reassign failed for MSR; COM3 is held by the QrvTestModem device $modem, plugged in."
    rows=${rows/MSR COM Port - \[ OK \] /MSR COM Port - [ FAILED ]}
    children[0]=$msr_keeps_com7
    ;;
  other_card)
    other='MF\ACME_DUALSERIAL_COM\5&99AA&0&CHILD0000'
    provision_device qrvports.inf "$other" 'MF\ACME_DUALSERIAL_COM'
    name_port "$other" COM3
    claimed=(1 3 7 8 9 10) after=(1 3 4 5 6 7) status=1
    verdict="reassign failed for MSR; COM3 is held by the Ports device $other, plugged in."
    rows=${rows/MSR COM Port - \[ OK \] /MSR COM Port - [ FAILED ]}
    children[0]=$msr_keeps_com7
    ;;
  conflict)
    name_port "$ONBOARD_PORT_ID" COM3
    name_port "$(card_child_id 0)" COM7
    claimed=(3 7) after=(3 4 5 6 7) status=1
    verdict="reassign failed for MSR; COM3 is held by the Ports device $ONBOARD_PORT_ID, plugged in."
    rows=${rows/MSR COM Port - \[ OK \] /MSR COM Port - [ FAILED ]}
    children[0]=$msr_keeps_com7
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
  '')
    args=(r extra) status=0
    relay_only advapi32.RegSetValueExA setupapi.SetupDiSetClassInstallParamsA \
      setupapi.SetupPromptReboot
    ;;
  comdb_closed) use_msports "$E2E_COMDB_CLOSED_DLL" ;;&
  comdb_no_release) use_msports "$E2E_COMDB_NO_RELEASE_DLL" ;;&
  comdb_*) verdict+=' The COM name database was not updated.' after=("${claimed[@]}") ;;
esac
claim_numbers "${claimed[@]}"
status_line=''
[[ ${args[1]} != /strict ]] || status_line="Exit status $status: $verdict
"

started=$SECONDS
if [[ $case == race_system ]]; then
  start_fixture holder hold-mutex 'Global\qrvinst' 'D:(A;;0x100000;;;WD)' \
    "$(_e2e_windows_path "$E2E_DIR")\\release"
  await_output holder holding
  start_qrvinst out "${args[@]}"
  await_output out 'Waiting for another qrvinst run to finish...'
  # Given a second to go ahead, it has not looked at a port.
  sleep 1
  ! grep -q Reassigning "${E2E_RAW[out]}" || e2e_fail "the run went ahead while another held the lock"
  touch "$E2E_DIR/release"
  finish_run holder
  expect_status 0
  finish_run out
  rows="Waiting for another qrvinst run to finish...
$rows"
elif [[ $case == race_* ]]; then
  # The second run starts while the first holds the machine, in its pause.
  start_qrvinst out "${args[@]}"
  await_pause out
  # The first run could not restart the ports it named (Wine): the second
  # one asks again, and says so.
  second=(r /strict) second_status=3010 second_lines="${REASSIGNED_ALL}Exit status 3010: ports named; restart Windows so that they answer to their new names.
"
  [[ $case == race_reassign ]] || second=(u /strict) second_status=0 second_lines=$uninstalled
  expected_second=$second_status
  second_started=$(date +%s.%N)
  run_qrvinst "${second[@]}" > "$E2E_DIR/second"
  second_status=$E2E_STATUS second_ended=$(date +%s.%N)
  finish_run out
  [[ $second_status == "$expected_second" ]] ||
    e2e_fail "the second run, ${second[*]}, exited with $second_status, not $expected_second"
  expect_output "$E2E_DIR/second" "${BANNER}Waiting for another qrvinst run to finish...
${second_lines}"
  # It waited out the first's pause: r then made its own and ended at least
  # 2.5 s after the first; u took at least 2 s, nearly all of it waiting.
  times=$(awk -v first="$E2E_ENDED" -v start="$second_started" -v end="$second_ended" \
    'BEGIN { printf "%.1f %.1f", end - first, end - start }')
  read -r lag took <<< "$times"
  e2e_log "the second run, ${second[*]}, took $took s and ended $lag s after the first"
  if [[ $case == race_reassign ]]; then measure=$lag least=2.5; else measure=$took least=2; fi
  awk -v measure="$measure" -v least="$least" 'BEGIN { exit !(measure >= least) }' ||
    e2e_fail "the second run took $took s and ended $lag s after the first: it did not wait"
else
  WINEDEBUG=+pid,+loaddll,+relay run_qrvinst "${args[@]}" > "$E2E_DIR/out"
fi
elapsed=$((SECONDS - started))
called=$WINEPREFIX/drive_c/windows/system32/msports.dll.called
[[ ! -e $called ]] || e2e_fail "qrvinst called into an msports.dll that lacks ComDBReleasePort"
expect_status "$status"
expect_output "$E2E_DIR/out" "${BANNER}${rows}${status_line}"
[[ $elapsed -ge 3 ]] || e2e_fail "the run took $elapsed s, not the three-second pause"

# restart_requests: the last run's names written, restarts asked for and
# prompts, in the order the exe made them, on one line.
restart_requests() {
  exe_calls | sed -n -e 's/^RegSetValueExA([^,]*,"PortName",.*/name/p' \
    -e 's/^SetupDiSetClassInstallParamsA(.*/restart/p' -e 's/^SetupPromptReboot(.*/prompt/p' |
    paste -sd ' '
}
if [[ -z $case ]]; then
  requests=$(restart_requests)
  [[ $requests == "name restart name restart name restart name restart prompt" ]] ||
    e2e_fail "the exe wrote names, asked for restarts and prompted as '$requests'"
  WINEDEBUG=+pid,+loaddll,+relay run_qrvinst r /strict > "$E2E_DIR/again"
  expect_status 3010
  expect_output "$E2E_DIR/again" "${BANNER}${REASSIGNED_ALL}Exit status 3010: ports named; restart Windows so that they answer to their new names.
"
  requests=$(restart_requests)
  [[ $requests == "name restart name restart name restart name restart" ]] ||
    e2e_fail "a second run before the restart wrote names, asked for restarts and prompted as '$requests'"
  restart_windows
  WINEDEBUG=+pid,+loaddll,+relay run_qrvinst r /strict > "$E2E_DIR/after_restart"
  expect_status 0
  expect_output "$E2E_DIR/after_restart" "${BANNER}${REASSIGNED_ALL}Exit status 0: all four ports already had their names.
"
  requests=$(restart_requests)
  [[ $requests == "name name name name" ]] ||
    e2e_fail "a run after the restart, which changed no name, wrote names, asked for restarts and prompted as '$requests'"
fi

# Both the second run of race_uninstall and other_card's u remove the card.
if [[ $case == other_card ]]; then
  run_qrvinst u /strict > "$E2E_DIR/uninstall"
  expect_status 0
  expect_output "$E2E_DIR/uninstall" "${BANNER}${uninstalled}"
  # The other card's port stays through the removal of this one too.
  expect_state "$other" "$other | present | no driver | no name | PortName REG_SZ 5 \"COM3\""
  after=(1 3)
fi
if [[ $case == race_uninstall || $case == other_card ]]; then
  mapfile -t states < <(card_states absent)
  [[ $case == other_card ]] || after=(1)
else
  states=("$(card_product_id) | present | no driver | no name | no PortName"
    "$(card_base_id) | present | no driver | no name | no PortName" "${children[@]}")
fi
expect_states "${states[@]}" "$onboard"
expect_claimed "${after[@]}"
