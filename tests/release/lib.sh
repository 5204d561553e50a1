# shellcheck shell=bash
# Shared helpers of the tests of the release; sourced after
# tests/e2e/lib.sh's e2e_begin.
#   unpack_zip <build folder> <folder>
#                      the zip of package.reproducible's build unpacked into
#                      the folder; zips names it
#   package_machine <package folder>
#                      the card and the onboard port provisioned, the card's
#                      INF files only in the package's inf folder, where IT
#                      staff put them
#   snapshot <file>, changes <before> <after>
#                      what a run changed in the prefix's drive C:. Wine
#                      does not enforce ACLs, so these tell where a program
#                      wrote, not who could have: every file, folder and
#                      link of drive_c is recorded with its size and time.
#                      A folder's time changes when an entry is made,
#                      renamed or removed in it, so a scratch file made and
#                      deleted within a run shows too.

unpack_zip() {
  zips=("$1"/release/qrvinst-*.zip)
  [[ ${#zips[@]} == 1 && -f ${zips[0]} ]] || e2e_fail "not one zip in $1/release"
  mkdir -p "$2"
  unzip -q -d "$2" "${zips[0]}"
}

package_machine() {
  provision_card
  provision_onboard_port
  mkdir "$1/inf"
  local inf
  for inf in 7310-zz5.inf qrvbased.inf qrvports.inf; do
    mv "$WINEPREFIX/drive_c/windows/inf/$inf" "$1/inf/"
  done
}

drive_c=$WINEPREFIX/drive_c

# snapshot <file>: drive_c as it is now.
snapshot() {
  (cd "$drive_c" && find . -mindepth 1 -printf '%P\t%y %s %T@\n') | LC_ALL=C sort > "$1"
}

# changes <before> <after>: "created|changed|deleted <path>" lines.
changes() {
  awk -F '\t' 'NR == FNR { old[$1] = $2; next }
    !($1 in old) { print "created", $1; next }
    old[$1] != $2 { print "changed", $1 }
    { delete old[$1] }
    END { for (path in old) print "deleted", path }' "$1" "$2" | LC_ALL=C sort -k 2
}
