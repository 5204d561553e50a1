#!/bin/bash
# The release's playbook, ansible/qrvinst.yml of the zip unchanged, run by
# the real ansible-playbook on this machine (a local connection) against a
# 64-bit Wine machine holding the card. The stand-in modules in ansible/
# take the place of the ansible.windows modules the play uses: they run the
# Windows programs in the test's prefix and keep the real modules'
# documented options, results and check mode (win_command supports none).
# The facts come from the Wine machine (the stand-in ansible.windows.setup
# as the facts module). The test shows:
#   - --check on a fresh terminal fails no host and changes nothing;
#   - the first play sets the terminal up: the drivers, the ports COM3 to
#     COM6, the exe and the driver package in C:\Program Files\qrvinst, one
#     restart (Wine cannot restart a renamed port, so r exits with 3010);
#   - a second play reports changed=0 and runs nothing but the probe, and
#     so does --check then;
#   - --tags remove removes the card, the kept folder and the record;
# and collections/requirements.yml admits the ansible.windows that the
# stand-ins follow.
#
# Usage: ansible_test.sh <build folder of package.reproducible>
# The environment is that of the win64 build's end-to-end tests.

# shellcheck source-path=SCRIPTDIR/../e2e disable=SC2119
source "$(dirname "$0")/../e2e/lib.sh"
package_build=$1
stand_ins=$(cd "$(dirname "$0")/ansible" && pwd)
for tool in ansible-playbook unzip; do
  command -v "$tool" > /dev/null || e2e_fail "$tool is missing (bash scripts/install-deps.sh)"
done
# The Python that Ansible runs with, and its modules too.
python=$(sed -n '1s/^#! *//p' "$(command -v ansible-playbook)")

e2e_begin ansible
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

# The package on the control node, the card's INF files only in its inf
# folder.
package=$E2E_DIR/package
unpack_zip "$package_build" "$package"
package_machine "$package"

# The version of ansible.windows the stand-ins follow (Debian's) is one
# that the requirements admit.
windows=/usr/lib/python3/dist-packages/ansible_collections/ansible/windows
"$python" - "$windows/MANIFEST.json" "$package/ansible/collections/requirements.yml" <<'EOF_PY' ||
import json, sys, yaml
from ansible.galaxy.dependency_resolution.versioning import meets_requirements
version = json.load(open(sys.argv[1]))["collection_info"]["version"]
wanted = {c["name"]: c["version"] for c in yaml.safe_load(open(sys.argv[2]))["collections"]}
sys.exit(not meets_requirements(version, wanted["ansible.windows"]))
EOF_PY
  e2e_fail "collections/requirements.yml does not admit the ansible.windows of $windows"

printf '[qrv_terminals]\nterminal ansible_connection=local ansible_python_interpreter=%s\n' \
  "$python" > "$E2E_DIR/inventory"
: > "$E2E_DIR/ansible.cfg"
export ANSIBLE_CONFIG=$E2E_DIR/ansible.cfg ANSIBLE_COLLECTIONS_PATH=$stand_ins \
  ANSIBLE_FACTS_MODULES=ansible.windows.setup ANSIBLE_LOCAL_TEMP=$E2E_DIR/tmp \
  ANSIBLE_REMOTE_TEMP=$E2E_DIR/tmp ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 \
  QRV_WINE_LOADER=$E2E_WINE QRV_WINE_FIXTURE=$E2E_FIXTURE QRV_WINESERVER=$E2E_WINESERVER \
  QRV_WINE_RUNS=$E2E_DIR/runs
mkdir "$QRV_WINE_RUNS"

# play <name> [ansible-playbook arguments]: runs the play; its output goes
# to E2E_DIR/<name>, and recap to the host's counts (ok=... changed=...).
play() {
  local status=0
  ansible-playbook -i "$E2E_DIR/inventory" "$package/ansible/qrvinst.yml" "${@:2}" \
    > "$E2E_DIR/$1" 2>&1 || status=$?
  recap=$(sed -n 's/^terminal *: //p' "$E2E_DIR/$1")
  [[ $status -eq 0 && $recap == *' failed=0 '* ]] ||
    e2e_fail "ansible-playbook $* failed (status $status): $(grep -E 'fatal|ERROR' "$E2E_DIR/$1" | head -n 3)"
}
# runs_since <n>: the programs the stand-ins ran after their n-th, one a
# line, arguments joined by spaces, but for the facts' cmd.exe.
runs_since() {
  local file
  for file in "$QRV_WINE_RUNS"/*.cmd; do
    file=${file##*/}
    [[ ${file%.cmd} -le $1 ]] || tr '\n' ' ' < "$QRV_WINE_RUNS/$file" | sed 's/ $/\n/'
  done | grep -v '^C:\\windows\\system32\\cmd.exe ' || true
}
run_count() { find "$QRV_WINE_RUNS" -name '*.cmd' | wc -l; }
kept=$drive_c/Program\ Files/qrvinst
record='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\qrvinst'
mapfile -t fresh < <(card_states "present | no driver | no name | no PortName")

snapshot "$E2E_DIR/fresh"
play check --check
snapshot "$E2E_DIR/fresh.after"
changes "$E2E_DIR/fresh" "$E2E_DIR/fresh.after" > "$E2E_DIR/check.changes"
[[ ! -s $E2E_DIR/check.changes ]] || e2e_fail "--check changed drive_c: $(tr '\n' ' ' < "$E2E_DIR/check.changes")"
expect_states "${fresh[@]}" "$(onboard_port_state)"

play first
expect_states "$(named_port_state 0 COM3 driver)" "$(named_port_state 1 COM4 driver)" \
  "$(named_port_state 2 COM5 driver)" "$(named_port_state 3 COM6 driver)" \
  "$(onboard_port_state)"
for file in qrvinst64.exe inf/7310-zz5.inf inf/qrvbased.inf inf/qrvports.inf; do
  cmp -s "$package/$file" "$kept/$file" || e2e_fail "the play did not copy $file to C:\\Program Files\\qrvinst"
done
[[ $(< "$QRV_WINE_RUNS/reboots") == restarted ]] ||
  e2e_fail "the first play restarted $(wc -l < "$QRV_WINE_RUNS/reboots") times, not once"

before=$(run_count)
play second
[[ $recap == *' changed=0 '* ]] || e2e_fail "the second play changed something: $recap"
expect_output <(runs_since "$before") \
  'C:\Program Files\qrvinst\qrvinst64.exe /check
'

# In check mode on a terminal that is set up the probe runs, and finds
# nothing to do.
before=$(run_count)
play check_set_up --check
[[ $recap == *' changed=0 '* ]] || e2e_fail "--check on a terminal that is set up changed something: $recap"
expect_output <(runs_since "$before") \
  'C:\Program Files\qrvinst\qrvinst64.exe /check
'

# As qrvdeploy.cmd leaves it, the terminal has a record of its set-up.
_e2e_reg add "$record" /v DisplayVersion /t REG_SZ /d 1.0 /f
play remove --tags remove
mapfile -t states < <(card_states absent)
expect_states "${states[@]}" "$(onboard_port_state)"
[[ ! -e $kept ]] || e2e_fail "--tags remove left C:\\Program Files\\qrvinst behind"
_e2e_wine record run reg query "$record" > /dev/null
[[ $E2E_STATUS -ne 0 ]] || e2e_fail "--tags remove left the record behind"
