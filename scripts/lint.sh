#!/usr/bin/env bash
# Static analysis of the program's own sources (engine/, frontend/ and
# platform/: the simulated machine for the host build, the System32 loader
# for the Windows ones). Any finding fails, and so does a missing tool:
# nothing is ever skipped.
#
# - clang-tidy, with the checks in .clang-tidy, over the compile database of
#   each build: host (the simulated machine), win32 and win64 (the Windows SDK
#   of MinGW-w64, for qrvinst.exe and qrvinst64.exe).
# - cppcheck, with the options below, over the host configuration and over the
#   Windows one for 32-bit and 64-bit Windows.
#
# Configures the three presets for their compile databases; builds nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

missing=()
for tool in clang-tidy cppcheck cmake python3 i686-w64-mingw32-g++ x86_64-w64-mingw32-g++; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "lint: missing ${missing[*]} (bash scripts/install-deps.sh installs them)" >&2
  exit 1
fi
echo "lint: $(clang-tidy --version | grep -o 'LLVM version [0-9.]*'), $(cppcheck --version)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for preset in host win32 win64; do
  if ! cmake --preset "$preset" >"$work/cmake.log" 2>&1; then
    cat "$work/cmake.log" >&2
    exit 1
  fi
done

# The program's own source files in a build's compile database.
sources() {
  python3 - "build/$1/compile_commands.json" "$root" <<'EOF'
import json, os, sys
database, root = sys.argv[1], sys.argv[2]
with open(database) as f:
    for entry in json.load(f):
        path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), root)
        if path.split(os.sep)[0] in ("engine", "frontend", "platform"):
            print(path)
EOF
}

# clang finds MinGW-w64's headers of the C runtime and the Windows SDK under
# the sysroot, but not Debian's C++ library headers: those are taken from the
# cross-compiler's own search list.
mingw_args() {
  local triplet=$1 dir
  if [ ! -f "/usr/$triplet/include/windows.h" ]; then
    echo "lint: no Windows headers under /usr/$triplet" >&2
    return 1
  fi
  echo "--extra-arg=--target=$triplet"
  echo "--extra-arg=--sysroot=/usr/$triplet"
  local found=0
  while read -r dir; do
    echo "--extra-arg=-isystem$(realpath "$dir")"
    found=1
  done < <("$triplet-g++" -x c++ -E -v - </dev/null 2>&1 |
    sed -n '/^#include <...> search starts here:/,/^End of search list/p' | grep '/include/c++')
  if [ "$found" = 0 ]; then
    echo "lint: $triplet-g++ names no C++ library headers" >&2
    return 1
  fi
}

# One clang-tidy run per source file and build, as many at once as there are
# processors. Each run writes its output and its exit status into $work.
parallel=$(nproc)
runs=0
tidy() {
  local build=$1 file=$2
  shift 2
  local log
  log=$work/$build.$(echo "$file" | tr / _)
  runs=$((runs + 1))
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  (
    status=0
    clang-tidy --quiet --config-file=.clang-tidy -p "build/$build" "$@" "$file" >"$log" 2>&1 ||
      status=$?
    echo "$status" >"$log.status"
  ) &
}

args=$(mingw_args i686-w64-mingw32)
mapfile -t win32_args <<<"$args"
args=$(mingw_args x86_64-w64-mingw32)
mapfile -t win64_args <<<"$args"
for build in host win32 win64; do
  mapfile -t files < <(sources "$build")
  if [ ${#files[@]} -eq 0 ]; then
    echo "lint: no sources of the program in build/$build/compile_commands.json" >&2
    exit 1
  fi
  for file in "${files[@]}"; do
    case $build in
      host) tidy "$build" "$file" ;;
      win32) tidy "$build" "$file" "${win32_args[@]}" ;;
      win64) tidy "$build" "$file" "${win64_args[@]}" ;;
    esac
  done
done
wait

# A run fails on its exit status or on any diagnostic it printed; the counts
# of diagnostics suppressed in system headers are left out.
tidy_failed=0
finished=$(find "$work" -name '*.status' | wc -l)
if [ "$finished" -ne "$runs" ]; then
  echo "lint: only $finished of $runs clang-tidy runs finished" >&2
  exit 1
fi
for status in "$work"/*.status; do
  log=${status%.status}
  if [ "$(cat "$status")" != 0 ] || grep -q -E '(warning|error):' "$log"; then
    tidy_failed=$((tidy_failed + 1))
    grep -v -E '^[0-9]+ warnings? generated\.$' "$log" || true
  fi
done
echo "clang-tidy: $runs runs (host, win32, win64), $tidy_failed with findings"

# cppcheck reads no system headers: it knows the standard library and, for
# the Windows configuration, the Windows API from its own library files.
# missingInclude catches a project header it cannot find; information
# reports a suppression that no longer matches anything.
cppcheck_args=(
  --quiet --error-exitcode=1 --inline-suppr
  "--enable=warning,style,performance,portability,information,missingInclude"
  --suppress=missingIncludeSystem
  --std=c++17 --language=c++ -I "$root")
cppcheck_failed=0
cppcheck "${cppcheck_args[@]}" -U_WIN32 engine frontend platform/host ||
  cppcheck_failed=$((cppcheck_failed + 1))
for platform in win32A win64; do
  cppcheck "${cppcheck_args[@]}" -D_WIN32 --library=windows --platform="$platform" \
    engine frontend platform/windows || cppcheck_failed=$((cppcheck_failed + 1))
done
echo "cppcheck: 3 configurations (host, win32A, win64), $cppcheck_failed with findings"

if [ "$tidy_failed" -ne 0 ] || [ "$cppcheck_failed" -ne 0 ]; then
  echo "lint: FAILED" >&2
  exit 1
fi
echo "lint: no findings"
