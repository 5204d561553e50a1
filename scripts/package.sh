#!/usr/bin/env bash
# Makes the release, build/release/qrvinst-<version>.zip: qrvinst.exe and
# qrvinst64.exe built with the win32 and win64 presets, the deployment kit
# (qrvdeploy.cmd, ansible/qrvinst.yml and ansible/collections/requirements.yml,
# from deploy/), README.txt made
# from docs/guide.md and docs/deploying.md, and SHA256SUMS of them all.
# CPack makes the zip (the release preset, cmake/release.cmake).
#
# With QRVINST_SIGN_CERT and QRVINST_SIGN_KEY naming a PEM certificate and
# its PEM private key, both exes are signed with Authenticode before they
# are summed and zipped. Optional: QRVINST_SIGN_PASS_FILE, a file holding
# the key's password; QRVINST_SIGN_TIMESTAMP_URL, an RFC 3161 time-stamp
# server. Without a certificate the exes are not signed, and this says so.
#
# Usage: package.sh [<build folder>]
# The builds go to <build folder>/win32, win64 and release (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(realpath -m "${1:-build}")

bash scripts/install-deps.sh

cmake --preset win32 -B "$root/win32" > /dev/null
cmake --build "$root/win32" --target qrvinst
cmake --preset win64 -B "$root/win64" -D QRVINST32_EXE="$root/win32/qrvinst.exe" > /dev/null
cmake --build "$root/win64" --target qrvinst
cmake --preset release -B "$root/release" > /dev/null

# What goes into the zip, beside what the release build adds.
files=$root/release/files
rm -rf "$files"
mkdir -p "$files"
exes=("$root/win32/qrvinst.exe" "$root/win64/qrvinst64.exe")
if [[ -n ${QRVINST_SIGN_CERT:-}${QRVINST_SIGN_KEY:-} ]]; then
  for name in QRVINST_SIGN_CERT QRVINST_SIGN_KEY ${QRVINST_SIGN_PASS_FILE:+QRVINST_SIGN_PASS_FILE}; do
    if [[ ! -f ${!name:-} ]]; then
      echo "FAIL: $name names no file: '${!name:-}'" >&2
      exit 1
    fi
  done
  sign=(osslsigncode sign -certs "$QRVINST_SIGN_CERT" -key "$QRVINST_SIGN_KEY" -h sha256
    -n "QRV 7310-zz5 PCI Serial Port Installer")
  [[ -z ${QRVINST_SIGN_PASS_FILE:-} ]] || sign+=(-readpass "$QRVINST_SIGN_PASS_FILE")
  [[ -z ${QRVINST_SIGN_TIMESTAMP_URL:-} ]] || sign+=(-ts "$QRVINST_SIGN_TIMESTAMP_URL")
  for exe in "${exes[@]}"; do
    "${sign[@]}" -in "$exe" -out "$files/${exe##*/}" > /dev/null
  done
  echo "Signed qrvinst.exe and qrvinst64.exe with $QRVINST_SIGN_CERT${QRVINST_SIGN_TIMESTAMP_URL:+, time-stamped by $QRVINST_SIGN_TIMESTAMP_URL}."
else
  cp "${exes[@]}" "$files/"
  echo "Not signed: QRVINST_SIGN_CERT and QRVINST_SIGN_KEY are not set."
fi

cmake --build "$root/release" --target package
