#!/usr/bin/env bash
# Installs, on Debian, what building and testing qrvinst needs: CMake and
# Ninja, g++ with GoogleTest for the host build, MinGW-w64 for the 32-bit and
# the 64-bit Windows builds, and Wine (its 32-bit and 64-bit loaders) with
# icoutils for the tests of the real programs. Only what is missing is
# installed; it fails if anything is still missing afterwards. The 32-bit
# loader is installed on every host, also where the kernel will not run it.
# The release and its tests need osslsigncode (Debian 12's own 2.5 will do),
# openssl and unzip; the checks of its Ansible playbook need Debian's
# ansible-lint and ansible, which brings the ansible.windows collection.
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
installed wine64 || packages+=(wine64)
for tool in osslsigncode openssl unzip ansible-lint; do have "$tool" || packages+=("$tool"); done
windows_collection=/usr/lib/python3/dist-packages/ansible_collections/ansible/windows
[ -d "$windows_collection" ] || packages+=(ansible)

if [ ${#packages[@]} -gt 0 ]; then
  echo "Installing: ${packages[*]}"
  sudo=()
  [ "$(id -u)" = 0 ] || sudo=(sudo)
  if [[ " ${packages[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
  fi
  # A mirror in the middle of a sync can fail one index for a while; the
  # others are still used, and the check below fails if a package could
  # not be had after all.
  for attempt in 1 2 3; do
    "${sudo[@]}" apt-get update -qq && break
    echo "apt-get update failed (attempt $attempt of 3); going on with the indexes it has" >&2
    sleep $((attempt * 5))
  done
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${packages[@]}"
fi

missing=()
for tool in cmake ninja g++ python3 i686-w64-mingw32-g++ i686-w64-mingw32-windres \
  x86_64-w64-mingw32-g++ x86_64-w64-mingw32-windres wine wrestool icotool \
  osslsigncode openssl unzip clang-tidy cppcheck ansible-playbook ansible-lint; do
  have "$tool" || missing+=("$tool")
done
[ -f /usr/include/gtest/gtest.h ] || missing+=(GoogleTest)
installed wine32:i386 || missing+=(wine32:i386)
[ -d "$windows_collection" ] || missing+=("the ansible.windows collection")
for file in /usr/lib/wine/wine /usr/lib/wine/wine64 /usr/lib/wine/wineserver64; do
  [ -x "$file" ] || missing+=("$file")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Still missing after installing: ${missing[*]}" >&2
  exit 1
fi
