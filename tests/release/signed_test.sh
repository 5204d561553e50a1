#!/usr/bin/env bash
# Signing: scripts/package.sh signs both exes with a throwaway self-signed
# code-signing certificate, its key locked by a password file, all made in a
# temporary folder. osslsigncode must accept both signatures against that
# certificate and refuse a signed exe with one byte changed; SHA256SUMS must
# hold the signed files' sums; and the signed qrvinst64.exe must still pass
# the install scenario of the end-to-end tests under Wine.
#
# Usage: signed_test.sh <build folder of package.reproducible>
# The environment is that of the win64 build's end-to-end tests.
set -euo pipefail
dir=$1
repo=$(cd "$(dirname "$0")/../.." && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
for tool in openssl osslsigncode unzip sha256sum; do
  command -v "$tool" > /dev/null || { echo "FAIL: $tool is missing"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf 'not a secret\n' > "$work/password"
openssl req -x509 -newkey rsa:2048 -days 2 -subj "/CN=qrvinst throwaway signer" \
  -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning \
  -passout "file:$work/password" -keyout "$work/key.pem" -out "$work/cert.pem" 2> "$work/openssl.log" ||
  { cat "$work/openssl.log"; echo "FAIL: openssl made no certificate"; exit 1; }

QRVINST_SIGN_CERT=$work/cert.pem QRVINST_SIGN_KEY=$work/key.pem \
  QRVINST_SIGN_PASS_FILE=$work/password bash "$repo/scripts/package.sh" "$dir"
unzip -q -d "$work/zip" "$dir"/release/qrvinst-*.zip
(cd "$work/zip" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not hold the sums of the signed files"

verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" > "$1.verify" 2>&1; }
for exe in qrvinst.exe qrvinst64.exe; do
  if verify "$work/zip/$exe"; then
    echo "$exe: signature verified, $(stat -c %s "$work/zip/$exe") bytes signed"
  else
    cat "$work/zip/$exe.verify"
    fail "osslsigncode does not accept the signature of $exe"
  fi
done

# One byte of the program's code, well inside its first section.
changed=$work/changed.exe
cp "$work/zip/qrvinst64.exe" "$changed"
offset=4096
byte=$(od -An -tu1 -j $offset -N1 "$changed" | tr -d ' ')
printf '%b' "\\$(printf '%03o' $((byte ^ 255)))" | dd of="$changed" bs=1 seek=$offset conv=notrunc status=none
if verify "$changed"; then
  fail "osslsigncode accepts qrvinst64.exe with the byte at $offset changed"
else
  echo "qrvinst64.exe with one byte changed: $(grep -m1 -i 'mismatch' "$changed.verify" || echo refused)"
fi

E2E_QRVINST=$work/zip/qrvinst64.exe E2E_QRVINST_ARCH=win64 E2E_WORK_DIR=$dir/e2e \
  bash "$repo/tests/e2e/install_test.sh" || fail "the signed qrvinst64.exe failed the install scenario"
exit $((failures > 0))
