#!/usr/bin/env bash
# The release is reproducible: scripts/package.sh, run in a build folder of
# its own, builds qrvinst.exe and qrvinst64.exe afresh, and those in its zip
# are the same, byte for byte, as the ones the win32 and win64 builds made.
# Unsigned, it says so. The folder is kept for package.signed.
#
# Usage: reproducible_test.sh <build folder> <qrvinst.exe> <qrvinst64.exe>
set -euo pipefail
dir=$1
repo=$(cd "$(dirname "$0")/../.." && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
command -v unzip > /dev/null || { echo "FAIL: unzip is missing"; exit 1; }

rm -rf "$dir"
mkdir -p "$dir"
env -u QRVINST_SIGN_CERT -u QRVINST_SIGN_KEY bash "$repo/scripts/package.sh" "$dir" |
  tee "$dir/package.log"
grep -qx 'Not signed: .*' "$dir/package.log" || fail "package.sh did not say that it did not sign"

zips=("$dir"/release/qrvinst-*.zip)
if [[ ${#zips[@]} != 1 || ! -f ${zips[0]} ]]; then
  echo "FAIL: not one zip in $dir/release"
  exit 1
fi
unzip -q -d "$dir/unzipped" "${zips[0]}"
for exe in "${@:2}"; do
  name=${exe##*/}
  if cmp "$exe" "$dir/unzipped/$name"; then
    echo "$name: the same as $exe"
  else
    fail "$name built afresh differs from $exe, built from the same source"
  fi
done
exit $((failures > 0))
