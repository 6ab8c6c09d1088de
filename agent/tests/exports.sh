#!/bin/sh
# Usage: exports.sh NM PROGRAM NAME...
# Every NAME must be a symbol the program exports: libraries loaded into the
# process look them up by name, and a static-library object the program never
# references is not linked at all.
nm=$1 program=$2
shift 2
syms=$("$nm" -D --defined-only "$program") || exit 1
status=0
for name in "$@"; do
    if ! printf '%s\n' "$syms" | awk -v n="$name" '$NF == n { found = 1 } END { exit !found }'; then
        echo "not exported: $name"
        status=1
    fi
done
exit $status
