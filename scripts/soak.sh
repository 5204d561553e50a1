#!/usr/bin/env bash
# Soak: builds once, then runs every test of the win32 and win64 presets
# that this host can run N times over, with ctest's 2 jobs as CI runs them,
# and prints per test how many runs failed and the first failure's message
# (its "FAIL:" line, or else the last lines of its output). Exits non-zero
# when any run failed.
#
#   bash scripts/soak.sh N
#
# Where the kernel refuses i386 code, only the tests without the label i386
# run (of the win32 preset, exe_properties alone), and this says which
# tests did not. Each run's ctest
# output and JUnit file stay in build/soak.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "usage: bash scripts/soak.sh <number of runs>" >&2; exit 2; }

bash scripts/install-deps.sh
source tests/e2e/wine_host.sh
for preset in win32 win64; do
  cmake --preset $preset > /dev/null
  cmake --build --preset $preset
done
if ! qrv_wine_runs "$QRV_WINE64"; then
  echo "FAIL: Wine cannot run qrvinst64.exe on this host: $QRV_WINE_REFUSAL" >&2
  exit 1
fi
select=() not_run=
if ! qrv_wine_runs "$QRV_WINE32"; then
  # As in scripts/test.sh; -FA leaves out the setup tests -N would add.
  select=(-LE i386)
  not_run="NOT RUN: this host's kernel refuses i386 code ($QRV_WINE_REFUSAL), so these tests did not run: $(
    for preset in win32 win64; do
      ctest --preset $preset -N -L i386 -FA '.*' | sed -n "s/^ *Test *#[0-9]*: /$preset /p"
    done | paste -sd ',' | sed 's/,/, /g')"
  echo "$not_run"
fi

dir=$PWD/build/soak
rm -rf "$dir"
mkdir -p "$dir"
for ((run = 1; run <= runs; run++)); do
  for preset in win32 win64; do
    status=0
    ctest --preset "$preset" "${select[@]}" --output-junit "$dir/$preset.$run.xml" \
      > "$dir/$preset.$run.log" 2>&1 || status=$?
    echo "run $run of $runs, $preset: $(grep -E '^[0-9]+% tests passed' "$dir/$preset.$run.log" ||
      echo "ctest ended with status $status, see $dir/$preset.$run.log")"
  done
done

status=0
python3 - "$dir" "$runs" win32 win64 << 'EOF' || status=$?
import sys, xml.etree.ElementTree as ET
folder, runs, presets = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
rows = {}
for run in range(1, runs + 1):
    for preset in presets:
        try:
            cases = ET.parse(f"{folder}/{preset}.{run}.xml").getroot().iter("testcase")
        except (OSError, ET.ParseError) as error:
            cases = []
            rows.setdefault((preset, "(ctest)"), [0, f"no JUnit file: {error}"])[0] += 1
        for case in cases:
            row = rows.setdefault((preset, case.get("name")), [0, ""])
            if case.get("status") != "fail":
                continue
            row[0] += 1
            if not row[1]:
                lines = (case.findtext("system-out") or "").rstrip().splitlines()
                fails = [line for line in lines if "FAIL:" in line]
                row[1] = f"run {run}: " + (fails[0] if fails else " / ".join(lines[-3:]))
width = max(len(f"{p} {n}") for p, n in rows)
print(f"\n{'test':<{width}}  failed  first failure")
for (preset, name), (failures, message) in sorted(rows.items()):
    print(f"{preset + ' ' + name:<{width}}  {failures:>2}/{runs:<3}  {message[:300]}")
total = sum(failures for failures, _ in rows.values())
print(f"\n{total} failed runs of {len(rows)} tests, {runs} runs each")
sys.exit(1 if total else 0)
EOF
[[ -z $not_run ]] || echo "$not_run"
exit $status
