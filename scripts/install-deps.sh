#!/usr/bin/env bash
# Installs, on Debian, what building and testing qrvinst needs: CMake and
# Ninja, g++ with GoogleTest for the host build, MinGW-w64 for the 32-bit
# Windows build, and 32-bit Wine with icoutils for the tests of the real
# program. Only what is missing is installed; it fails if anything is still
# missing afterwards.
set -euo pipefail

have() { command -v "$1" >/dev/null 2>&1; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

packages=()
have cmake || packages+=(cmake)
have ninja || packages+=(ninja-build)
have g++ || packages+=(g++)
# The static analysis (scripts/lint.sh).
have clang-tidy || packages+=(clang-tidy)
have cppcheck || packages+=(cppcheck)
have python3 || packages+=(python3)
have i686-w64-mingw32-g++ || packages+=(g++-mingw-w64-i686)
have x86_64-w64-mingw32-g++ || packages+=(g++-mingw-w64-x86-64)
have wrestool && have icotool || packages+=(icoutils)
[ -f /usr/include/gtest/gtest.h ] || packages+=(libgtest-dev)
have wine || packages+=(wine)
installed wine32:i386 || packages+=(wine32:i386)

if [ ${#packages[@]} -gt 0 ]; then
  echo "Installing: ${packages[*]}"
  sudo=()
  [ "$(id -u)" = 0 ] || sudo=(sudo)
  if [[ " ${packages[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
  fi
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${packages[@]}"
fi

missing=()
for tool in cmake ninja g++ python3 i686-w64-mingw32-g++ i686-w64-mingw32-windres \
  x86_64-w64-mingw32-g++ x86_64-w64-mingw32-windres wine wrestool icotool; do
  have "$tool" || missing+=("$tool")
done
[ -f /usr/include/gtest/gtest.h ] || missing+=(GoogleTest)
for tool in clang-tidy cppcheck; do have "$tool" || missing+=("$tool"); done
installed wine32:i386 || missing+=(wine32:i386)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Still missing after installing: ${missing[*]}" >&2
  exit 1
fi
