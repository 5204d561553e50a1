#!/usr/bin/env bash
# Checks what Windows sees of a built qrvinst.exe or qrvinst64.exe before it
# runs a line of it: a stripped console program for its processor, no bigger
# than 64 KiB, with ASLR and DEP (and high-entropy ASLR on x64), aware of
# Terminal Server (so that Windows gives it the real Windows directory), that
# imports nothing but KERNEL32 and msvcrt, with one 16-colour 32x32 icon, a
# version resource naming the file and the project's version, and a manifest
# for its processor that asks for elevation.
#
# Usage: check_exe.sh <win32|win64> <exe> <icon.txt> <make_icon.py> <version>
set -euo pipefail

arch=$1 exe=$2 icon_source=$3 make_icon=$4 project_version=$5
case $arch in
  win32)
    objdump=i686-w64-mingw32-objdump format=pei-i386 cpu=x86 what="PE32 file for Intel 80386"
    hardening="DYNAMIC_BASE NX_COMPAT TERMINAL_SERVICE_AWARE"
    ;;
  win64)
    objdump=x86_64-w64-mingw32-objdump format=pei-x86-64 cpu=amd64 what="PE32+ file for x86-64"
    hardening="DYNAMIC_BASE NX_COMPAT HIGH_ENTROPY_VA TERMINAL_SERVICE_AWARE"
    ;;
  *) echo "usage: check_exe.sh <win32|win64> <exe> <icon.txt> <make_icon.py> <version>" >&2; exit 2 ;;
esac
name=$(basename "$exe")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
for tool in "$objdump" wrestool icotool strings python3; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

headers=$("$objdump" -p "$exe")
grep -q "file format $format\$" <<<"$headers" || fail "not a $what"
grep -Eq 'Subsystem[[:space:]]+00000003' <<<"$headers" || fail "not a console program"
"$objdump" -t "$exe" | grep -q 'no symbols' || fail "not stripped"

size=$(stat -c %s "$exe")
[ "$size" -le 65536 ] || fail "$size bytes, more than 64 KiB"

# The flags are listed one a line, indented, under DllCharacteristics.
flags=$(awk '/^DllCharacteristics/ { under = 1; next } under && /^\t/ { print; next } { under = 0 }' \
  <<<"$headers")
for flag in $hardening; do
  grep -qw "$flag" <<<"$flags" || fail "$flag is not set"
done

# Only KnownDLLs, which Windows takes from System32 whatever the exe's
# folder holds: any other DLL is loaded by hand, from System32.
dlls=$(sed -n 's/.*DLL Name: //p' <<<"$headers" | tr '[:upper:]' '[:lower:]' | sort)
[ "$(echo $dlls)" = "kernel32.dll msvcrt.dll" ] ||
  fail "imports $(echo $dlls), not exactly kernel32.dll and msvcrt.dll"

resources=$(wrestool -l "$exe")
[ "$(grep -c -- '--type=14 ' <<<"$resources")" = 1 ] || fail "not exactly one icon group"
[ "$(grep -c -- '--type=3 ' <<<"$resources")" = 1 ] || fail "not exactly one icon image"
wrestool -x --type=14 -o "$work/embedded.ico" "$exe"
icons=$(icotool -l "$work/embedded.ico")
[ "$icons" = "--icon --index=1 --width=32 --height=32 --bit-depth=4 --palette-size=16" ] ||
  fail "icon is not 32x32 in 16 colours: $icons"
python3 "$make_icon" "$icon_source" "$work/fresh.ico"
wrestool -x --raw --type=3 "$exe" >"$work/embedded.bmp"
tail -c +23 "$work/fresh.ico" | cmp -s - "$work/embedded.bmp" || fail "embedded icon differs from its source"

version=$(wrestool -x --raw --type=16 "$exe" | strings -el -n 3)
grep -qx 'QRV 7310-zz5 PCI Serial Port Installer' <<<"$version" || fail "no product name"
grep -A1 -x 'ProductVersion' <<<"$version" | grep -qxF "$project_version" ||
  fail "product version is not $project_version"
grep -A1 -x 'FileVersion' <<<"$version" | grep -qxF "$project_version" ||
  fail "file version is not $project_version"
grep -A1 -x 'OriginalFilename' <<<"$version" | grep -qx "$name" || fail "original file name is not $name"

manifest=$(wrestool -x --raw --type=24 "$exe")
grep -q '<requestedExecutionLevel level="requireAdministrator"' <<<"$manifest" ||
  fail "manifest does not ask for elevation"
grep -q '<supportedOS Id=' <<<"$manifest" || fail "manifest names no supported Windows"
grep -q "processorArchitecture=\"$cpu\"" <<<"$manifest" || fail "manifest is not for $cpu"

[ "$failures" = 0 ] && echo "$name: $what, $size bytes, $(echo $hardening), imports: $(echo $dlls)"
exit $((failures > 0))
