#!/bin/bash
# The deployment kit of the release zip: the zip holds qrvdeploy.cmd (with
# CRLF line ends) beside the exes, ansible/qrvinst.yml and
# ansible/collections/requirements.yml, all summed in SHA256SUMS. Unpacked
# into "C:\QRV package" of a 64-bit prefix holding the card, with the
# card's driver package (INF files, a catalog, a driver file in a
# subfolder) only in the package's inf folder as IT staff add it,
# qrvdeploy.cmd run by cmd.exe
#   - refuses, running nothing: without an inf folder (1603), with a log it
#     cannot write (1603), on Windows for another processor (1633), with an
#     argument it does not take (87);
#   - without an argument sets the terminal up in one run (3010: Wine
#     cannot restart the renamed ports): the exe, the kit and the package's
#     inf folder, subfolders and all, are then in C:\Program Files\qrvinst,
#     none of it in C:\windows\inf, the card's devices have their drivers,
#     the ports COM3 to COM6, the kept exe answers /check with 0 from the
#     kept INF files, and the Apps & features record of the 64-bit view
#     names the release's version and runs the kept kit's u; run again it
#     finds the terminal set up, updates no driver and changes nothing but
#     its log; with one INF file changed it installs and names again, and
#     records the new driver files; from a folder whose name holds & ^ ( )
#     it works the same;
#   - with r names the ports COM3 to COM6 (3010), and with one port's key
#     missing exits with that port's bit; it removes the scratch folder of
#     a killed run, not that of a run which holds its lock;
#   - with u removes the card (0), the record and the kept folder;
#   - where the exe cannot be kept, exits with 1603 and says so;
#   - run twice at once, each run shows and logs its own output whole;
#   - from the package folder as its current folder, as deployment tools
#     start it, and from another one by its full path;
# and C:\windows\Logs\Software\qrvinst.log holds every run: a line with
# the date, the time, the computer and the command, then what the run
# showed, every line ending in CRLF; past 1 MiB it becomes qrvinst.lo_ and
# a new log begins. No run changes a file or folder of drive_c outside that
# log folder, C:\Program Files\qrvinst and the INF copies the install
# makes in C:\windows\inf. The playbook copies and runs the exe only in a
# folder that standard users cannot write, copies nothing into
# C:\Windows\inf, restarts only on 3010, and installs and names the ports
# only where its /check probe says so.
#
# Usage: deploy_test.sh <build folder of package.reproducible> system32|syswow64 flat|subfolder
# The second argument names the cmd.exe that runs qrvdeploy.cmd: the 64-bit
# one, or the 32-bit one that a 32-bit deployment agent starts, for which it
# must still pick qrvinst64.exe. Where no 32-bit program can run, that case
# is not run: the test says so and exits with 77, which ctest reports as
# skipped. The environment is that of the win64 build's end-to-end tests;
# lib.sh's exe under test is the build's qrvinst64.exe, which
# package.reproducible found the same as the zip's.
# The third argument is the package's inf folder: flat, the three INF
# files; or subfolder, where the product function's INF names a driver file
# in inf\drivers (tests/e2e/inf/driver_in_subfolder), which the install
# puts into C:\windows\system32\drivers.

# The helpers take optional arguments the test leaves out.
# shellcheck source-path=SCRIPTDIR/../e2e disable=SC2119
source "$(dirname "$0")/../e2e/lib.sh"
package_build=$1 cmd_kind=$2 layout=$3
repo=$(cd "$(dirname "$0")/../.." && pwd)

case $cmd_kind in
  system32) ;;
  syswow64)
    if ! qrv_wine_runs "$QRV_WINE32"; then
      [[ -e $QRV_WINE32 ]] || e2e_fail "$QRV_WINE32 is missing (bash scripts/install-deps.sh)"
      echo "NOT RUN: qrvdeploy.cmd started by the 32-bit C:\\windows\\syswow64\\cmd.exe: this host runs no 32-bit Windows program: $QRV_WINE_REFUSAL"
      exit 77
    fi
    ;;
  *) e2e_fail "the second argument is '$cmd_kind', not system32 or syswow64" ;;
esac
[[ $layout == flat || $layout == subfolder ]] ||
  e2e_fail "the third argument is '$layout', not flat or subfolder"
cmd="C:\\windows\\$cmd_kind\\cmd.exe"
for tool in unzip sha256sum; do
  command -v "$tool" > /dev/null || e2e_fail "$tool is missing"
done

e2e_begin "deploy_${cmd_kind}_$layout"
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"
cmd_exe=$WINEPREFIX/drive_c/windows/$cmd_kind/cmd.exe

# ---- the zip --------------------------------------------------------------

package=$WINEPREFIX/drive_c/QRV\ package
unpack_zip "$package_build" "$package"
(cd "$package" && find . -type f -printf '%P\n' | sort) > "$E2E_DIR/files"
expect_output "$E2E_DIR/files" 'README.txt
SHA256SUMS
ansible/collections/requirements.yml
ansible/qrvinst.yml
qrvdeploy.cmd
qrvinst.exe
qrvinst64.exe
'
(cd "$package" && sha256sum -c SHA256SUMS) > "$E2E_DIR/sums" ||
  e2e_fail "sha256sum -c SHA256SUMS fails in the zip: $(grep -v ': OK$' "$E2E_DIR/sums")"
sed 's/: OK$//' "$E2E_DIR/sums" | sort > "$E2E_DIR/summed"
grep -vx SHA256SUMS "$E2E_DIR/files" | cmp -s - "$E2E_DIR/summed" ||
  e2e_fail "SHA256SUMS does not sum exactly the other files of the zip: $(tr '\n' ' ' < "$E2E_DIR/summed")"
grep -qv $'\r$' "$package/qrvdeploy.cmd" && e2e_fail "qrvdeploy.cmd has lines without CRLF ends"
tr -d '\r' < "$package/qrvdeploy.cmd" | cmp -s - "$repo/deploy/qrvdeploy.cmd" ||
  e2e_fail "qrvdeploy.cmd in the zip is not deploy/qrvdeploy.cmd with CRLF line ends"
for file in qrvinst.yml collections/requirements.yml; do
  cmp -s "$package/ansible/$file" "$repo/deploy/ansible/$file" ||
    e2e_fail "ansible/$file in the zip is not deploy/ansible/$file"
done

# ---- the playbook's exe folder ----------------------------------------------

# The playbook runs the exe as an administrator: whoever could write in its
# folder could swap it between the copy and the run. Every folder the
# playbook copies an exe to, or runs a program from, as its variables give
# it for each processor it knows, must lie where only administrators
# write: in C:\Windows or C:\Program Files, outside the folders there
# that standard users may write. Anywhere else (ProgramData, Users, a
# Temp folder, a folder of its own at the root of a drive, which any user
# may make) fails. So does a copy into C:\Windows\inf, which is Windows'
# own to fill from its driver store.
if ! python3 - "$package/ansible/qrvinst.yml" > "$E2E_DIR/playbook" 2>&1 <<'EOF_PY'; then
import ntpath, sys
import jinja2, yaml

ADMIN_ONLY = [r"C:\Windows", r"C:\Program Files", r"C:\Program Files (x86)"]
USERS_WRITE = [r"C:\ProgramData", r"C:\Users", r"C:\Windows\Temp", r"C:\Windows\Tasks",
               r"C:\Windows\tracing", r"C:\Windows\System32\spool\drivers\color"]

def under(path, roots):
    return any(path.lower() == root.lower() or path.lower().startswith(root.lower() + "\\")
               for root in roots)

def standard_users_may_write(folder):
    if under(folder, USERS_WRITE) or {"temp", "tmp"} & set(folder.lower().split("\\")):
        return True
    return not under(folder, ADMIN_ONLY)

play = yaml.safe_load(open(sys.argv[1], encoding="utf-8"))[0]
templates = jinja2.Environment(undefined=jinja2.StrictUndefined)

def render(text, arch):
    names = dict(play["vars"], playbook_dir="ansible", ansible_facts={"architecture2": arch})
    for _ in range(10):  # a variable may name others
        if "{{" not in text:
            return text
        text = templates.from_string(text).render(names)
    sys.exit(f"cannot resolve {text}")

folders = {}  # (what the task does, folder), in the playbook's order
for arch in play["vars"]["qrvinst_exes"]:
    for task in play["tasks"]:
        copy = task.get("ansible.windows.win_copy")
        command = task.get("ansible.windows.win_command")
        if copy and under(ntpath.normpath(render(copy["dest"], arch)), [r"C:\Windows\inf"]):
            folders[("copies files into", r"C:\Windows\inf")] = True
        if copy and render(copy["src"], arch).lower().endswith(".exe"):
            dest = render(copy["dest"], arch)
            folder = dest if dest.endswith("\\") else ntpath.dirname(dest)
            folders[("copies the exe to", ntpath.normpath(folder))] = True
        elif command:
            folder = ntpath.dirname(render(command["argv"][0], arch))
            folders[("runs a program in", ntpath.normpath(folder))] = True
if not {"copies the exe to", "runs a program in"} <= {what for what, _ in folders}:
    sys.exit("found no task that copies the exe, or none that runs a program")
failed = False
for what, folder in folders:
    if what == "copies files into":
        print(f"the playbook {what} {folder}, which Windows fills from its driver store")
        failed = True
    elif standard_users_may_write(folder):
        print(f"the playbook {what} {folder}, where standard users may write")
        failed = True
sys.exit(failed)
EOF_PY
  e2e_fail "the playbook's exe folder: $(< "$E2E_DIR/playbook")"
fi

# The playbook converges: it restarts a machine only on a status of 3010,
# and installs or names the ports only where its /check probe found the
# card not set up. It has no handler, which could restart unasked.
if ! python3 - "$package/ansible/qrvinst.yml" > "$E2E_DIR/converges" 2>&1 <<'EOF_PY'; then
import sys, yaml

play = yaml.safe_load(open(sys.argv[1], encoding="utf-8"))[0]
faults = []
if play.get("handlers"):
    faults.append("it has handlers")
probe = None
for task in play["tasks"]:
    when = task.get("when", "")
    when = " and ".join(when) if isinstance(when, list) else str(when)
    command = (task.get("ansible.windows.win_command") or {}).get("argv", [])
    if "ansible.windows.win_reboot" in task and "== 3010" not in when:
        faults.append(f"'{task['name']}' restarts without a status of 3010")
    if "/check" in command:
        probe = task.get("register")
    elif command and "u" not in command and f"{probe} " not in when:
        faults.append(f"'{task['name']}' runs without the /check probe's say-so")
if probe is None:
    faults.append("it has no /check probe")
print("; ".join(faults))
sys.exit(bool(faults))
EOF_PY
  e2e_fail "the playbook does not converge: $(< "$E2E_DIR/converges")"
fi

# ---- the machine ----------------------------------------------------------

# On Windows the desktop's process runs all the time. Wine starts it, as
# explorer.exe /desktop, for the first program that asks for the desktop
# window, and ends it about a second after the last other thread has left
# the desktop. Started for qrvinst64.exe, it would hold the exe's output
# file, which the kit writes with 2>&1 and Wine hands on to the new
# process: "type" then fails with "Sharing violation." (what Wine
# printed when a start.exe waiting for a ping stood in here: that keeper
# could still find the desktop closed under it when it had started
# alongside the first program of the prefix). qrvfixture's desktop command
# has the desktop's process started for itself, with its own handles,
# before anything else runs, and stays on that desktop until the test ends
# Wine's server and with it every program of the prefix; after a restart
# of Windows (restart_windows) it is started again.
desktops=0
keep_desktop() {
  local output=$E2E_DIR/desktop.$((++desktops)) waited=0
  "${E2E_LOADER[@]}" "$E2E_FIXTURE" desktop > "$output" 2>&1 &
  until grep -q '^ready' "$output" 2> /dev/null; do
    kill -0 $! 2> /dev/null && ((waited++ < 300)) ||
      e2e_fail "qrvfixture desktop is not ready after $((waited / 10)) s: $(tail -n 3 "$output")"
    sleep 0.1
  done
}
keep_desktop
package_machine "$package"
# A driver package holds more than its INF files: here a catalog beside
# them and a driver file in a subfolder, which the subfolder package's
# product INF names. The files the package's INF files have Windows
# install, and the install may therefore make.
printf 'QRV test catalog\r\n' > "$package/inf/qrv7310.cat"
mkdir "$package/inf/drivers"
cp "$E2E_INF_DIR/driver_in_subfolder/drivers/qrv7310.sys" "$package/inf/drivers/"
installed_files=()
if [[ $layout == subfolder ]]; then
  cp "$E2E_INF_DIR/driver_in_subfolder/7310-zz5.inf" "$package/inf/"
  installed_files=(windows/system32/drivers/qrv7310.sys)
fi

# The premise of the 32-bit case: Windows shows a 32-bit program on 64-bit
# Windows as x86, and the machine's processor in PROCESSOR_ARCHITEW6432.
printf '@echo %%PROCESSOR_ARCHITECTURE%% [%%PROCESSOR_ARCHITEW6432%%] %%COMPUTERNAME%%\r\n' \
  > "$WINEPREFIX/drive_c/probe.cmd"
_e2e_wine probe run "$cmd" /c 'C:\probe.cmd' > "$E2E_DIR/probe"
read -r arch w6432 computer < "$E2E_DIR/probe"
expected='AMD64,[]'
[[ $cmd_kind == system32 ]] || expected='x86,[AMD64]'
[[ $arch,$w6432 == "$expected" && -n $computer ]] ||
  e2e_fail "$cmd sees the processor as '$arch $w6432', not '${expected/,/ }'"

# ---- where the kit writes --------------------------------------------------

# The kit runs as SYSTEM, so it may write only where a standard user can
# neither create a file nor a folder (a junction) of their own beforehand:
# its log folder and its folder in C:\Program Files. Of C:\windows\inf it
# may change only what Windows' own install makes there: oem<N>.inf and
# oem<N>.pnf, the copy of an installed INF file in the driver store; Wine's
# setupapi keeps the INF file's own name for that copy instead (snapshot
# and changes are lib.sh's).

# What Wine itself changes in drive_c when cmd.exe runs, as the control run
# below finds: nothing, so far. A path goes here with its reason.
wine_changes=()
# under <path> <root>...: is the path one of the roots or inside one,
# letter case aside?
under() {
  local path=${1,,} root
  for root in "${@:2}"; do
    [[ $path == "${root,,}" || $path == "${root,,}"/* ]] && return 0
  done
  return 1
}
# made_by_install <path>: a copy of an installed INF file in C:\windows\inf,
# as Windows (oem<N>) or Wine (the file's own name) names it, or its .pnf.
made_by_install() {
  local path=${1,,}
  [[ $path =~ ^windows/inf/(oem[0-9]+|7310-zz5|qrvbased|qrvports)\.(inf|pnf)$ ]]
}
# expect_footprint <what ran> <snapshot before>: the run changed nothing
# but the log folder (Wine's prefix names its parent logs), the folder the
# kit keeps, the INF copies the install makes, the files the package's INF
# files install and, of the folder holding an entry it made or removed,
# the time (C:\windows\Logs, when it makes the log folder).
expect_footprint() {
  snapshot "$2.after"
  local lines line change path outside=()
  local -A made_in=()
  mapfile -t lines < <(changes "$2" "$2.after")
  for line in "${lines[@]}"; do
    path=${line#* }
    [[ $line == changed\ * || $path != */* ]] || made_in[${path%/*}]=1
  done
  for line in "${lines[@]}"; do
    change=${line%% *} path=${line#* }
    made_by_install "$path" && continue
    under "$path" windows/logs/Software "program files/qrvinst" \
      "${installed_files[@]}" "${wine_changes[@]}" && continue
    [[ $change == changed && -d $drive_c/$path && -n ${made_in[$path]:-} ]] && continue
    outside+=("$change C:\\${path//\//\\}")
  done
  [[ ${#outside[@]} -eq 0 ]] && return
  printf -v line '%s; ' "${outside[@]}"
  e2e_fail "$1 changed drive_c outside C:\\windows\\Logs\\Software, C:\\Program Files\\qrvinst and the install's INF copies: ${line%; }"
}

# The control run: what Wine changes when the same cmd.exe runs "ver".
snapshot "$E2E_DIR/control"
_e2e_run control "$cmd_exe" /c ver > /dev/null
snapshot "$E2E_DIR/control.after"
while read -r line; do
  under "${line#* }" "${wine_changes[@]}" ||
    e2e_fail "in a control run of 'cmd /c ver', Wine itself $line: list it in wine_changes with its reason"
done < <(changes "$E2E_DIR/control" "$E2E_DIR/control.after")

# deploy <name> <current folder> <qrvdeploy.cmd as cmd is given it> [arg]:
# runs it with the cmd.exe under test; what it showed, without CRs, goes to
# E2E_DIR/<name>, and E2E_STATUS is its exit status. It must write nowhere
# but where expect_footprint allows. The runs are recorded for the check of
# the log.
runs=() commands=()
deploy() {
  snapshot "$E2E_DIR/$1.tree"
  E2E_STICK=$2 _e2e_run deploy "$cmd_exe" /c "${@:3}" > "$E2E_DIR/$1"
  expect_footprint "qrvdeploy.cmd${4:+ $4} ($1)" "$E2E_DIR/$1.tree"
  runs+=("$E2E_DIR/$1")
  commands+=("\"C:\\QRV package\\qrvdeploy.cmd\"${4:+ $4}")
}
# expect_strict_output <file> <its lines but the last> <status>: the last
# line gives the status; the text after it is the exe's to choose.
expect_strict_output() {
  head -n -1 "$1" > "$1.head"
  expect_output "$1.head" "$2"
  local last
  last=$(tail -n 1 "$1")
  [[ $last == "Exit status $3: "?* ]] || e2e_fail "the last line of $1 is '$last', not 'Exit status $3: ...'"
}
untouched() {
  mapfile -t states < <(card_states "present | no driver | no name | no PortName")
  expect_states "${states[@]}" "$(onboard_port_state)"
  local inf
  for inf in 7310-zz5.inf qrvbased.inf qrvports.inf; do
    [[ ! -e $WINEPREFIX/drive_c/windows/inf/$inf ]] || e2e_fail "$1 copied $inf into C:\\windows\\inf"
  done
  [[ ! -e $drive_c/Program\ Files/qrvinst ]] || e2e_fail "$1 kept a copy in C:\\Program Files\\qrvinst"
}
away="$E2E_DIR"
quoted='C:\QRV package\qrvdeploy.cmd'
# Wine's prefix names the folder logs; Windows names it Logs.
logs=$drive_c/windows/logs/Software

# ---- runs that change nothing ---------------------------------------------

# check_lines <driver words> <names>...: what qrvinst /check shows of the
# card's six devices, all present, the ports with those names.
check_lines() {
  local driver=$1 mark=' [ OK ]' port=0 name own rows=(MSR VFD "Touch Screen" "Serial Port C")
  [[ $driver == 'driver installed' ]] || mark=' [ FAILED ]'
  printf 'Checking %s function - present, %s%s\n' product "$driver" "$mark" base "$driver" "$mark"
  for name in "${@:2}"; do
    own=$mark
    [[ $name == "COM$((port + 3))" ]] || own=' [ FAILED ]'
    printf 'Checking %s COM Port - present, %s, named %s%s\n' "${rows[port]}" "$driver" "$name" "$own"
    port=$((port + 1))
  done
}

mv "$package/inf" "$package/inf.away"
deploy no_inf "$package" qrvdeploy.cmd
expect_status 1603
expect_output "$E2E_DIR/no_inf" 'qrvdeploy.cmd: there is no inf folder in C:\QRV package\; nothing was run.
'
untouched "qrvdeploy.cmd without an inf folder"
mv "$package/inf.away" "$package/inf"

# A log that exists but cannot be written, here a folder of that name: the
# kit runs nothing, and says so.
mv "$logs/qrvinst.log" "$E2E_DIR/log.aside"
mkdir "$logs/qrvinst.log"
deploy no_log "$package" qrvdeploy.cmd
unset 'runs[-1]' 'commands[-1]'
expect_status 1603
expect_output "$E2E_DIR/no_log" 'qrvdeploy.cmd: cannot write its log C:\windows\Logs\Software\qrvinst.log; nothing was run.
'
untouched "qrvdeploy.cmd with a log it cannot write"
rmdir "$logs/qrvinst.log"
mv "$E2E_DIR/log.aside" "$logs/qrvinst.log"

# The log rolls over past 1 MiB. Filled up to exactly 1 MiB here, with an
# older qrvinst.lo_ beside it, it is kept by the next run, which takes it
# past 1 MiB; the run after renames it to qrvinst.lo_ in place of the older
# one and begins a new log.
size=$(stat -c %s "$logs/qrvinst.log")
perl -e 'print "#" x ($ARGV[0] - 2), "\r\n"' $((1048576 - size)) >> "$logs/qrvinst.log"
printf 'an older log\r\n' > "$logs/qrvinst.lo_"

# A 32-bit program on 64-bit Windows for ARM processors, as Windows shows it.
# The kit is started as the wrapper's last command, not called: Wine's cmd
# gives the caller 1 for any status other than 0 of a called batch file.
printf '@set PROCESSOR_ARCHITECTURE=x86\r\n@set PROCESSOR_ARCHITEW6432=ARM64\r\n@"%s"\r\n' \
  "$quoted" > "$package/arm64.cmd"
deploy arm64 "$package" arm64.cmd
expect_status 1633
expect_output "$E2E_DIR/arm64" 'qrvdeploy.cmd: this Windows is for ARM64 processors, not x86 or x64; nothing was run.
'
untouched "qrvdeploy.cmd on Windows for ARM64"
rm "$package/arm64.cmd"
[[ $(< "$logs/qrvinst.lo_") == $'an older log\r' ]] || e2e_fail "a run rolled over a log of exactly 1 MiB"
[[ $(stat -c %s "$logs/qrvinst.log") -gt 1048576 ]] || e2e_fail "the run after the filling wrote no log"
cp "$logs/qrvinst.log" "$E2E_DIR/log.past_1_MiB"

deploy bad_argument "$away" "$quoted" R
expect_status 87
expect_output "$E2E_DIR/bad_argument" 'qrvdeploy.cmd: R is not an argument it takes (none, r or u); nothing was run.
'
untouched "qrvdeploy.cmd R"
cmp -s "$logs/qrvinst.lo_" "$E2E_DIR/log.past_1_MiB" ||
  e2e_fail "qrvinst.lo_ is not the log as it was past 1 MiB: the log did not roll over"

# ---- set the terminal up, name the ports, remove the card -----------------

kept=$drive_c/Program\ Files/qrvinst
version=${zips[0]##*/qrvinst-}
version=${version%.zip}
record='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\qrvinst'
# record_values <file>: the record's values, one "name type data" a line,
# as the 64-bit reg.exe reads them: from the 64-bit view.
record_values() {
  _e2e_wine record run reg query "$record" | sed -n 's/^    \([A-Za-z]*\)    \(REG_[A-Z]*\)    /\1 \2 /p' > "$1"
}
# The lines of a kit run that installs and names the ports from the kept
# folder, then finds the terminal set up and records it: after the check
# (and the kit's say-so), what follows it.
kept_lines="qrvdeploy.cmd: kept qrvinst64.exe, qrvdeploy.cmd and the files of C:\\QRV package\\inf in C:\\Program Files\\qrvinst.
${BANNER}Installing 7310-zz5 PCI Serial Port Drivers -  [ OK ]
Exit status 0: installed.
${BANNER}${REASSIGNED_ALL}"
recorded_lines="${BANNER}Using the INF files in C:\\Program Files\\qrvinst\\inf
$(check_lines 'driver installed' COM3 COM4 COM5 COM6)
Exit status 0: the card is set up.
qrvdeploy.cmd: recorded version $version in Apps & features ($record).
"

# One run sets the terminal up: the check finds nothing done, then the kit
# keeps its copy, installs and names the ports, which Wine cannot restart,
# from there, and records the terminal set up.
deploy setup "$package" qrvdeploy.cmd
expect_status 3010
expect_output "$E2E_DIR/setup" "${BANNER}Using the INF files in C:\\QRV package\\inf
$(check_lines 'no driver' '(none)' '(none)' '(none)' '(none)')
Exit status 63: the card is not set up: product function has no driver; base function has no driver; MSR port has no driver; VFD port has no driver; Touch Screen port has no driver; Serial Port C port has no driver.
${kept_lines}Exit status 3010: ports named; restart Windows so that they answer to their new names.
${recorded_lines}"
# The package's inf folder, subfolders and all, is in the kept folder, and
# none of it in C:\windows\inf; the subfolder package's install took its
# driver file from the kept folder.
mapfile -t package_files < <(cd "$package/inf" && find . -type f -printf '%P\n' | sort)
for file in "${package_files[@]}" ../qrvinst64.exe ../qrvdeploy.cmd; do
  cmp -s "$package/inf/$file" "$kept/inf/$file" ||
    e2e_fail "inf\\${file//\//\\} is not in C:\\Program Files\\qrvinst\\inf as in the package"
done
for file in qrv7310.cat drivers; do
  [[ ! -e $drive_c/windows/inf/$file ]] || e2e_fail "the kit put inf\\$file into C:\\windows\\inf"
done
if [[ $layout == subfolder ]]; then
  cmp -s "$package/inf/drivers/qrv7310.sys" "$drive_c/windows/system32/drivers/qrv7310.sys" ||
    e2e_fail "the install put no drivers\\qrv7310.sys, which 7310-zz5.inf names, into C:\\windows\\system32\\drivers"
fi
expect_states "$(named_port_state 0 COM3 driver)" "$(named_port_state 1 COM4 driver)" \
  "$(named_port_state 2 COM5 driver)" "$(named_port_state 3 COM6 driver)" \
  "$(onboard_port_state)"
# The record, in the 64-bit view only, names this release and runs the kept
# kit's u.
record_values "$E2E_DIR/record"
uninstall="\"C:\\windows\\System32\\cmd.exe\" /c \"\"C:\\Program Files\\qrvinst\\qrvdeploy.cmd\" u\""
drivers='7310-zz5.inf 01/01/2024,1.0.0.0; qrvbased.inf 01/01/2024,1.0.0.0; qrvports.inf 01/01/2024,1.0.0.0;'
grep -v -e '^EstimatedSize REG_DWORD 0x[1-9a-f][0-9a-f]*$' -e "^DriverFiles REG_SZ $drivers 5 files, [0-9]* bytes$" \
  "$E2E_DIR/record" > "$E2E_DIR/record.rest" || true
expect_output "$E2E_DIR/record.rest" "DisplayName REG_SZ QRV 7310-zz5 PCI Serial Port Installer
DisplayVersion REG_SZ $version
InstallLocation REG_SZ C:\\Program Files\\qrvinst
NoModify REG_DWORD 0x1
NoRepair REG_DWORD 0x1
Publisher REG_SZ QRV
QuietUninstallString REG_SZ $uninstall
UninstallString REG_SZ $uninstall
"
[[ $(wc -l < "$E2E_DIR/record") == 10 ]] || e2e_fail "the record lacks EstimatedSize or DriverFiles: $(< "$E2E_DIR/record")"
_e2e_wine record32 run reg query 'HKLM\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall\qrvinst' > /dev/null
[[ $E2E_STATUS -ne 0 ]] || e2e_fail "the record is in the 32-bit view of the registry too"
# The kept exe answers a detection rule, from the kept INF files.
_e2e_run kept "$kept/qrvinst64.exe" /check > "$E2E_DIR/kept"
expect_status 0
[[ $(sed -n 5p "$E2E_DIR/kept") == 'Using the INF files in C:\Program Files\qrvinst\inf' ]] ||
  e2e_fail "the kept exe's /check reads the INF files from elsewhere: $(sed -n 5p "$E2E_DIR/kept")"

# A second run finds the terminal set up from this package: it makes no
# driver update, and changes nothing but its log.
relay_only newdev.UpdateDriverForPlugAndPlayDevicesA
snapshot "$E2E_DIR/again.before"
WINEDEBUG=+relay deploy again "$away" "$quoted"
expect_status 0
expect_output "$E2E_DIR/again" "${BANNER}Using the INF files in C:\\QRV package\\inf
$(check_lines 'driver installed' COM3 COM4 COM5 COM6)
Exit status 0: the card is set up.
"
! grep -q 'Call newdev.UpdateDriverForPlugAndPlayDevicesA' "$E2E_DIR/$E2E_RUNS.deploy.stderr" ||
  e2e_fail "a run on a terminal that is set up updated a driver"
snapshot "$E2E_DIR/again.after"
# (The log folder's time changes with the run's scratch folder.)
changed=$(changes "$E2E_DIR/again.before" "$E2E_DIR/again.after" |
  grep -v -x -e 'changed windows/logs/Software/qrvinst.log' -e 'changed windows/logs/Software' || true)
[[ -z $changed ]] || e2e_fail "a run on a terminal that is set up changed $(echo $changed)"
record_values "$E2E_DIR/record.again"
cmp -s "$E2E_DIR/record" "$E2E_DIR/record.again" || e2e_fail "a run on a terminal that is set up changed its record"

# Other driver files, here a new DriverVer in one INF file: the set-up
# terminal is installed and named again from them, and recorded with them.
# Windows has restarted since the set-up asked for it with 3010 (Wine
# cannot restart the ports: until a restart each run owes them theirs).
restart_windows
keep_desktop
sed -i 's/^DriverVer=.*/DriverVer=02\/01\/2024,1.0.0.1\r/' "$package/inf/qrvports.inf"
WINEDEBUG=+relay deploy other_drivers "$away" "$quoted"
expect_status 0
grep -q 'Call newdev.UpdateDriverForPlugAndPlayDevicesA' "$E2E_DIR/$E2E_RUNS.deploy.stderr" ||
  e2e_fail "a run with other driver files updated no driver"
expect_output "$E2E_DIR/other_drivers" "${BANNER}Using the INF files in C:\\QRV package\\inf
$(check_lines 'driver installed' COM3 COM4 COM5 COM6)
Exit status 0: the card is set up.
qrvdeploy.cmd: the terminal is set up, but Apps & features records no version $version with the driver files of C:\\QRV package\\inf; it installs and names the ports again.
${kept_lines}Exit status 0: all four ports already had their names.
${recorded_lines}"
cmp -s "$package/inf/qrvports.inf" "$kept/inf/qrvports.inf" || e2e_fail "the kept qrvports.inf is not the package's"
record_values "$E2E_DIR/record.other"
grep -q '^DriverFiles REG_SZ .*qrvports.inf 02/01/2024,1.0.0.1;' "$E2E_DIR/record.other" ||
  e2e_fail "the record names the old driver files: $(grep DriverFiles "$E2E_DIR/record.other")"

# A package in a folder whose name holds &, ^ and parentheses, run from
# there as a deployment tool runs it, on a terminal whose VFD port was
# renamed by hand. (Not %: Wine's cmd drops it from %~dp0, which Windows'
# keeps as it is.)
odd=$drive_c/'QRV (100) & ^ package'
mkdir "$odd"
cp -R "$package/inf" "$package/qrvdeploy.cmd" "$package/qrvinst64.exe" "$package/qrvinst.exe" "$odd/"
name_port "$(card_child_id 1)" COM9
deploy odd "$odd" qrvdeploy.cmd
commands[-1]='"C:\QRV (100) & ^ package\qrvdeploy.cmd"'
expect_status 3010
grep -qxF 'qrvdeploy.cmd: kept qrvinst64.exe, qrvdeploy.cmd and the files of C:\QRV (100) & ^ package\inf in C:\Program Files\qrvinst.' \
  "$E2E_DIR/odd" || e2e_fail "the run from $odd kept nothing: $(< "$E2E_DIR/odd")"
[[ $(tail -n 1 "$E2E_DIR/odd") == "qrvdeploy.cmd: recorded version $version in Apps & features ($record)." ]] ||
  e2e_fail "the run from $odd ended with: $(tail -n 1 "$E2E_DIR/odd")"
rm -r "$odd"

# The VFD port renamed by hand again is named by r; Wine cannot restart a
# port: the names take effect at the next restart. A scratch folder left by
# a run that was killed goes; one whose run still holds its lock open stays.
name_port "$(card_child_id 1)" COM9
mkdir "$logs/qrvdeploy.4242" "$logs/qrvdeploy.4343"
: > "$logs/qrvdeploy.4242/qrvdeploy.lock"
printf '@echo off\r\ncall :hold <"C:\\windows\\Logs\\Software\\qrvdeploy.4343\\qrvdeploy.lock"\r\nexit /b 0\r\n:hold\r\necho holding\r\n:wait\r\nif exist C:\\release exit /b 0\r\nping -n 2 127.0.0.1 >nul\r\ngoto wait\r\n' \
  > "$drive_c/hold.cmd"
: > "$logs/qrvdeploy.4343/qrvdeploy.lock"
: > "$logs/qrvdeploy.4343/qrvdeploy.out"
_e2e_start hold _e2e_run hold "$cmd_exe" /c 'C:\hold.cmd'
await_output hold holding
deploy reassign "$away" "$quoted" r
expect_status 3010
expect_strict_output "$E2E_DIR/reassign" "${BANNER}${REASSIGNED_ALL}" 3010
expect_states "$(named_port_state 0 COM3 driver)" "$(named_port_state 1 COM4 driver)" \
  "$(named_port_state 2 COM5 driver)" "$(named_port_state 3 COM6 driver)" \
  "$(onboard_port_state)"
[[ ! -e $logs/qrvdeploy.4242 ]] || e2e_fail "a run left the scratch folder of a killed run behind"
[[ -e $logs/qrvdeploy.4343/qrvdeploy.out ]] || e2e_fail "a run removed the scratch output of a run that holds its lock"
: > "$drive_c/release"
finish_run hold
rm -r "$logs/qrvdeploy.4343" "$drive_c/release" "$drive_c/hold.cmd"

_e2e_reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\$(card_child_id 1)\\Device Parameters" /f
deploy reassign_missing_key "$away" "$quoted" r
expect_status 2
expect_strict_output "$E2E_DIR/reassign_missing_key" "${BANNER}Reassigning MSR COM Port - [ OK ] 
Reassigning VFD COM Port - [ FAILED ]
Reassigning Touch Screen COM Port - [ OK ] 
Reassigning Serial Port C COM Port - [ OK ] 
" 2
expect_state "$(card_child_id 1)" \
  "$(card_child_id 1) | present | driver | name \"QRV 7310-zz5 VFD Port (COM4)\" | no Device Parameters"

# u removes the card, the record and the kept folder.
deploy uninstall "$package" qrvdeploy.cmd u
expect_status 0
expect_output "$E2E_DIR/uninstall" "${BANNER}Uninstalling 7310-zz5 PCI Serial Port Drivers -  [ OK ] 
Exit status 0: uninstalled; 6 devices of the card removed.
qrvdeploy.cmd: removed the Apps & features record $record.
"
mapfile -t states < <(card_states absent)
expect_states "${states[@]}" "$(onboard_port_state)"
[[ ! -e $kept ]] || e2e_fail "qrvdeploy.cmd u left C:\\Program Files\\qrvinst behind"
_e2e_wine record run reg query "$record" > /dev/null
[[ $E2E_STATUS -ne 0 ]] || e2e_fail "qrvdeploy.cmd u left the record behind"

# A keep of the exe that fails (a folder stands where the exe would go)
# ends the run with 1603, said and logged, before anything is installed.
mkdir -p "$kept/qrvinst64.exe"
deploy keep_failed "$package" qrvdeploy.cmd
expect_status 1603
[[ $(tail -n 1 "$E2E_DIR/keep_failed") == 'qrvdeploy.cmd: could not keep qrvinst64.exe in C:\Program Files\qrvinst; nothing more was run.' ]] ||
  e2e_fail "a failed keep ended with: $(tail -n 1 "$E2E_DIR/keep_failed")"
grep -c '^Exit status' "$E2E_DIR/keep_failed" | grep -qx 1 || e2e_fail "after a failed keep the kit ran more: $(< "$E2E_DIR/keep_failed")"
rm -r "$kept"

# ---- the log ---------------------------------------------------------------

[[ -f $logs/qrvinst.log ]] || e2e_fail "there is no C:\\windows\\Logs\\Software\\qrvinst.log"
left=$(cd "$logs" && find . -mindepth 1 -maxdepth 1 -name 'qrvdeploy*' -printf '%f ')
[[ -z $left ]] || e2e_fail "qrvdeploy.cmd left its scratch output behind in C:\\windows\\Logs\\Software: $left"
grep -qv $'\r$' "$logs/qrvinst.lo_" "$logs/qrvinst.log" && e2e_fail "the log has lines without CRLF ends"
# Each run's header, its date and time in the machine's format, stands as
# HEADER <command>; after it comes what the run showed. The log rolled over
# once: the runs are in qrvinst.lo_, with the test's filling, and then in
# qrvinst.log.
for n in "${!runs[@]}"; do
  printf 'HEADER %s\n' "${commands[$n]}"
  cat "${runs[$n]}"
done > "$E2E_DIR/log.expected"
perl -ne 'next if /^#{1000,}\r\n\z/; s/\r\n\z/\n/;
    s/^\S*\d\S*(?: \S+)? +\d{1,2}:\d\d\S*(?: [AP]M)? \Q'"$computer"'\E (?=")/HEADER /; print' \
  "$logs/qrvinst.lo_" "$logs/qrvinst.log" > "$E2E_DIR/log"
expect_output "$E2E_DIR/log" < "$E2E_DIR/log.expected"
e2e_log "the log since it rolled over, C:\\windows\\Logs\\Software\\qrvinst.log:"
perl -pe 's/\r\n\z/\n/' "$logs/qrvinst.log" >&2

# ---- two runs at once ------------------------------------------------------

# Two runs started together, say a deployment tool's and a technician's:
# the second waits for the first, and each shows, and logs whole, its own
# output. (The card is gone by now: neither finds a port.)
logged=$(stat -c %s "$logs/qrvinst.log")
for run in first second; do
  E2E_STICK=$package _e2e_start "$run" _e2e_run "$run" "$cmd_exe" /c qrvdeploy.cmd r
done
none="${REASSIGNED_ALL}Exit status 15: no port of the card is present; nothing was named.
"
for run in first second; do
  finish_run "$run"
  expect_status 15
  [[ $(< "$E2E_DIR/$run") == "${BANNER}${none%$'\n'}" ||
    $(< "$E2E_DIR/$run") == "${BANNER}Waiting for another qrvinst run to finish..."$'\n'"${none%$'\n'}" ]] ||
    e2e_fail "the $run of two runs at once showed: $(< "$E2E_DIR/$run")"
  tail -c +$((logged + 1)) "$logs/qrvinst.log" | tr -d '\r' | grep -qzF -- "$(< "$E2E_DIR/$run")" ||
    e2e_fail "the log does not hold the $run of two runs at once whole"
done
