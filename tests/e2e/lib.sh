# shellcheck shell=bash
# Shared helpers of the qrvinst end-to-end tests; sourced, never run.
#
# Each test runs a build of qrvinst under Wine in a prefix of its own, copied
# from a template prefix that is booted once, and checks what the program
# printed, its exit status and what it left in the registry (read back with
# qrvfixture.exe).
#
# The build sets these (see CMakeLists.txt next to this file):
#   E2E_ARCH          win32 or win64: the prefix, and the build of
#                     qrvfixture.exe that runs in it
#   E2E_QRVINST       the exe under test: qrvinst.exe or qrvinst64.exe
#   E2E_QRVINST_ARCH  its build, win32 or win64 (qrvinst.exe may run in a
#                     win64 prefix, as on 64-bit Windows)
#   E2E_FIXTURE       qrvfixture.exe
#   E2E_PLANTED_DLL   qrvplanted.dll, which marks every load of itself
#   E2E_MSPORTS_DLL   qrvcomdb.dll, the msports.dll of every prefix: the COM
#                     name database, kept as Windows keeps it
#   E2E_COMDB_CLOSED_DLL, E2E_COMDB_NO_RELEASE_DLL
#                     qrvcomdbclosed.dll, a database that cannot be opened,
#                     and qrvcomdbnorelease.dll, which lacks ComDBReleasePort
#                     and marks any call into it (see use_msports)
#   E2E_STATIC_IMPORT qrvstaticimport.exe, which imports newdev.dll
#   E2E_LOAD_PROBE    qrvloadprobe.exe, the program's start-up followed by
#                     loads of DLLs named without a path
#   E2E_INF_DIR       folder holding the three fixture INF files
#   E2E_TEMPLATE      the template prefix
#   E2E_WORK_DIR      where each test gets its folder (prefix, outputs)
# Optional: E2E_KEEP=1 keeps a passing test's folder too. The Wine loaders
# are those of wine_host.sh.
#
# A test script (register it in CMakeLists.txt with qrv_e2e_test):
#   source "$(dirname "$0")/lib.sh"
#   e2e_begin reassign               # fresh prefix with the three INF files
#   provision_card                   # the six devices of the card in slot 0
#   provision_onboard_port           # ACPI\PNP0501\1, not the card's
#   run_qrvinst r > "$E2E_DIR/out"   # stdout without the CR of each CRLF
#   expect_status 0
#   expect_output "$E2E_DIR/out" "...the exact text, final newline included
#   "
#   expect_state "$(card_child_id 0)" "$(card_child_id 0) | present | ..."
# The script passes by reaching its end; any helper that finds a mismatch
# ends it with exit status 1 and says why, on one line starting "FAIL:";
# where a Wine program's status is the mismatch, that line ends with the
# last lines the run printed to stderr, Wine's error messages included
# (each run's stdout and stderr stay in the test's folder, numbered). Wine's server is always ended;
# the test's folder (prefix, outputs) is removed when the test passed and
# kept for inspection when it failed.
#
# Helpers:
#   e2e_begin <name>                 start; sets E2E_DIR and WINEPREFIX
#   provision_card [slot] [--no-params]
#                                    slot 0 (default) or 1: a second card
#   provision_onboard_port [--no-params]
#                                    ACPI\PNP0501\1 named COM1
#   onboard_port_state [name]        its show line as provisioned, or with
#                                    its PortName changed to name
#   name_port <instance-id> <name>   writes a device's PortName
#   provision_device <inf-name> <instance-id> <hardware-id> [--no-params]
#   card_ids [slot]                  the card's six instance IDs, one a line
#   card_product_id [slot], card_base_id [slot], card_child_id <0-3> [slot]
#   card_states <state> [slot]       show lines of the six, all in one state
#   named_port_state <0-3> <name> [driver]
#                                    show line of a child port given a name
#   $BANNER                          what every run prints first
#   $REASSIGNED_ALL                  the four OK lines of "qrvinst.exe r"
#   provision_other_multifunction    another product's multifunction device
#   provision_modem <instance-id>    a device of another class than the ports
#   other_multifunction_state        its show line as provisioned
#   run_qrvinst [args] > file        sets E2E_STATUS to its exit status
#   start_qrvinst <name> [args]      the same in the background, output in
#                                    E2E_DIR/<name>
#   start_fixture <name> <command> [args]
#                                    qrvfixture likewise
#   await_output <name> <text>       until that run has printed the text
#   await_pause <name>               until that run has begun its pause
#   finish_run <name>            waits for it; sets E2E_STATUS and
#                                    E2E_ENDED (when it ended, in seconds)
#   remove_device <instance-id>      takes a device and its keys away
#   restart_windows                  the registry as a restart leaves it
#   plant_dlls                       run the exe from C:\stick, beside DLLs
#                                    planted under system DLLs' names
#   run_planted <exe> [args] > file  another program, run from there too
#   planted_loads                    the planted DLLs loaded so far
#   use_msports <dll>                System32's msports.dll from now on
#   claim_numbers <n>...             the COM name database holds COMn... only
#   claimed_numbers                  the numbers it holds, on one line
#   expect_claimed <n>...            it holds exactly these
#   expect_status <n>
#   expect_output <file> [expected]  expected text as argument or on stdin
#   show_devices <instance-id>...    qrvfixture show lines
#   expect_state <instance-id> <expected-show-line>
#   expect_states <expected-show-line>...
#   show_table                       every ACPI, MF and PCI device
#   relay_only <dll.Function>...    what WINEDEBUG=+relay logs from now on
#   relayed_argument <function> <n> its n-th argument in each call of the
#                                    last run
#   exe_calls                        the exe's own calls in its last run
#   relay_trace                      relay_only every call of TRACED_FUNCTIONS
#   exe_trace                        the exe's calls of those in its last run,
#                                    the same on both architectures
#   e2e_fail <message>, e2e_log <message>

set -Eeuo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/wine_host.sh"

case ${E2E_ARCH:-} in
  win32) E2E_WINE=$QRV_WINE32 ;;
  win64) E2E_WINE=$QRV_WINE64 ;;
  *)
    printf 'FAIL: E2E_ARCH is "%s", not win32 or win64 (run the tests through ctest)\n' \
      "${E2E_ARCH:-}" >&2
    exit 1
    ;;
esac
# Every Wine program runs with the address space laid out as Wine's own
# preloader would lay it out; Debian's Wine 8 has none. A kernel like this
# host's places the heap of the 64-bit loader (linked at 0x7d000000)
# anywhere in the 1 GiB above it; where the heap covers 0x7ffe0000, the
# page Windows keeps its shared user data at, the program dies before it
# runs ("err:virtual:virtual_alloc_first_teb wine: failed to map the shared
# user data: c0000018"), and so reg.exe "failed with status 255", cmd.exe
# could not start the kit's exe (9009, "Can't recognize"), or qrvfixture
# reported no status. With setarch -R the heap stays next to the loader;
# every process Wine starts inherits the setting.
E2E_LOADER=(setarch -R "$E2E_WINE")
# The 64-bit server serves prefixes of both kinds and runs on every host.
E2E_WINESERVER=${QRV_WINESERVER:-/usr/lib/wine/wineserver64}
export WINEARCH=$E2E_ARCH
# Wine's error messages only: they go to each run's stderr file, where a
# program that dies before it runs, or a failing helper, explains itself.
export WINEDEBUG=-all,err+all
# msports is the one of E2E_MSPORTS_DLL that e2e_begin puts in System32.
export WINEDLLOVERRIDES="mscoree,mshtml=;msports=n"
unset DISPLAY WAYLAND_DISPLAY

# Seconds any one Wine program may run before the test gives up on it.
E2E_WINE_TIMEOUT=${E2E_WINE_TIMEOUT:-60}
# Bumped whenever the way the template is made changes.
E2E_TEMPLATE_RECIPE=2

# ---- the card -------------------------------------------------------------

PRODUCT_HWID='PCI\VEN_7E21&DEV_0B63&SUBSYS_0B647E21&REV_10'
BASE_HWID='PCI\VEN_7E21&DEV_0B61&SUBSYS_0B627E21&REV_10'
CHILD_NAMES=(MSR VFD TOUCH SERIALC)
CHILD_HWIDS=('MF\QRV7310_4z6_MSR' 'MF\QRV7310_4z6_VFD' 'MF\QRV7310_4z6_TOUCH'
             'MF\QRV7310_4z6_SERIALC')
ONBOARD_PORT_ID='ACPI\PNP0501\1'
ONBOARD_PORT_HWID='*PNP0501'
ONBOARD_PORT_NAME='Communications Port (COM1)'

# Instance IDs of the card in slot 0 (default) or 1, as Wine stores them.
card_product_id() { printf '%s\n' "$PRODUCT_HWID\\4&2A7B3C1D&0&${1:-0}0E0"; }
card_base_id() { printf '%s\n' "$BASE_HWID\\4&2A7B3C1D&0&${1:-0}1E0"; }
# card_child_id <0..3> [slot]: the MSR, VFD, touch screen and serial port C.
card_child_id() {
  printf '%s\n' "MF\\QRV7310_4Z6_${CHILD_NAMES[$1]}\\5&1F2E3D4C&${2:-0}&CHILD000$1"
}
# All six, one a line: product, base, then the four children.
card_ids() {
  card_product_id "${1:-0}"
  card_base_id "${1:-0}"
  local child
  for child in 0 1 2 3; do card_child_id "$child" "${1:-0}"; done
}

# card_states <state> [slot]: the show lines of the card's six devices, all
# in the same state (the text after "<id> | ").
card_states() {
  local id
  for id in $(card_ids "${2:-0}"); do printf '%s | %s\n' "$id" "$1"; done
}

# The words of each child port's friendly name.
CHILD_LABELS=('MSR Port' 'VFD Port' 'Touch Screen' 'Serial Port C')

# named_port_state <0-3> <name> [driver]: the show line of child port 0-3
# of the card in slot 0 as qrvinst r names it; "driver" when its driver is
# installed.
named_port_state() {
  printf '%s | present | %s | name "QRV 7310-zz5 %s (%s)" | PortName REG_SZ 5 "%s"\n' \
    "$(card_child_id "$1")" "${3:-no driver}" "${CHILD_LABELS[$1]}" "$2" "$2"
}

# What every run of qrvinst.exe prints first.
# shellcheck disable=SC2034
BANNER='QRV 7310-zz5 PCI Serial Port Installer
Version 1.00
Do not turn off the computer or remove the card until this program has finished.

'

# What "qrvinst.exe r" prints after the banner when every port was named.
# shellcheck disable=SC2034
REASSIGNED_ALL='Reassigning MSR COM Port - [ OK ] 
Reassigning VFD COM Port - [ OK ] 
Reassigning Touch Screen COM Port - [ OK ] 
Reassigning Serial Port C COM Port - [ OK ] 
'

# ---- reporting ------------------------------------------------------------

e2e_log() { printf '%s\n' "$*" >&2; }

e2e_fail() {
  e2e_log "FAIL: ${E2E_NAME:-e2e}: $*"
  exit 1
}

_e2e_on_error() {
  e2e_log "FAIL: ${E2E_NAME:-e2e}: command failed with status $1 at line $2: $3"
}

# ---- prefixes ------------------------------------------------------------

_e2e_require() {
  local name
  for name in E2E_QRVINST E2E_QRVINST_ARCH E2E_FIXTURE E2E_MSPORTS_DLL E2E_INF_DIR E2E_TEMPLATE \
    E2E_WORK_DIR; do
    [[ -n ${!name:-} ]] || e2e_fail "$name is not set (run the tests through ctest)"
  done
  [[ -x $E2E_WINESERVER ]] || e2e_fail "$E2E_WINESERVER is missing (apt-get install wine64)"
  # A 32-bit program needs the 32-bit loader, in a win64 prefix too.
  local arch
  for arch in "$E2E_ARCH" "$E2E_QRVINST_ARCH"; do
    if [[ $arch == win32 ]] && ! qrv_wine_runs "$QRV_WINE32"; then
      e2e_fail "no 32-bit Windows program can run on this host: $QRV_WINE_REFUSAL"
    fi
  done
  qrv_wine_runs "$E2E_WINE" || e2e_fail "Wine cannot run here: $QRV_WINE_REFUSAL"
  local norandom
  norandom=$(setarch -R true 2>&1) ||
    e2e_fail "setarch -R cannot turn off address-space randomization here: $norandom"
  [[ -f $E2E_QRVINST ]] || e2e_fail "$E2E_QRVINST not found (build the $E2E_QRVINST_ARCH preset)"
  [[ -f $E2E_FIXTURE ]] || e2e_fail "qrvfixture.exe not found at $E2E_FIXTURE (build the $E2E_ARCH preset)"
  [[ -f $E2E_MSPORTS_DLL ]] ||
    e2e_fail "qrvcomdb.dll not found at $E2E_MSPORTS_DLL (build the $E2E_ARCH preset)"
  local inf
  for inf in qrvports.inf qrvbased.inf 7310-zz5.inf; do
    [[ -f $E2E_INF_DIR/$inf ]] || e2e_fail "fixture INF $E2E_INF_DIR/$inf is missing"
  done
}

_e2e_template_stamp() {
  printf 'recipe %s, %s, %s\n' "$E2E_TEMPLATE_RECIPE" "$E2E_ARCH" "$("$E2E_WINE" --version)"
}

# Ends the wineserver of a prefix, if one runs, so its registry is on disk.
_e2e_end_wineserver() {
  WINEPREFIX=$1 "$E2E_WINESERVER" -k 2> /dev/null || true
}

# Boots the template prefix unless an up-to-date one exists. Safe to call
# from several tests at once: the first boots it, the others wait.
e2e_make_template() {
  _e2e_require
  mkdir -p "$(dirname "$E2E_TEMPLATE")"
  local lock
  exec {lock}> "$E2E_TEMPLATE.lock"
  flock "$lock"
  local stamp=$E2E_TEMPLATE/.qrv-e2e-template
  if [[ -f $stamp && $(< "$stamp") == "$(_e2e_template_stamp)" ]]; then
    _e2e_end_wineserver "$E2E_TEMPLATE"
  else
    e2e_log "booting the template prefix $E2E_TEMPLATE"
    local booting=$E2E_TEMPLATE.booting
    _e2e_end_wineserver "$booting"
    rm -rf "$booting"
    # The prefix it leaves is the proof, not the loader's exit status.
    local status=0
    WINEPREFIX=$booting timeout "$E2E_WINE_TIMEOUT" "${E2E_LOADER[@]}" wineboot -i || status=$?
    [[ $status -ne 124 ]] || e2e_fail "wineboot -i did not finish within ${E2E_WINE_TIMEOUT} s"
    # Wait for the prefix's programs and wineserver to end: the registry is
    # written when the server exits.
    WINEPREFIX=$booting timeout "$E2E_WINE_TIMEOUT" "$E2E_WINESERVER" -w || true
    _e2e_end_wineserver "$booting"
    [[ -f $booting/system.reg ]] ||
      e2e_fail "wineboot -i (status $status) left no registry in $booting"
    _e2e_template_stamp > "$booting/.qrv-e2e-template"
    _e2e_end_wineserver "$E2E_TEMPLATE"
    rm -rf "$E2E_TEMPLATE"
    mv "$booting" "$E2E_TEMPLATE"
  fi
  exec {lock}>&-
}

# e2e_begin <name>: starts a test with a fresh copy of the template prefix,
# the three INF files in its C:\windows\inf and E2E_MSPORTS_DLL as its
# System32's msports.dll: Windows' COM name database, empty. (A 32-bit
# program in a win64 prefix would take Wine's own from C:\windows\syswow64;
# qrvinst.exe refuses to run there before it calls the database.) Sets
# E2E_NAME, E2E_DIR (the test's own folder, for its outputs) and WINEPREFIX.
e2e_begin() {
  E2E_NAME=$1
  E2E_RUNS=0
  _e2e_require
  E2E_DIR=$E2E_WORK_DIR/$E2E_NAME
  export WINEPREFIX=$E2E_DIR/prefix
  trap '_e2e_on_error $? $LINENO "$BASH_COMMAND"' ERR
  trap _e2e_end EXIT
  e2e_make_template
  _e2e_end_wineserver "$WINEPREFIX"
  rm -rf "$E2E_DIR"
  mkdir -p "$E2E_DIR"
  local lock
  exec {lock}> "$E2E_TEMPLATE.lock"
  flock --shared "$lock"
  cp -a "$E2E_TEMPLATE" "$WINEPREFIX"
  exec {lock}>&-
  cp "$E2E_INF_DIR"/qrvports.inf "$E2E_INF_DIR"/qrvbased.inf "$E2E_INF_DIR"/7310-zz5.inf \
    "$WINEPREFIX/drive_c/windows/inf/"
  use_msports "$E2E_MSPORTS_DLL"
  # One server for the whole test, kept between the programs it runs: a
  # server shutting down as the next program starts can drop that program's
  # connection. The exit trap ends it; failing that, it ends by itself 30 s
  # after the last program.
  "$E2E_WINESERVER" -p30
}

# Debian's Wine names, in <prefix>/wineserver, a folder under /tmp holding
# one lock folder per prefix (named after its device and inode); that lock
# folder outlives the prefix unless removed here. Copies of the template
# share the template's /tmp folder.
_e2e_remove_server_dir() {
  local name dev ino
  [[ -f $WINEPREFIX/wineserver ]] || return 0
  name=$(< "$WINEPREFIX/wineserver")
  [[ $name =~ ^wine-[A-Za-z0-9]+$ ]] || return 0
  read -r dev ino < <(stat -c '%D %i' "$WINEPREFIX")
  rm -rf "${TMPDIR:-/tmp}/$name/server-$dev-$(printf '%x' "$ino")"
}

_e2e_end() {
  local status=$?
  trap - ERR EXIT
  set +e
  if [[ $status -ne 0 && -d ${WINEPREFIX:-}/drive_c && -f ${E2E_FIXTURE:-} ]]; then
    e2e_log "devices at the end of the test:"
    timeout "$E2E_WINE_TIMEOUT" "${E2E_LOADER[@]}" "$E2E_FIXTURE" table 2> /dev/null |
      perl -pe 's/\r\n\z/\n/' >&2
  fi
  # Background runs end with the server; their own reports would only
  # repeat that.
  local job
  for job in "${E2E_BACKGROUND[@]}"; do kill "$job" 2> /dev/null; done
  [[ -n ${WINEPREFIX:-} ]] && _e2e_end_wineserver "$WINEPREFIX"
  if [[ $status -eq 0 && -n ${E2E_DIR:-} ]]; then
    if [[ -z ${E2E_KEEP:-} ]]; then
      _e2e_remove_server_dir
      rm -rf "$E2E_DIR"
    fi
    e2e_log "PASS: $E2E_NAME"
  elif [[ -d ${E2E_DIR:-} ]]; then
    e2e_log "the test's prefix and outputs are kept in $E2E_DIR"
  fi
  exit "$status"
}

# ---- running programs ----------------------------------------------------

# Runs qrvfixture.exe in the test's prefix: its stdout, without the CR of
# each CRLF, goes to stdout; the raw output and stderr are kept in E2E_DIR.
# Sets E2E_STATUS to the exit status the fixture reported as its Windows
# process ended: in full (not cut to 8 bits), and whatever the loader did
# afterwards. wine64 now and then aborts in ld.so on its way out, after the
# program's work is done, so the loader's own status proves nothing. A
# program that hangs, or ends without a report, fails the test.
_e2e_wine() {
  local tag=$1
  shift
  E2E_RUNS=$((E2E_RUNS + 1))
  local raw=$E2E_DIR/$E2E_RUNS.$tag.stdout err=$E2E_DIR/$E2E_RUNS.$tag.stderr loader=0
  E2E_STDERR=$err
  timeout "$E2E_WINE_TIMEOUT" "${E2E_LOADER[@]}" "$E2E_FIXTURE" "$@" > "$raw" 2> "$err" || loader=$?
  [[ $loader -ne 124 ]] || e2e_fail "'qrvfixture $*' did not finish within ${E2E_WINE_TIMEOUT} s"
  E2E_STATUS=$(sed -n 's/^qrvfixture: exit status \([0-9]*\)\r\{0,1\}$/\1/p' "$err" | tail -n 1)
  [[ -n $E2E_STATUS ]] ||
    e2e_fail "'qrvfixture $*' reported no exit status (loader status $loader)$(_e2e_stderr)"
  perl -pe 's/\r\n\z/\n/' "$raw"
}

# The Windows name of a file on the host: on drive C: when it lies in the
# prefix, otherwise through Wine's drive Z: (/).
_e2e_windows_path() {
  local path drive=Z: drive_c
  path=$(realpath "$1")
  drive_c=$(realpath "$WINEPREFIX/drive_c")
  if [[ $path == "$drive_c"/* ]]; then drive=C: path=${path#"$drive_c"}; fi
  printf '%s%s\n' "$drive" "${path//\//\\}"
}

# _e2e_run <tag> <exe> [args]: runs a Windows program, from E2E_STICK as its
# current folder once plant_dlls has made one.
_e2e_run() {
  local here=$PWD
  cd "${E2E_STICK:-$here}"
  _e2e_wine "$1" run "$(_e2e_windows_path "$2")" "${@:3}"
  cd "$here"
}

# run_qrvinst [args] > file: runs the exe under test; check E2E_STATUS
# afterwards.
run_qrvinst() { _e2e_run qrvinst "$E2E_QRVINST" "$@"; }

# start_qrvinst <name> [args]: runs the exe under test in the background,
# as run_qrvinst does; its output, without CRs, goes to E2E_DIR/<name>.
# start_fixture <name> <command> [args]: qrvfixture likewise.
# The run's number is taken here, so that later runs keep their own.
declare -A E2E_BACKGROUND E2E_RAW
start_qrvinst() { _e2e_start "$1" _e2e_run "$1" "$E2E_QRVINST" "${@:2}"; }
start_fixture() { _e2e_start "$1" _e2e_wine "$1" "${@:2}"; }
_e2e_start() {
  local name=$1 raw=$E2E_DIR/$((E2E_RUNS + 1)).$1.stdout
  shift
  (
    "$@" > "$E2E_DIR/$name"
    printf '%s %s\n' "$E2E_STATUS" "$(date +%s.%N)" > "$E2E_DIR/$name.ended"
  ) &
  E2E_BACKGROUND[$name]=$!
  E2E_RUNS=$((E2E_RUNS + 1))
  E2E_RAW[$name]=$raw
}

# await_output <name> <text>: returns once the background run has printed
# the text; fails if it ends without, or has not within 30 s.
await_output() {
  local waited=0
  until grep -qF -- "$2" "${E2E_RAW[$1]}" 2> /dev/null; do
    [[ ! -e $E2E_DIR/$1.ended ]] ||
      e2e_fail "the run '$1' ended without printing '$2': $(cat "${E2E_RAW[$1]}" 2> /dev/null)"
    ((waited++ < 300)) || e2e_fail "the run '$1' did not print '$2' within 30 s"
    sleep 0.1
  done
}

# await_pause <name>: returns once the background run has printed its last
# row and so begun its three-second pause, holding the machine meanwhile.
await_pause() { await_output "$1" 'Serial Port C COM Port - '; }

# finish_run <name>: waits for the background run; sets E2E_STATUS to
# its exit status and E2E_ENDED to when it ended (seconds since the epoch).
finish_run() {
  E2E_STDERR=${E2E_RAW[$1]%.stdout}.stderr
  wait "${E2E_BACKGROUND[$1]}" || e2e_fail "the run '$1' in the background failed$(_e2e_stderr)"
  # shellcheck disable=SC2034 # read by the callers
  read -r E2E_STATUS E2E_ENDED < "$E2E_DIR/$1.ended"
}

# _e2e_stderr: ": stderr: " and the last lines the last Wine run (E2E_STDERR)
# printed to stderr, joined by " | ", leaving out qrvfixture's closing line;
# nothing when it printed nothing else. Failure messages end with it.
_e2e_stderr() {
  local lines text
  mapfile -t lines < <(sed '/^qrvfixture: exit status [0-9]*\r\{0,1\}$/d; s/\r$//' \
    "$E2E_STDERR" 2> /dev/null | tail -n 5)
  [[ ${#lines[@]} -gt 0 ]] || return 0
  printf -v text '%s | ' "${lines[@]}"
  printf ': stderr: %s' "${text% | }"
}

# Runs Wine's reg.exe and fails the test if it fails.
_e2e_reg() {
  _e2e_wine reg run reg "$@" > /dev/null
  [[ $E2E_STATUS -eq 0 ]] || e2e_fail "reg $* failed with status $E2E_STATUS$(_e2e_stderr)"
}

# Runs qrvfixture.exe and fails the test if it fails.
_e2e_fixture() {
  _e2e_wine qrvfixture "$@"
  [[ $E2E_STATUS -eq 0 ]] || e2e_fail "qrvfixture $* failed with status $E2E_STATUS$(_e2e_stderr)"
}

# ---- provisioning ---------------------------------------------------------

# provision_device <inf-name> <instance-id> <hardware-id> [--no-params]:
# registers one device node of the class of C:\windows\inf\<inf-name>.
provision_device() {
  _e2e_fixture create "C:\\windows\\inf\\$1" "${@:2}" > /dev/null
}

# provision_card [slot] [--no-params]: the product and base functions and
# the four child ports of the card in slot 0 (default) or 1.
provision_card() {
  local slot=0
  if [[ ${1:-} =~ ^[0-9]$ ]]; then slot=$1; shift; fi
  provision_device 7310-zz5.inf "$(card_product_id "$slot")" "$PRODUCT_HWID" "$@"
  provision_device qrvbased.inf "$(card_base_id "$slot")" "$BASE_HWID" "$@"
  local child
  for child in 0 1 2 3; do
    provision_device qrvports.inf "$(card_child_id "$child" "$slot")" "${CHILD_HWIDS[$child]}" "$@"
  done
}

# provision_onboard_port [--no-params]: a ports-class device that is not
# the card's, named COM1 as Windows names it (written with Wine's reg.exe).
provision_onboard_port() {
  provision_device qrvports.inf "$ONBOARD_PORT_ID" "$ONBOARD_PORT_HWID" "$@"
  _e2e_reg add "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\$ONBOARD_PORT_ID" \
    /v FriendlyName /t REG_SZ /d "$ONBOARD_PORT_NAME" /f
  [[ ${1:-} == --no-params ]] || name_port "$ONBOARD_PORT_ID" COM1
}

# restart_windows: what a restart of Windows does to the registry: Wine's
# server ends, which saves the registry without its volatile keys, and a new
# one starts.
restart_windows() {
  _e2e_end_wineserver "$WINEPREFIX"
  "$E2E_WINESERVER" -p30
}

# remove_device <instance-id>: the device is gone, as if it had never been
# there; Wine lists the devices whose keys it finds.
remove_device() { _e2e_reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\$1" /f; }

# name_port <instance-id> <name>: gives a device the PortName a port of
# that name has; its "Device Parameters" key must exist.
name_port() {
  _e2e_reg add "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\$1\\Device Parameters" \
    /v PortName /t REG_SZ /d "$2" /f
}
# provision_modem <instance-id>: a device of a setup class of the tests' own
# (inf/qrvmodem.inf, kept out of C:\windows\inf), as a USB modem is of
# the Modem class: not a port, but it may hold a COM name.
provision_modem() {
  if [[ ! -f $WINEPREFIX/drive_c/qrvtest/qrvmodem.inf ]]; then
    mkdir -p "$WINEPREFIX/drive_c/qrvtest"
    cp "$E2E_INF_DIR/qrvmodem.inf" "$WINEPREFIX/drive_c/qrvtest/"
    _e2e_fixture install-class 'C:\qrvtest\qrvmodem.inf' > /dev/null
  fi
  _e2e_fixture create 'C:\qrvtest\qrvmodem.inf' "$1" 'USB\VID_0572&PID_1329' > /dev/null
}

# provision_other_multifunction: another product's device in the card's
# multifunction class; its ID sorts, and so enumerates, before the card's.
OTHER_MF_ID='PCI\VEN_1000&DEV_0012&SUBSYS_00000000&REV_01\3&11583659&0&08'
provision_other_multifunction() {
  provision_device qrvbased.inf "$OTHER_MF_ID" 'PCI\VEN_1000&DEV_0012&SUBSYS_00000000&REV_01'
}
other_multifunction_state() {
  printf '%s\n' "$OTHER_MF_ID | present | no driver | no name | no PortName"
}

# How provision_onboard_port leaves the onboard port, as qrvfixture shows
# it; given a name of four letters, with that PortName instead.
onboard_port_state() {
  printf '%s\n' "$ONBOARD_PORT_ID | present | no driver | name \"$ONBOARD_PORT_NAME\" | PortName REG_SZ 5 \"${1:-COM1}\""
}

# ---- planted DLLs ---------------------------------------------------------

# The names under which plant_dlls plants E2E_PLANTED_DLL: newdev, which
# qrvinst calls; msports, the ports class installer; and what setupapi
# imports or loads.
PLANTED_DLLS=(newdev msports cfgmgr32 devobj wintrust crypt32 version)

# plant_dlls: copies the exe under test into C:\stick, a folder of the
# prefix, with E2E_PLANTED_DLL beside it under each name of PLANTED_DLLS,
# and tells Wine to prefer a DLL found there to its own, as Windows does for
# any DLL that is not a KnownDLL. From then on run_qrvinst runs that copy,
# with C:\stick as its current folder too.
plant_dlls() {
  [[ -f ${E2E_PLANTED_DLL:-} ]] ||
    e2e_fail "qrvplanted.dll not found at '${E2E_PLANTED_DLL:-}' (build the $E2E_ARCH preset)"
  E2E_STICK=$WINEPREFIX/drive_c/stick
  mkdir -p "$E2E_STICK"
  cp "$E2E_QRVINST" "$E2E_STICK/"
  E2E_QRVINST=$E2E_STICK/${E2E_QRVINST##*/}
  local dll
  for dll in "${PLANTED_DLLS[@]}"; do cp "$E2E_PLANTED_DLL" "$E2E_STICK/$dll.dll"; done
  # msports is taken as native only already.
  local names=() IFS=,
  for dll in "${PLANTED_DLLS[@]}"; do [[ $dll == msports ]] || names+=("$dll"); done
  export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;${names[*]}=n,b"
}

# run_planted <exe> [args] > file: copies another program into C:\stick and
# runs it there as run_qrvinst runs qrvinst.
run_planted() {
  [[ -f $1 ]] || e2e_fail "$1 not found (build the $E2E_ARCH preset)"
  cp "$1" "$E2E_STICK/"
  _e2e_run planted "$E2E_STICK/${1##*/}" "${@:2}"
}

# planted_loads: the planted DLLs that a program loaded, one a line: each
# leaves <name>.dll.loaded beside itself.
planted_loads() { find "$E2E_STICK" -maxdepth 1 -name '*.loaded' -printf '%f\n' | sort; }

# ---- the COM name database ------------------------------------------------

# use_msports <dll>: the msports.dll in System32 from now on.
use_msports() {
  [[ -f $1 ]] || e2e_fail "msports.dll stand-in '$1' not found (build the $E2E_ARCH preset)"
  cp "$1" "$WINEPREFIX/drive_c/windows/system32/msports.dll"
}

# Where Windows keeps the COM name database: a bitmap, bit n-1 for COMn.
COMDB_KEY='HKLM\SYSTEM\CurrentControlSet\Control\COM Name Arbiter'

# claim_numbers <n>...: the database holds these COM numbers and no others.
claim_numbers() {
  local bytes=() n hex='' i
  for n in "$@"; do
    i=$(((n - 1) / 8))
    while [[ ${#bytes[@]} -le $i ]]; do bytes+=(0); done
    bytes[i]=$((bytes[i] | 1 << ((n - 1) % 8)))
  done
  for n in "${bytes[@]}"; do hex+=$(printf '%02X' "$n"); done
  _e2e_reg add "$COMDB_KEY" /v ComDB /t REG_BINARY /d "$hex" /f
}

# claimed_numbers: the numbers the database holds, ascending, on one line;
# an empty line when it holds none or has no value yet.
claimed_numbers() {
  local hex byte bit numbers=()
  _e2e_wine reg run reg query "$COMDB_KEY" /v ComDB > "$E2E_DIR/comdb"
  hex=$(sed -n 's/^ *ComDB *REG_BINARY *\([0-9A-Fa-f]*\)$/\1/p' "$E2E_DIR/comdb")
  for ((byte = 0; byte < ${#hex} / 2; byte++)); do
    for ((bit = 0; bit < 8; bit++)); do
      if (((16#${hex:byte * 2:2} >> bit) & 1)); then numbers+=($((byte * 8 + bit + 1))); fi
    done
  done
  printf '%s\n' "${numbers[*]}"
}

# expect_claimed <n>...: the database holds exactly these numbers.
expect_claimed() {
  local actual
  claimed_numbers > "$E2E_DIR/claimed"
  actual=$(< "$E2E_DIR/claimed")
  [[ $actual == "$*" ]] ||
    e2e_fail "the COM name database holds COM numbers '$actual', expected '$*'"
}

# ---- Wine's relay log -------------------------------------------------------

# relay_only <dll.Function>...: a program run with WINEDEBUG=+relay from now
# on logs its calls of these functions, and only these, to its stderr.
relay_only() {
  _e2e_reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /f /d "$(printf '%s;' "$@")"
}

# exe_calls: the calls made by the exe under test's own code in its last
# run, one a line as Name(arguments) with a string's text in place of its
# address: those of its process that return into its image (SizeOfImage
# bytes from where the loader put it), and the test COM name database's
# announcements of its calls (comdb.cpp) where KERNEL32.OutputDebugStringA
# is relayed. The run needs WINEDEBUG=+pid,+loaddll,+relay.
exe_calls() {
  perl -e '
    my ($exe, $log) = @ARGV;
    open my $file, "<:raw", $exe or die "$exe: $!";
    read $file, my $headers, 4096;
    my $size = unpack "V", substr($headers, unpack("V", substr($headers, 0x3c, 4)) + 24 + 56, 4);
    my ($name, $pid, $base) = $exe =~ m{([^/]+)$};
    open my $relay, "<", $log or die "$log: $!";
    while (<$relay>) {
      if (/^(\w+):\w+:trace:loaddll:build_module Loaded L".*\\\\\Q$name\E" at (\w+):/) {
        ($pid, $base) = ($1, hex $2);
      } elsif (defined $pid && /^\Q$pid\E:\w+:Call KERNEL32\.OutputDebugStringA\(\w+ "qrvcomdb: (\w+\([^"]*\))"\)/) {
        print "$1\n";
      } elsif (defined $pid && /^\Q$pid\E:\w+:Call \w+\.(\w+\(.*\)) ret=(\w+)$/) {
        my ($call, $return) = ($1, hex $2);
        next if $return < $base || $return >= $base + $size;
        $call =~ s/\b\w+ (L?")/$1/g;
        print "$call\n";
      }
    }' "$E2E_QRVINST" "$E2E_DIR/$E2E_RUNS".*.stderr
}

# TRACED_FUNCTIONS: every call of the setup API, the driver update, the
# registry and the file system that the program makes, with the kind of each argument: s a
# string, v a value (its low 32 bits: a 64-bit build passes DWORDs in
# registers whose upper half is anyone's), p a pointer (NULL or ptr), h a
# handle (#1, #2, ... in the order each first appears). The COM name
# database is not in Wine's relay log, as its msports.dll is the test's
# own: that announces each call (comdb.cpp), and the announcements are
# traced in its place.
declare -A TRACED_FUNCTIONS=(
  [KERNEL32.GetWindowsDirectoryA]=pv
  [KERNEL32.GetModuleFileNameA]=ppv
  [KERNEL32.GetFileAttributesA]=s
  [setupapi.SetupDiGetINFClassA]=sppvp
  [setupapi.SetupDiGetClassDevsA]=pppv
  [setupapi.SetupDiEnumDeviceInfo]=hvp
  [setupapi.SetupDiGetDeviceInstanceIdA]=hppvp
  [setupapi.SetupDiOpenDevRegKey]=hpvvvv
  [setupapi.SetupDiGetDeviceRegistryPropertyA]=hpvppvp
  [setupapi.SetupDiSetDeviceRegistryPropertyA]=hpvpv
  [setupapi.SetupDiRemoveDevice]=hp
  [setupapi.SetupDiCallClassInstaller]=vhp
  [setupapi.SetupDiSetClassInstallParamsA]=hppv
  [setupapi.SetupDiGetDeviceInstallParamsA]=hpp
  [setupapi.SetupPromptReboot]=ppv
  [setupapi.CM_Get_DevNode_Status]=ppvv
  [setupapi.CMP_WaitNoPendingInstallEvents]=v
  [newdev.UpdateDriverForPlugAndPlayDevicesA]=pssvp
  [advapi32.RegOpenKeyExA]=vsvvp
  [advapi32.RegCreateKeyExA]=vsvpvvppp
  [advapi32.RegQueryValueExA]=hsppp
  [advapi32.RegSetValueExA]=hsvvpv
  [advapi32.RegDeleteValueA]=hs
  [advapi32.RegCloseKey]=h
  [advapi32.RegDeleteKeyA]=vs
  [KERNEL32.OutputDebugStringA]=s
)

# relay_trace: what WINEDEBUG=+relay logs from now on is every call of
# TRACED_FUNCTIONS.
relay_trace() { relay_only "${!TRACED_FUNCTIONS[@]}"; }

# exe_trace: the exe's own calls of TRACED_FUNCTIONS in its last run (see
# exe_calls), one a line, each argument as its kind in TRACED_FUNCTIONS
# gives it: the same on both architectures and from run to run.
exe_trace() {
  local kinds='' name
  for name in "${!TRACED_FUNCTIONS[@]}"; do kinds+="${name#*.}=${TRACED_FUNCTIONS[$name]} "; done
  exe_calls | perl -e '
    my %kinds = map { split /=/ } split " ", shift;
    my (%handles, $next);
    while (<STDIN>) {
      chomp;
      my ($name, $args) = /^(\w+)\((.*)\)$/ or die "not a call: $_\n";
      if ($name =~ /^ComDB/) {
        print "$_\n";
        next;
      }
      my $kind = $kinds{$name} // next;
      my @args = $args =~ /((?:[^,"]|"(?:[^"\\]|\\.)*")+)/g;
      my @shown;
      for my $i (0 .. $#args) {
        my ($k, $arg) = (substr($kind, $i, 1), $args[$i]);
        if ($arg =~ /^"/ || $k eq "s") {
          push @shown, $arg =~ /^"/ ? $arg : hex($arg) ? "ptr" : "NULL";
        } elsif ($k eq "v") {
          push @shown, sprintf "0x%x", hex($arg) & 0xffffffff;
        } elsif ($k eq "h") {
          push @shown, "#" . ($handles{lc $arg} //= ++$next);
        } else {
          push @shown, hex($arg) ? "ptr" : "NULL";
        }
      }
      print "$name(", join(",", @shown), ")\n";
    }' "$kinds"
}

# relayed_argument <function> <n>: the n-th argument (from 1) of each call
# of the function in the last run's relay log, as a decimal number, on one
# line.
relayed_argument() {
  perl -ne 'next unless /:Call \w+\.\Q'"$1"'\E\((.*)\) ret=\w+$/;
    my @args = $1 =~ /((?:[^,"]|"(?:[^"\\]|\\.)*")+)/g;
    push @n, hex $args['"$2"' - 1];
    END { print "@n\n" }' "$E2E_DIR/$E2E_RUNS".*.stderr
}

# ---- checks -------------------------------------------------------------

# expect_status <n>: the exit status of the last program run.
expect_status() {
  [[ $E2E_STATUS -eq $1 ]] || e2e_fail "exit status $E2E_STATUS, expected $1$(_e2e_stderr)"
}

# expect_output <file> [expected]: the file holds exactly the expected text,
# given as the second argument or on stdin (a here-document).
expect_output() {
  local expected=$E2E_DIR/expected.$E2E_RUNS
  if [[ $# -ge 2 ]]; then printf '%s' "$2" > "$expected"; else cat > "$expected"; fi
  if ! cmp -s "$expected" "$1"; then
    e2e_log "output in $1 differs from the expected text (cat -A view, - expected, + actual):"
    diff -u --label expected --label actual <(cat -A "$expected") <(cat -A "$1") >&2 || true
    e2e_fail "unexpected output"
  fi
}

# show_devices <instance-id>...: qrvfixture show lines, read from the registry.
show_devices() { _e2e_fixture show "$@"; }

# show_table: every ACPI, MF and PCI device, for a person to read.
show_table() { _e2e_fixture table; }

# expect_state <instance-id> <expected-show-line>
expect_state() {
  local actual
  show_devices "$1" > "$E2E_DIR/state"
  actual=$(< "$E2E_DIR/state")
  if [[ $actual != "$2" ]]; then
    e2e_log "device state differs:"
    e2e_log "  expected: $2"
    e2e_log "  actual:   $actual"
    e2e_fail "unexpected state of $1"
  fi
}

# expect_states <expected-show-line>...: several devices in one go; each
# device's ID is the text of its line before the first " | ".
expect_states() {
  local ids=() line
  for line in "$@"; do ids+=("${line%% | *}"); done
  printf '%s\n' "$@" > "$E2E_DIR/states.expected"
  show_devices "${ids[@]}" > "$E2E_DIR/states"
  if ! cmp -s "$E2E_DIR/states.expected" "$E2E_DIR/states"; then
    e2e_log "device states differ (- expected, + actual):"
    diff -u --label expected --label actual "$E2E_DIR/states.expected" "$E2E_DIR/states" >&2 ||
      true
    e2e_fail "unexpected device states"
  fi
}
