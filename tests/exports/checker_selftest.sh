#!/usr/bin/env bash
# Shows that the export check fails in both directions: a listed name that the library
# lacks, and an exported name that the list lacks; given the public header too, the same for
# the header's declarations.
# Usage: checker_selftest.sh CHECKER LIBRARY DEF_FILE [HEADER]
set -uo pipefail
checker=$1
library=$2
def_file=$3
header=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

{ cat "$def_file"; echo "    KSymNoSuchFunction"; } >"$work/extra.def"
if "$checker" "$library" "$work/extra.def" >"$work/out1"; then
    echo "FAIL: a listed name missing from the library was not noticed"; exit 1
fi
grep -q KSymNoSuchFunction "$work/out1" || { echo "FAIL: missing name not named"; exit 1; }

grep -v -w KSymVersion "$def_file" >"$work/short.def"
if "$checker" "$library" "$work/short.def" >"$work/out2"; then
    echo "FAIL: an export missing from the list was not noticed"; exit 1
fi
grep -q KSymVersion "$work/out2" || { echo "FAIL: unlisted export not named"; exit 1; }
if [ -n "$header" ]; then
    { cat "$header"; echo "KSYM_API int32_t KSYM_CALL"; echo "KSymNoSuchFunction(int32_t x);"; } \
        >"$work/extra.h"
    if "$checker" "$work/extra.h" "$def_file" >"$work/out3"; then
        echo "FAIL: a declared function missing from the list was not noticed"; exit 1
    fi
    grep -q KSymNoSuchFunction "$work/out3" || { echo "FAIL: undeclared name not named"; exit 1; }
    grep -v -w KSymVersion "$header" >"$work/short.h"
    if "$checker" "$work/short.h" "$def_file" >"$work/out4"; then
        echo "FAIL: a listed name the header does not declare was not noticed"; exit 1
    fi
    grep -q KSymVersion "$work/out4" || { echo "FAIL: undeclared name not named"; exit 1; }
fi
echo "export checker fails on a missing and on an unlisted name"
