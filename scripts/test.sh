#!/usr/bin/env bash
# Runs every test: the unit tests against the simulated machine (host
# preset), then the checks of qrvinst.exe and the end-to-end tests that run
# it under Wine (win32 preset). A missing tool is a failure, never a skip.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake --preset host
cmake --build --preset host
# Static analysis of the program's own sources: any finding fails.
bash scripts/lint.sh
ctest --preset host

cmake --preset win32
cmake --build --preset win32
ctest --preset win32
