#!/bin/bash
# The driver package beside the exe: the three INF files only in the folder
# inf beside the exe, in "C:\Program Files (x86)\QRV 7310-zz5 (kit)", none
# in C:\windows\inf, and the exe started from another current folder.
# Install, r and u work, and every INF path the exe hands to Windows (Wine's
# relay log) lies in the folder beside it; /check names that folder. With
# the argument "strict" every run is strict, and its last line is checked.
source "$(dirname "$0")/lib.sh"
e2e_begin "package_inf${1:+_$1}"
strict=()
[[ ${1:-} == strict ]] && strict=(/strict)

provision_card
provision_onboard_port
for child in 0 1 2 3; do name_port "$(card_child_id "$child")" "COM$((child + 7))"; done
claim_numbers 1 7 8 9 10

kit_windows='C:\Program Files (x86)\QRV 7310-zz5 (kit)'
kit=$WINEPREFIX/drive_c/Program\ Files\ \(x86\)/QRV\ 7310-zz5\ \(kit\)
mkdir -p "$kit/inf"
cp "$E2E_QRVINST" "$kit/"
for inf in 7310-zz5.inf qrvbased.inf qrvports.inf; do
  mv "$WINEPREFIX/drive_c/windows/inf/$inf" "$kit/inf/"
done
E2E_QRVINST=$kit/${E2E_QRVINST##*/}
# The current folder is another one than the exe's.
E2E_STICK=$WINEPREFIX/drive_c/users
relay_only setupapi.SetupDiGetINFClassA newdev.UpdateDriverForPlugAndPlayDevicesA

# run <name> <status> <last line> [args]: one run of the exe, whose INF paths
# all lie beside it.
run() {
  WINEDEBUG=+pid,+loaddll,+relay run_qrvinst "${@:4}" "${strict[@]}" > "$E2E_DIR/$1"
  local status=$E2E_STATUS path
  # The relay log writes each backslash of a string twice.
  exe_calls | perl -ne 'while (/"([^"]*\.inf)"/gi) { (my $p = $1) =~ s/\\\\/\\/g; print "$p\n" }' \
    > "$E2E_DIR/$1.paths"
  [[ -s $E2E_DIR/$1.paths || $1 == names || $1 == removal ]] ||
    e2e_fail "$1 handed no INF path to Windows"
  while read -r path; do
    [[ ${path,,} == "${kit_windows,,}\\inf\\"* ]] ||
      e2e_fail "$1 handed Windows the INF path $path, not one in $kit_windows\\inf"
  done < "$E2E_DIR/$1.paths"
  E2E_STATUS=$status
  if [[ ${#strict[@]} -eq 0 ]]; then
    expect_status 0
  else
    expect_status "$2"
    [[ $(tail -n 1 "$E2E_DIR/$1") == "$3" ]] ||
      e2e_fail "$1 ended with '$(tail -n 1 "$E2E_DIR/$1")', not '$3'"
  fi
}

run install 0 'Exit status 0: installed.'
states=("$(card_product_id) | present | driver | no name | no PortName"
  "$(card_base_id) | present | driver | no name | no PortName")
for child in 0 1 2 3; do
  name=COM$((child + 7))
  states+=("$(card_child_id "$child") | present | driver | no name | PortName REG_SZ $((${#name} + 1)) \"$name\"")
done
expect_states "${states[@]}" "$(onboard_port_state)"

run names 3010 'Exit status 3010: ports named; restart Windows so that they answer to their new names.' r
expect_states "$(named_port_state 0 COM3 driver)" "$(named_port_state 1 COM4 driver)" \
  "$(named_port_state 2 COM5 driver)" "$(named_port_state 3 COM6 driver)"
expect_claimed 1 3 4 5 6

run_qrvinst /check > "$E2E_DIR/check"
expect_status 0
[[ $(sed -n 5p "$E2E_DIR/check") == "Using the INF files in $kit_windows\\inf" ]] ||
  e2e_fail "/check's line after the banner is '$(sed -n 5p "$E2E_DIR/check")'"

run removal 0 'Exit status 0: uninstalled; 6 devices of the card removed.' u
mapfile -t states < <(card_states absent)
expect_states "${states[@]}" "$(onboard_port_state)"
expect_claimed 1
