#!/usr/bin/env bash
# Makes the release, build/release/qrvinst-<version>.zip: qrvinst.exe and
# qrvinst64.exe built with the win32 and win64 presets, README.txt made from
# README.md, and SHA256SUMS of the three. CPack makes the zip (the release
# preset, cmake/release.cmake).
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
cp "$root/win32/qrvinst.exe" "$root/win64/qrvinst64.exe" "$files/"

cmake --build "$root/release" --target package
