#!/bin/bash
# The card's life on one machine: install, name the ports, uninstall. At the
# end the card is gone and the rest of the machine is as it was.
# With an argument, the exe runs from a folder that also holds DLLs planted
# under the names of system DLLs, with Wine told to prefer them, as Windows
# would; every mode does its work as usual and loads none of them:
#   planted           Afterwards qrvloadprobe.exe, which runs the program's
#                     own start-up, loads the same names without a path, as
#                     setupapi loads class installers and signature checks
#                     inside the program: each comes from System32, or is
#                     not loaded (error 126) where System32 lacks it. A
#                     program that imports newdev.dll, run the same way, does
#                     load the planted one: the test would see such a load.
#   planted_fallback  A copy of the exe with one byte of the name
#                     "SetDefaultDllDirectories" changed, so that it runs as
#                     on Windows 7 without KB2533623, whose kernel32 lacks
#                     that function. Wine's relay log of the exe's calls
#                     shows what it asks of Windows instead: the current
#                     folder taken out of the search (SetDllDirectoryA with
#                     ""), then each of its four DLLs loaded by its full path
#                     in System32 with LOAD_WITH_ALTERED_SEARCH_PATH (8).
source "$(dirname "$0")/lib.sh"
case=${1:-}
e2e_begin "round_trip${case:+_$case}"

provision_other_multifunction
provision_card
provision_onboard_port

install_debug=$WINEDEBUG
case $case in
  '') ;;
  planted) plant_dlls ;;
  planted_fallback)
    plant_dlls
    cp "$E2E_QRVINST" "$E2E_DIR/unchanged.exe"
    perl -0777 -pi -e 's/SetDefaultDllDirectorie\Ks/X/g' "$E2E_QRVINST"
    [[ $(cmp -l "$E2E_DIR/unchanged.exe" "$E2E_QRVINST" | wc -l) -eq 1 ]] ||
      e2e_fail "the exe does not hold the name SetDefaultDllDirectories exactly once"
    # Wine's relay log of the calls into kernel32 that load DLLs or set
    # where they are looked for; each line names its process.
    relay_only KERNEL32.{LoadLibraryA,LoadLibraryW,LoadLibraryExA,LoadLibraryExW} \
      KERNEL32.{SetDllDirectoryA,SetDllDirectoryW,SetDefaultDllDirectories,AddDllDirectory}
    install_debug=+pid,+loaddll,+relay
    ;;
  *) e2e_fail "unknown case '$case'" ;;
esac
# no_planted_loads <program>: the program just run loaded no planted DLL.
no_planted_loads() {
  [[ $case != planted* || -z $(planted_loads) ]] ||
    e2e_fail "$1 loaded planted DLLs: $(planted_loads | tr '\n' ' ')"
}

WINEDEBUG=$install_debug run_qrvinst > "$E2E_DIR/install"
expect_status 0
expect_output "$E2E_DIR/install" "${BANNER}Installing 7310-zz5 PCI Serial Port Drivers -  [ OK ]
"
no_planted_loads "qrvinst"
if [[ $case == planted_fallback ]]; then
  exe_calls > "$E2E_DIR/loads"
  expect_output "$E2E_DIR/loads" 'SetDllDirectoryA("")
LoadLibraryExA("C:\\windows\\system32\\setupapi.dll",00000000,00000008)
LoadLibraryExA("C:\\windows\\system32\\newdev.dll",00000000,00000008)
LoadLibraryExA("C:\\windows\\system32\\advapi32.dll",00000000,00000008)
LoadLibraryExA("C:\\windows\\system32\\msports.dll",00000000,00000008)
'
fi
mapfile -t states < <(card_states "present | driver | no name | no PortName")
expect_states "${states[@]}"

run_qrvinst r > "$E2E_DIR/reassign"
expect_status 0
expect_output "$E2E_DIR/reassign" "${BANNER}${REASSIGNED_ALL}"
no_planted_loads "qrvinst r"
expect_state "$(card_child_id 2)" \
  "$(card_child_id 2) | present | driver | name \"QRV 7310-zz5 Touch Screen (COM5)\" | PortName REG_SZ 5 \"COM5\""

run_qrvinst u > "$E2E_DIR/uninstall"
expect_status 0
expect_output "$E2E_DIR/uninstall" "${BANNER}Uninstalling 7310-zz5 PCI Serial Port Drivers -  [ OK ] 
"
no_planted_loads "qrvinst u"
mapfile -t states < <(card_states absent)
expect_states "${states[@]}" "$(onboard_port_state)" "$(other_multifunction_state)"

[[ $case == planted ]] || exit 0
run_planted "$E2E_LOAD_PROBE" "${PLANTED_DLLS[@]/%/.dll}" > "$E2E_DIR/probe"
expect_status 0
no_planted_loads qrvloadprobe.exe
probe=''
for dll in "${PLANTED_DLLS[@]}"; do
  from='not loaded, error 126'
  [[ ! -f $WINEPREFIX/drive_c/windows/system32/$dll.dll ]] || from=System32
  probe+="$dll.dll: $from"$'\n'
done
expect_output "$E2E_DIR/probe" "$probe"
run_planted "$E2E_STATIC_IMPORT" > /dev/null
expect_status 0
[[ $(planted_loads) == newdev.dll.loaded ]] ||
  e2e_fail "qrvstaticimport.exe, which imports newdev.dll, loaded planted DLLs '$(planted_loads | tr '\n' ' ')', not newdev.dll alone: the test cannot see a planted DLL load"
