# shellcheck shell=bash
# Which Wine loaders this host can run; sourced by the test command, the demo
# and the end-to-end harness. The answer comes from running the loaders
# themselves: on some hosts the kernel refuses all i386 code, so the 32-bit
# loader, and with it every 32-bit Windows program, cannot start there, while
# the 64-bit loader runs 64-bit programs as anywhere else.
#
#   QRV_WINE32, QRV_WINE64   the loaders; Debian's unless set
#   QRV_SIMULATE_I386_REFUSED=1
#       stands a file no kernel will execute in for the 32-bit loader, so
#       that a host which runs i386 code takes the path of one that refuses
#       it, all the way through the tests and the demo.
#
#   qrv_wine_runs <loader>   true when the loader starts; otherwise false,
#                            with the reason in QRV_WINE_REFUSAL

if [[ ${QRV_SIMULATE_I386_REFUSED:-} == 1 ]]; then
  # An ELF header for no machine at all: execve fails with ENOEXEC, as it
  # does for an i386 program where the kernel has no IA-32 emulation.
  QRV_WINE32=${TMPDIR:-/tmp}/qrv-simulated-refusal/wine
  mkdir -p "${QRV_WINE32%/*}"
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\000\000' > "$QRV_WINE32"
  chmod +x "$QRV_WINE32"
fi
QRV_WINE32=${QRV_WINE32:-/usr/lib/wine/wine}
QRV_WINE64=${QRV_WINE64:-/usr/lib/wine/wine64}
export QRV_WINE32 QRV_WINE64

qrv_wine_runs() {
  local output
  # shellcheck disable=SC2034 # read by the callers
  QRV_WINE_REFUSAL=
  if [[ ! -e $1 ]]; then
    QRV_WINE_REFUSAL="$1 is not installed"
    return 1
  fi
  local status=0
  output=$("$1" --version 2>&1) || status=$?
  [[ $status -ne 0 ]] || return 0
  # The last line names the cause, e.g. "cannot execute binary file: Exec
  # format error" where the kernel refuses the loader's machine code; the
  # shell's own "<script>: line <n>: <loader>: " before it says nothing.
  output=${output##*$'\n'}
  output=${output##*"$1: "}
  # shellcheck disable=SC2034 # read by the callers
  QRV_WINE_REFUSAL="'$1 --version' fails with status $status${output:+: \"$output\"}"
  return 1
}
