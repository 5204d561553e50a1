#!/usr/bin/env bash
# Installs, on Debian, what building and testing qrvinst needs: CMake and
# Ninja, g++ with GoogleTest for the host build, MinGW-w64 for the 32-bit and
# the 64-bit Windows builds, and Wine (its 32-bit and 64-bit loaders) with
# icoutils for the tests of the real programs. Only what is missing is
# installed; it fails if anything is still missing afterwards. The 32-bit
# loader is installed on every host, also where the kernel will not run it;
# only there may it stay missing when Debian cannot give it (an i386 index
# that a mirror is still syncing), since no 32-bit program runs there anyway
# and the tests then report what they could not run.
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
    [ "$attempt" = 3 ] || sleep $((attempt * 5))
  done
  # The i386 packages on their own: without their index they cannot be had,
  # and must not keep the others from being installed.
  native=() foreign=()
  for package in "${packages[@]}"; do
    if [[ $package == *:i386 ]]; then foreign+=("$package"); else native+=("$package"); fi
  done
  apt_install() {
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq --no-install-recommends "$@"
  }
  [ ${#native[@]} -eq 0 ] || apt_install "${native[@]}"
  [ ${#foreign[@]} -eq 0 ] || apt_install "${foreign[@]}" ||
    echo "Could not install ${foreign[*]}" >&2
fi

# Whether this host's kernel runs i386 code: a program of a few
# instructions, built with binutils, that exits with 0.
runs_i386() {
  local dir status=0
  dir=$(mktemp -d)
  # shellcheck disable=SC2016 # assembly, not shell
  printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' > "$dir/exit.s"
  as --32 -o "$dir/exit.o" "$dir/exit.s" && ld -m elf_i386 -o "$dir/exit" "$dir/exit.o" &&
    "$dir/exit" 2> /dev/null || status=$?
  rm -rf "$dir"
  return "$status"
}

missing=()
for tool in cmake ninja g++ python3 i686-w64-mingw32-g++ i686-w64-mingw32-windres \
  x86_64-w64-mingw32-g++ x86_64-w64-mingw32-windres wine wrestool icotool \
  osslsigncode openssl unzip clang-tidy cppcheck ansible-playbook ansible-lint; do
  have "$tool" || missing+=("$tool")
done
[ -f /usr/include/gtest/gtest.h ] || missing+=(GoogleTest)
[ -d "$windows_collection" ] || missing+=("the ansible.windows collection")
for file in /usr/lib/wine/wine64 /usr/lib/wine/wineserver64; do
  [ -x "$file" ] || missing+=("$file")
done
if ! installed wine32:i386 || [ ! -x /usr/lib/wine/wine ]; then
  if runs_i386; then
    missing+=(wine32:i386)
  else
    echo "wine32:i386 is not installed; this host's kernel refuses i386 code, so no 32-bit Windows program could run here with it either." >&2
  fi
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Still missing after installing: ${missing[*]}" >&2
  exit 1
fi
