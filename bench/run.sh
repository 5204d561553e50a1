#!/usr/bin/env bash
# Benchmark: what each mode of qrvinst costs under Wine as a whole process,
# on the card alone and with 100 and 1,000 other present ports-class
# devices, beside a do-nothing exe of the same architecture (Wine's own
# per-process floor), and beside the reassign mode a probe that makes only
# its setup-API calls; and what the reassign mode costs beside 100 and
# 1,000 devices of another class, a third of them holding COM names.
# Writes docs/performance.md. Not part of the tests.
#
#   bash bench/run.sh
#
#   BENCH_RUNS=<n>     timed runs per figure, after one warm-up (default 7)
#   BENCH_PRESET=win32 measure qrvinst.exe in a 32-bit prefix instead of
#                      qrvinst64.exe in a 64-bit one (needs a host that runs
#                      i386 code)
#
# Installs what is missing and builds the preset. Machines are made with the
# end-to-end harness (tests/e2e/lib.sh) under build/bench and removed at the
# end; a run that fails keeps them.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

RUNS=${BENCH_RUNS:-7}
PRESET=${BENCH_PRESET:-win64}
DEVICE_COUNTS=(0 100 1000)
# Machines with the card and devices of another setup class than the
# ports (the tests' modem class), every third named COM10, COM11, ...
OTHER_COUNTS=(100 1000)
# Run in one live server per machine; u needs a fresh machine every run.
SERIES_MODES=(install r probe0 probe4)

case $PRESET in
  win64) exe=qrvinst64.exe ;;
  win32) exe=qrvinst.exe ;;
  *) echo "FAIL: BENCH_PRESET is $PRESET, not win32 or win64" >&2; exit 1 ;;
esac
[[ $RUNS =~ ^[1-9][0-9]*$ ]] || { echo "FAIL: BENCH_RUNS is $RUNS, not a number" >&2; exit 1; }

bash scripts/install-deps.sh
cmake --preset "$PRESET" > /dev/null
cmake --build --preset "$PRESET"

# From here on this script and every process it starts, Wine's included,
# run on one core. A Windows program under Wine waits for its wineserver
# on every system call it hands over; on two cores each such call can wake
# the other core, which on a virtual machine can cost more than the call
# and swings with the host's load.
CPU=$(taskset -cp $$ | sed 's/.*: //; s/[-,].*//')
taskset -cp "$CPU" $$ > /dev/null

# Machines are made as the end-to-end tests make theirs, from the same
# template prefix.
export E2E_ARCH=$PRESET E2E_QRVINST_ARCH=$PRESET
export E2E_QRVINST=$PWD/build/$PRESET/$exe
export E2E_FIXTURE=$PWD/build/$PRESET/tests/e2e/qrvfixture.exe
export E2E_MSPORTS_DLL=$PWD/build/$PRESET/tests/e2e/qrvcomdb.dll
export E2E_INF_DIR=$PWD/tests/e2e/inf
export E2E_TEMPLATE=$PWD/build/$PRESET/e2e/template
export E2E_WORK_DIR=$PWD/build/bench/$PRESET
export E2E_KEEP=1
source tests/e2e/lib.sh
NOOP=$PWD/build/$PRESET/bench/qrvnoop.exe
PROBE=$PWD/build/$PRESET/bench/qrvprobe.exe
PORTS_INF='C:\windows\inf\qrvports.inf'
RESULTS=$E2E_WORK_DIR/results.tsv

# ---- machines ---------------------------------------------------------------

# make_machine <n>: the card and <n> other ports-class devices
# (ACPI\PNP0501\0 ...), with Wine's server ended so the registry is on disk.
declare -A MACHINE
make_machine() {
  e2e_begin "machine-$1"
  provision_card
  if [[ $1 -gt 0 ]]; then
    _e2e_fixture create-many "$PORTS_INF" "ACPI\\PNP0501\\" '*PNP0501' "$1" > /dev/null
  fi
  _e2e_end_wineserver "$WINEPREFIX"
  trap bench_end EXIT
  MACHINE[$1]=$WINEPREFIX
}

# make_other_machine <n>: the card and <n> devices of another class, a
# third of them with port names.
make_other_machine() {
  e2e_begin "machine-other-$1"
  provision_card
  provision_modem 'USB\VID_0572&PID_1329\first'
  _e2e_fixture create-many 'C:\qrvtest\qrvmodem.inf' 'USB\VID_0572&PID_1329\' \
    'USB\VID_0572&PID_1329' "$(($1 - 1))" > /dev/null
  _e2e_fixture name-many 'USB\VID_0572&PID_1329\' "$(($1 - 1))" 3 10 > /dev/null
  _e2e_end_wineserver "$WINEPREFIX"
  trap bench_end EXIT
  MACHINE[other$1]=$WINEPREFIX
}

# use_machine <n> [other]: the machine the next runs go to: the card and
# <n> other ports-class devices, or <n> devices of another class.
use_machine() {
  DEVICES=$1
  export WINEPREFIX=${MACHINE[${2:-}$1]}
}

# fresh_copy <n>: a fresh copy of the machine, for one uninstall run. Its
# registry files, which Wine rewrites in place, are copied; the rest of the
# prefix, which no run changes, is hard-linked rather than copied (1 GB of
# Wine's own files for each run).
COPY=$E2E_WORK_DIR/copy
fresh_copy() {
  rm -rf "$COPY"
  cp -al "${MACHINE[$1]}" "$COPY"
  local reg
  for reg in "$COPY"/*.reg; do cp --remove-destination "${MACHINE[$1]}/${reg##*/}" "$reg"; done
  DEVICES=$1
  export WINEPREFIX=$COPY
}

# ---- Wine's servers ------------------------------------------------------------

# start_server: a wineserver for $WINEPREFIX that lives until stop_server,
# then two untimed runs of the do-nothing exe: the first pays Wine's
# start-up in the prefix, the second finds its services running.
declare -A SERVERS
start_server() {
  "$E2E_WINESERVER" -f -p > /dev/null 2>&1 &
  SERVERS[$WINEPREFIX]=$!
  run_once noop
  run_once noop
}

# stop_server [prefix]: ends the server of $WINEPREFIX or of the prefix given.
stop_server() {
  local prefix=${1:-$WINEPREFIX}
  WINEPREFIX=$prefix "$E2E_WINESERVER" -k 2> /dev/null || true
  wait "${SERVERS[$prefix]}" 2> /dev/null || true
  unset "SERVERS[$prefix]"
  WINEPREFIX=$prefix _e2e_remove_server_dir
}

# The CPU time the server of $WINEPREFIX has used, in microseconds.
server_cpu_us() {
  local ns _
  read -r ns _ < "/proc/${SERVERS[$WINEPREFIX]}/schedstat"
  printf '%s\n' $((ns / 1000))
}

# Waits, untimed, until Wine is idle in the prefix: its server used under
# 1 ms of CPU in 100 ms (or 5 s have passed). Work a run leaves behind,
# such as device notifications, is then not counted against the next.
settle() {
  local before after tries
  for ((tries = 0; tries < 50; tries++)); do
    before=$(server_cpu_us)
    sleep 0.1
    after=$(server_cpu_us)
    ((after - before >= 1000)) || return 0
  done
}

bench_end() {
  local status=$? prefix
  trap - EXIT
  for prefix in "${!SERVERS[@]}"; do stop_server "$prefix"; done
  if [[ $status -ne 0 ]]; then
    e2e_log "FAIL: the benchmark stopped; its machines are kept in $E2E_WORK_DIR"
  fi
  exit "$status"
}

# ---- timed runs ---------------------------------------------------------------

OUT=$E2E_WORK_DIR/out
TIMING=$E2E_WORK_DIR/timing

# What a successful run prints, by mode; the probe counts the ports-class
# devices: the card's four and the others.
expected_output() {
  case $1 in
    noop) ;;
    probe0) echo 0 ;;
    probe4) echo $((DEVICES + 4)) ;;
    install) printf '%sInstalling 7310-zz5 PCI Serial Port Drivers -  [ OK ]\n' "$BANNER" ;;
    r | r-other) printf '%s%s' "$BANNER" "$REASSIGNED_ALL" ;;
    u) printf '%sUninstalling 7310-zz5 PCI Serial Port Drivers -  [ OK ] \n' "$BANNER" ;;
  esac
}

# run_once <mode>: runs, in $WINEPREFIX once Wine is idle there, the
# do-nothing exe (noop), the probe with 0 or 4 walks (probe0, probe4) or
# qrvinst in that mode; checks what it printed and sets WALL_MS (the whole
# process, as the shell saw it) and CPU_MS (the process's own user and
# system time plus what the wineserver used meanwhile).
run_once() {
  local mode=$1 program=$E2E_QRVINST args=()
  case $mode in
    noop) program=$NOOP ;;
    probe?) program=$PROBE args=("$PORTS_INF" "${mode#probe}") ;;
    r | u) args=("$mode") ;;
    r-other) args=(r) ;;
  esac
  local server_before server_after real user sys status=0
  settle
  server_before=$(server_cpu_us)
  {
    TIMEFORMAT='%3R %3U %3S'
    time timeout "$E2E_WINE_TIMEOUT" "${E2E_LOADER[@]}" "$program" "${args[@]}" > "$OUT" 2> "$OUT.stderr" ||
      status=$?
  } 2> "$TIMING"
  server_after=$(server_cpu_us)
  [[ $status -ne 124 ]] || e2e_fail "$mode did not finish within $E2E_WINE_TIMEOUT s"
  # wine64 now and then aborts on its way out after the program's work is
  # done: what the program printed is the check.
  if ! cmp -s <(expected_output "$mode") <(perl -pe 's/\r\n\z/\n/' "$OUT"); then
    e2e_fail "$mode printed something else (status $status): $(head -c 2000 "$OUT" "$OUT.stderr")"
  fi
  read -r real user sys < "$TIMING"
  WALL_MS=$(ms "$real")
  CPU_MS=$(($(ms "$user") + $(ms "$sys") + (server_after - server_before + 500) / 1000))
}

# ms <seconds with three decimals>
ms() { printf '%d\n' $((10#${1/./})); }

# timed_pair <mode> <run>: the do-nothing exe, then the mode, on the machine
# in use; run 0 is the warm-up, whose figures are dropped.
timed_pair() {
  local mode
  for mode in noop "$1"; do
    run_once "$mode"
    if [[ $2 -gt 0 ]]; then
      [[ $mode == noop ]] && mode=noop-$1
      printf '%s\t%s\t%s\t%s\t%s\n' "$DEVICES" "$mode" "$2" "$WALL_MS" "$CPU_MS" >> "$RESULTS"
    fi
  done
}

# ---- the measurement ----------------------------------------------------------

# Each series goes round the machines run by run, so that a change in the
# host's load falls on every machine alike.
rm -rf "$E2E_WORK_DIR"
mkdir -p "$E2E_WORK_DIR"
: > "$RESULTS"
for devices in "${DEVICE_COUNTS[@]}"; do
  e2e_log "machine: the card and $devices other ports-class devices"
  make_machine "$devices"
done
for devices in "${OTHER_COUNTS[@]}"; do
  e2e_log "machine: the card and $devices devices of another class"
  make_other_machine "$devices"
done
for devices in "${DEVICE_COUNTS[@]}"; do
  use_machine "$devices"
  start_server
done
for devices in "${OTHER_COUNTS[@]}"; do
  use_machine "$devices" other
  start_server
done
e2e_log "r-other: a warm-up and $RUNS timed runs on each machine with devices of another class"
for ((run = 0; run <= RUNS; run++)); do
  for devices in "${OTHER_COUNTS[@]}"; do
    use_machine "$devices" other
    timed_pair r-other "$run"
  done
done
for devices in "${OTHER_COUNTS[@]}"; do stop_server "${MACHINE[other$devices]}"; done
for mode in "${SERIES_MODES[@]}"; do
  e2e_log "$mode: a warm-up and $RUNS timed runs on each machine"
  for ((run = 0; run <= RUNS; run++)); do
    for devices in "${DEVICE_COUNTS[@]}"; do
      use_machine "$devices"
      timed_pair "$mode" "$run"
    done
  done
done
for devices in "${DEVICE_COUNTS[@]}"; do stop_server "${MACHINE[$devices]}"; done
e2e_log "u: a warm-up and $RUNS timed runs on each machine, each on a fresh copy"
for ((run = 0; run <= RUNS; run++)); do
  for devices in "${DEVICE_COUNTS[@]}"; do
    fresh_copy "$devices"
    start_server
    timed_pair u "$run"
    stop_server
  done
done
rm -rf "$COPY"

# ---- the document -------------------------------------------------------------

minutes=$(awk "BEGIN { printf \"%.1f\", $((SECONDS - started)) / 60 }")
cat > "$E2E_WORK_DIR/about" << ABOUT
HOST_CPU='$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)'
HOST_CORES=$(nproc --all)
WINE_VERSION='$("$E2E_WINE" --version)'
EXE=$exe PRESET=$PRESET RUNS=$RUNS MINUTES=$minutes PINNED_CPU=$CPU
DATE='$(date -u '+%Y-%m-%d %H:%M UTC')'
LOAD_BEFORE='$load_before' LOAD_AFTER='$(cut -d' ' -f1-3 /proc/loadavg)'
ABOUT
mkdir -p docs
bash bench/report.sh "$RESULTS" "$E2E_WORK_DIR/about" > docs/performance.md
rm -rf "${MACHINE[@]%/prefix}"
e2e_log "wrote docs/performance.md; the benchmark took $minutes minutes"
