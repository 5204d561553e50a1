#!/bin/bash
# The calls the exe makes, as Wine's relay log shows them: one plain run of
# a mode (install, reassign or uninstall) on the card whose ports Windows
# named COM7 to COM10, beside the onboard COM1, the exe started from
# C:\qrvinst with the card's INF files in C:\qrvinst\inf, must make
# exactly the calls of the setup API, the driver update, the registry and
# the files that traces/<mode>.trace lists, in that order and with those arguments
# (lib.sh's exe_trace: the same on both architectures). A change to what the
# program asks of Windows shows here line by line; E2E_TRACE_UPDATE=1 writes
# the run's trace into traces/<mode>.trace instead of comparing.
source "$(dirname "$0")/lib.sh"
mode=$1
case $mode in
  install) args=() ;;
  reassign) args=(r) ;;
  uninstall) args=(u) ;;
  *) printf 'FAIL: trace: unknown mode "%s"\n' "$mode" >&2; exit 1 ;;
esac
e2e_begin "trace_$mode"
baseline=$(dirname "$0")/traces/$mode.trace

provision_card
provision_onboard_port
for child in 0 1 2 3; do name_port "$(card_child_id "$child")" "COM$((child + 7))"; done
claim_numbers 1 7 8 9 10

# The package as a technician's stick or the kit's copy holds it.
kit=$WINEPREFIX/drive_c/qrvinst
mkdir -p "$kit/inf"
cp "$E2E_QRVINST" "$kit/qrvinst.exe"
E2E_QRVINST=$kit/qrvinst.exe
for inf in 7310-zz5.inf qrvbased.inf qrvports.inf; do
  mv "$WINEPREFIX/drive_c/windows/inf/$inf" "$kit/inf/"
done

relay_trace
WINEDEBUG=+pid,+loaddll,+relay run_qrvinst "${args[@]}" > "$E2E_DIR/out"
expect_status 0
exe_trace > "$E2E_DIR/trace"
[[ -s $E2E_DIR/trace ]] || e2e_fail "the relay log shows no call of the exe's"
if [[ -n ${E2E_TRACE_UPDATE:-} ]]; then
  cp "$E2E_DIR/trace" "$baseline"
  e2e_log "wrote $baseline"
elif ! cmp -s "$baseline" "$E2E_DIR/trace"; then
  e2e_log "the exe's calls differ from $baseline (- expected, + actual):"
  diff -u --label expected --label actual "$baseline" "$E2E_DIR/trace" >&2 || true
  e2e_fail "the calls differ from the baseline; E2E_TRACE_UPDATE=1 writes a new one"
fi
