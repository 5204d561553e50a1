# shellcheck shell=bash
# What a run changed in the test prefix's drive C:, for the tests of the
# release; sourced after tests/e2e/lib.sh's e2e_begin. Wine does not enforce
# ACLs, so these tell where a program wrote, not who could have: every
# file, folder and link of drive_c is recorded with its size and time. A
# folder's time changes when an entry is made, renamed or removed in it, so
# a scratch file made and deleted within a run shows too.

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
