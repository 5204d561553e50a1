#!/usr/bin/env bash
# Writes docs/performance.md from the figures bench/run.sh measured:
#
#   bash bench/report.sh <results.tsv> <about> > docs/performance.md
#
# <results.tsv> holds one line per timed run: other devices, mode (noop-<m>
# for the do-nothing exe run beside mode <m>), run, wall ms, CPU ms. <about>
# sets the shell variables that describe the host and the run (see run.sh).
set -euo pipefail
RESULTS=$1
# shellcheck source=/dev/null # written by run.sh
source "$2"

# The reassign mode waits this long after naming the ports; it costs no CPU.
REASSIGN_PAUSE_MS=3000
mapfile -t DEVICES < <(awk -F'\t' '$2 !~ /r-other$/ { print $1 }' "$RESULTS" | sort -nu)
mapfile -t OTHERS < <(awk -F'\t' '$2 == "r-other" { print $1 }' "$RESULTS" | sort -nu)
FIRST=${DEVICES[0]} MIDDLE=${DEVICES[1]} LAST=${DEVICES[-1]}

# median <devices> <mode> <wall|cpu>: over the timed runs.
median() {
  local column=4
  [[ $3 == cpu ]] && column=5
  awk -F'\t' -v d="$1" -v m="$2" -v c="$column" '$1 == d && $2 == m { print $c }' "$RESULTS" |
    sort -n |
    awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# calc <format> <awk expression>
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

# grouped <n>: 1000 as 1,000.
grouped() { sed -E ':a; s/([0-9])([0-9]{3})\b/\1,\2/; ta' <<< "$1"; }

# Medians, floors and the time above them, by "<devices>,<mode>".
declare -A WALL CPU FLOOR_WALL FLOOR_CPU ABOVE_WALL ABOVE_CPU
for devices in "${DEVICES[@]}"; do
  for mode in install r u probe0 probe4; do
    key=$devices,$mode
    WALL[$key]=$(median "$devices" "$mode" wall)
    [[ $mode == r ]] && WALL[$key]=$((WALL[$key] - REASSIGN_PAUSE_MS))
    CPU[$key]=$(median "$devices" "$mode" cpu)
    FLOOR_WALL[$key]=$(median "$devices" "noop-$mode" wall)
    FLOOR_CPU[$key]=$(median "$devices" "noop-$mode" cpu)
    ABOVE_WALL[$key]=$((WALL[$key] - FLOOR_WALL[$key]))
    ABOVE_CPU[$key]=$((CPU[$key] - FLOOR_CPU[$key]))
  done
done

for devices in "${OTHERS[@]}"; do
  key=$devices,r-other
  WALL[$key]=$(($(median "$devices" r-other wall) - REASSIGN_PAUSE_MS))
  CPU[$key]=$(median "$devices" r-other cpu)
  FLOOR_WALL[$key]=$(median "$devices" noop-r-other wall)
  FLOOR_CPU[$key]=$(median "$devices" noop-r-other cpu)
  ABOVE_WALL[$key]=$((WALL[$key] - FLOOR_WALL[$key]))
  ABOVE_CPU[$key]=$((CPU[$key] - FLOOR_CPU[$key]))
done
# The card alone is the same machine for both kinds of other devices.
ABOVE_CPU[$FIRST,r-other]=${ABOVE_CPU[$FIRST,r]}

# per_device <mode> <from> <to>: CPU ms above the floor per further device
# between two machines.
per_device() { calc %.2f "(${ABOVE_CPU[$3,$1]} - ${ABOVE_CPU[$2,$1]}) / ($3 - $2)"; }

# ratio <mode>: what a further device costs from the middle to the last
# machine, in times what it costs from the first to the middle one: 1 when
# the cost grows linearly.
ratio() {
  calc %.2f "$(per_device "$1" "$MIDDLE" "$LAST") / $(per_device "$1" "$FIRST" "$MIDDLE")"
}

growth() {
  awk -v r="$(ratio "$1")" 'BEGIN {
      print (r > 1.5 ? "faster than linearly" : r > 1.1 ? "slightly faster than linearly" \
             : r < 0.9 ? "more slowly than linearly" : "linearly")
    }'
}

# shellcheck disable=SC2016 # Markdown code spans, not commands
mode_name() {
  case $1 in
    install) echo 'install (no argument)' ;;
    r) echo '`r` (reassign)' ;;
    u) echo '`u` (uninstall)' ;;
    probe4) echo "probe: \`r\`'s setup-API calls alone" ;;
    r-other) echo '`r` beside devices of another class' ;;
  esac
}

# How each mode's cost grows, modes that grow alike named together:
# "linearly for install and `u`; slightly faster than linearly for `r`".
growths() {
  local -A modes
  local mode how name
  for mode in install r u probe4; do
    how=$(growth "$mode")
    name=$mode
    [[ $mode == install ]] || name="\`$mode\`"
    [[ $mode == probe4 ]] && name="the probe"
    modes[$how]+="${modes[$how]:+, }$name"
  done
  for how in linearly "slightly faster than linearly" "faster than linearly" \
    "more slowly than linearly"; do
    [[ -n ${modes[$how]:-} ]] && printf '%s for %s\n' "$how" "${modes[$how]}"
  done | sed -E 's/, ([^,]*)$/ and \1/' | paste -sd';' | sed 's/;/; /g'
}

# r less the probe that makes only its enumeration calls, by devices; a
# difference that stays within 20 ms, or a tenth of r's cost, from the first
# machine to the last counts as fixed.
extra() { echo $((ABOVE_CPU[$1,r] - ABOVE_CPU[$1,probe4])); }
extras=$(for devices in "${DEVICES[@]}"; do extra "$devices"; done |
  paste -sd, | sed 's/,\([^,]*\)$/ and \1/; s/,/, /g')
extra_growth=$(($(extra "$LAST") - $(extra "$FIRST")))
if ((${extra_growth#-} <= 20 || ${extra_growth#-} * 10 <= ABOVE_CPU[$LAST,r])); then
  extra_verdict="a fixed cost, the same within the noise on every machine (reading two
more INF classes, loading newdev.dll and msports.dll and writing the four
ports' names). The program adds nothing measurable per device to the
setup-API calls it must make, reading every device's name included."
else
  extra_verdict="$extra_growth ms more with $(grouped "$LAST") devices than on the card
alone, more than a tenth of \`r\`'s cost there: what the program adds per
device is reading each device's name once, three registry calls and a
status read a device, to find a name that another device already holds,
whatever its class."
fi

cat << TEXT
# Performance under Wine

What each mode of qrvinst costs as a whole process under Wine, on the card
alone and with $(grouped "$MIDDLE") and $(grouped "$LAST") other present ports-class devices. Written by
\`bash bench/run.sh\` (see "How it is measured" below); rerun it to measure
another machine.

Host: $HOST_CPU, $HOST_CORES cores; $WINE_VERSION; $EXE in a $PRESET prefix;
$DATE; load average (1, 5, 15 min) $LOAD_BEFORE before the run and
$LOAD_AFTER after it, of which the run itself makes about 1 (more than that
means other work shared the host); the run took $MINUTES minutes.

Milliseconds, each the median of $RUNS timed runs after a warm-up run. The
floor is the same figure for a do-nothing exe run beside the mode, Wine's
own cost of starting and ending a process. The \`r\` figures have the mode's
fixed three-second pause taken off its wall time (the pause costs no CPU).
Wall and CPU agree where the core the benchmark runs on had nothing else
to do.

| Mode | Other devices | Wall | CPU | Floor wall | Floor CPU | Wall above floor | CPU above floor |
|---|--:|--:|--:|--:|--:|--:|--:|
TEXT
for mode in install r u; do
  for devices in "${DEVICES[@]}"; do
    key=$devices,$mode
    printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "$(mode_name "$mode")" "$devices" \
      "${WALL[$key]}" "${CPU[$key]}" "${FLOOR_WALL[$key]}" "${FLOOR_CPU[$key]}" \
      "${ABOVE_WALL[$key]}" "${ABOVE_CPU[$key]}"
  done
done

cat << TEXT

## How the cost grows with the devices

CPU time above the floor per further device, in milliseconds, and the ratio
of the two: 1 where the cost grows linearly.

| Mode | $FIRST to $(grouped "$MIDDLE") devices | $(grouped "$MIDDLE") to $(grouped "$LAST") devices | Ratio |
|---|--:|--:|--:|
TEXT
for mode in install r u probe4; do
  printf '| %s | %s | %s | %s |\n' "$(mode_name "$mode")" "$(per_device "$mode" "$FIRST" "$MIDDLE")" \
    "$(per_device "$mode" "$MIDDLE" "$LAST")" "$(ratio "$mode")"
done

cat << TEXT

By these figures (a ratio from 0.9 to 1.1 counting as linear) the cost
grows: $(growths). The probe makes only \`r\`'s setup-API
calls (next section). The ratios rest on small differences between the card
alone and $(grouped "$MIDDLE") devices; every run's figures are listed at the end.

What the program itself does grows linearly: whatever the machine,
install makes the same six driver-update calls, \`r\` takes one snapshot of
the ports-class devices and one set of every device of every class, reads
each device's name once in that set and walks the snapshot once per child
port, and \`u\` takes the snapshot and the set of every device, reads the
names once, walks the snapshot for the removals and opens four snapshots
of the card's two function classes. Each call then costs Wine time for the
devices it looks through, and that is where growth beyond linear arises:

- Wine's \`SetupDiEnumDeviceInfo\` finds the device at an index by stepping
  from the start of the set, so one walk over a set grows with the square
  of its size. While this benchmark was written, a version of the probe
  that timed its own calls measured one walk at 0.3 ms over 500 devices,
  1.3 ms over 1,000 and 4.6 ms over 2,000: \`r\`'s five walks cost about
  7 ms with 1,000 devices, too little to show in these figures.
- Building a device set costs Wine more per device the more devices there
  are. The same probe took about 0.18 ms per device for the snapshot of
  250 devices, 0.22 ms of 1,000, 0.28 ms of 2,000 and 0.33 ms of 3,000: a
  part that grows with the square of the devices, a quarter of the cost at
  1,000, and more of it in the probe's own process (Wine's setupapi) than
  in the wineserver.
- Each install run makes Wine start \`explorer.exe /desktop\`, which fails
  without a display and ends: a fixed part of install's cost, not the
  program's doing.

## Devices of other classes

A COM name may be held by a device of any class: a modem, a Bluetooth
link, a virtual COM port driver's ports. So \`r\` reads the name of every
device of every class, present or not. Here the card shares the machine
with $(grouped "${OTHERS[0]}") and $(grouped "${OTHERS[-1]}") devices of another setup class (the tests'
modem class), every third of them named COM10, COM11 and so on, beside the
same numbers of ports-class devices above. CPU above the floor, in
milliseconds:

| Other devices | \`r\` beside ports-class devices | \`r\` beside devices of another class |
|--:|--:|--:|
TEXT
for devices in "$FIRST" "${OTHERS[@]}"; do
  other=${ABOVE_CPU[$devices,r-other]}
  printf '| %s | %s | %s |\n' "$devices" "${ABOVE_CPU[$devices,r]}" "$other"
done
cat << TEXT

Per further device of the other class, $(per_device r-other "$FIRST" "${OTHERS[0]}") ms from the card alone to
$(grouped "${OTHERS[0]}") devices and $(per_device r-other "${OTHERS[0]}" "${OTHERS[-1]}") ms from there to $(grouped "${OTHERS[-1]}"): a ratio of
$(calc %.2f "$(per_device r-other "${OTHERS[0]}" "${OTHERS[-1]}") / $(per_device r-other "$FIRST" "${OTHERS[0]}")"), so the cost grows $(awk -v r="$(calc %.2f "$(per_device r-other "${OTHERS[0]}" "${OTHERS[-1]}") / $(per_device r-other "$FIRST" "${OTHERS[0]}")")" 'BEGIN {
    print (r > 1.5 ? "faster than linearly" : r > 1.1 ? "slightly faster than linearly" \
           : r < 0.9 ? "more slowly than linearly" : "linearly")
  }'). With $(grouped "${OTHERS[-1]}") of them \`r\` costs
${ABOVE_CPU[${OTHERS[-1]},r-other]} ms, against ${ABOVE_CPU[${OTHERS[-1]},r]} ms beside $(grouped "${OTHERS[-1]}") ports-class devices: those it
also walks once per child port in the snapshot of the ports class, which
devices of another class are not in.

## The program or Wine?

\`qrvprobe.exe\` (bench/probe.cpp) makes only the setup-API calls with which
\`r\` finds the card's ports: it reads the ports INF's class, takes the
snapshot of present ports-class devices and walks it four times, reading
each device's instance ID; it is run beside \`r\`, in the same way. CPU
above the floor, in milliseconds:

| Other devices | \`r\` | Probe: snapshot and four walks | Probe: snapshot only | \`r\` less the probe |
|--:|--:|--:|--:|--:|
TEXT
for devices in "${DEVICES[@]}"; do
  printf '| %s | %s | %s | %s | %s |\n' "$devices" "${ABOVE_CPU[$devices,r]}" \
    "${ABOVE_CPU[$devices,probe4]}" "${ABOVE_CPU[$devices,probe0]}" "$(extra "$devices")"
done

cat << TEXT

\`r\` costs $extras ms of CPU more than the probe on the three
machines: $extra_verdict

With $(grouped "$LAST") devices the probe costs ${ABOVE_CPU[$LAST,probe4]} ms with its four walks and
${ABOVE_CPU[$LAST,probe0]} ms without them: what \`r\` costs per device is Wine building the
snapshot; the walks themselves cost about 5 ms there (above).

## How it is measured

- Machines are made as the end-to-end tests make theirs: a copy of the
  booted template prefix with the three fixture INF files and the card's six
  device nodes, created with \`qrvfixture create\`, and the other devices
  (\`ACPI\\PNP0501\\0\`, \`ACPI\\PNP0501\\1\`, ..., hardware ID \`*PNP0501\`, each
  with a Device Parameters key) created by one \`qrvfixture create-many\`.
  Wine lists every registered device as present.
- The machines with devices of another class hold the card and, beside it,
  100 or 1,000 devices of the tests' modem class (\`inf/qrvmodem.inf\`,
  installed first with \`qrvfixture install-class\`), made by one
  \`qrvfixture create-many\`, every third given a name by \`qrvfixture
  name-many\`. They are measured for \`r\` alone, before the other series.
- The machines of a series are measured in turns, run by run, so that a
  change in the host's load falls on all of them alike.
- Install, \`r\` and the probe: each machine has one wineserver for the whole
  series, started before its first run and ended after its last, and warmed
  by two untimed runs of the do-nothing exe, so that Wine's start-up in the
  prefix is paid once and never timed. Install runs after the warm-up find
  the drivers installed and install them again; \`r\` runs on a machine where
  install has run.
- \`u\` removes the card, so each of its runs, the warm-up too, starts from a
  fresh copy of the prepared machine (the card's nodes as created, without
  drivers, as in the uninstall test). A wineserver serves one prefix, so one
  server for the whole series cannot be had here: each copy gets its own,
  warmed by two untimed runs of the do-nothing exe before its timed pair.
  Copying, starting and warming are not timed. A copy copies the registry
  files, the only files the runs change, and hard-links the rest.
- Every process of the benchmark, Wine's server and helpers included, runs
  on one core (CPU $PINNED_CPU), so that a program and its wineserver take turns
  on it rather than waking each other across cores. On a virtual machine
  that matters more than anything the program does: while this benchmark
  was written, on a 2-core one, the probe's snapshot of 1,000 devices took
  about 1.1 s on two idle cores and 0.25 s on one.
- Before every timed run the script waits, untimed, until the prefix's
  wineserver is idle (under 1 ms of CPU in 100 ms).
- Wall time runs from starting Wine's loader to its exit, as bash's \`time\`
  reports it; on a busy host it includes waiting for a core. CPU time is
  that process's user and system time plus the CPU time the prefix's
  wineserver used meanwhile (from /proc/<pid>/schedstat): under Wine the
  registry and much of the device work are done in the server. Wine's helper
  processes (services.exe, plugplay.exe, winedevice.exe, explorer.exe) are
  not counted.
- The floor: just before each timed run of a mode, a timed run of
  \`qrvnoop.exe\` (bench/noop.cpp, which returns at once; same architecture,
  linked the same way) in the same prefix and server. Above the floor is the
  mode's median less the floor's.
- The exe: \`qrvinst64.exe\` in a 64-bit prefix on every host. It runs on
  hosts whose kernel refuses i386 code as well, so figures from any host
  compare, and it is the build for 64-bit Windows, which most machines run.
  \`BENCH_PRESET=win32 bash bench/run.sh\` measures \`qrvinst.exe\` in a 32-bit
  prefix instead, where the host runs i386 code.

## Every run

Milliseconds, in the order they were taken; \`r\`'s wall times with its pause.

| Mode | Other devices | Wall | CPU |
|---|--:|---|---|
TEXT
for mode in install noop-install r noop-r u noop-u probe4 noop-probe4 probe0 noop-probe0 r-other \
  noop-r-other; do
  rows=("${DEVICES[@]}")
  [[ $mode == *r-other ]] && rows=("${OTHERS[@]}")
  for devices in "${rows[@]}"; do
    awk -F'\t' -v d="$devices" -v m="$mode" '$1 == d && $2 == m {
        wall = wall sep $4; cpu = cpu sep $5; sep = ", "
      } END { printf "| %s | %s | %s | %s |\n", m, d, wall, cpu }' "$RESULTS"
  done
done
