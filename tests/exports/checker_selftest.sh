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

# expect_refusal WHAT NAME CHECKER_ARGS...: the check must fail and name NAME.
expect_refusal() {
    local what=$1 name=$2
    shift 2
    if "$checker" "$@" >"$work/out"; then
        echo "FAIL: $what was not noticed"; exit 1
    fi
    grep -q "$name" "$work/out" || { echo "FAIL: $what: $name not named"; exit 1; }
}

{ cat "$def_file"; echo "    KSymNoSuchFunction"; } >"$work/extra.def"
expect_refusal "a listed name missing from the library" KSymNoSuchFunction \
    "$library" "$work/extra.def"
grep -v -w KSymVersion "$def_file" >"$work/short.def"
expect_refusal "an export missing from the list" KSymVersion "$library" "$work/short.def"

if [ -n "$header" ]; then
    # A declaration over two lines, as long signatures are written.
    { cat "$header"; echo "KSYM_API int32_t KSYM_CALL"; echo "KSymNoSuchFunction(int32_t x);"; } \
        >"$work/extra.h"
    expect_refusal "a declared function missing from the list" KSymNoSuchFunction \
        "$work/extra.h" "$def_file"
    grep -v -w KSymVersion "$header" >"$work/short.h"
    expect_refusal "a listed name the header does not declare" KSymVersion \
        "$work/short.h" "$def_file"
fi
echo "export checker fails on a missing and on an unlisted name"
