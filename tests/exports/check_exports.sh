#!/usr/bin/env bash
# Compares the names a built library exports with its export list (a .def file), both ways:
# a name on the list that the library lacks fails, and so does an export the list lacks.
# Given the public header instead of a library, it compares the functions the header
# declares for export (KSYM_API ... KSYM_CALL NAME(...)) with the list in the same way: a
# declared function missing from the list would be hidden by the export map made from it.
# Usage: check_exports.sh LIBRARY|HEADER DEF_FILE
set -euo pipefail
library=$1
def_file=$2
listed=$(mktemp)
exported=$(mktemp)
trap 'rm -f "$listed" "$exported"' EXIT

# The names below EXPORTS, one per line, without ordinals or comments.
awk 'seen && NF && $1 !~ /^;/ {print $1} /^EXPORTS/ {seen=1}' "$def_file" | sort -u >"$listed"

case "$library" in
*.h)
    # Declarations may span lines: the header is read as one line, and each declaration
    # runs from KSYM_API to its name without a parenthesis, brace, semicolon or directive.
    tr '\n' ' ' <"$library" |
        grep -oE 'KSYM_API[^;{}()#]*KSYM_CALL[[:space:]]+[A-Za-z_][A-Za-z0-9_]*[[:space:]]*\(' |
        sed -E 's/.*KSYM_CALL[[:space:]]+([A-Za-z_][A-Za-z0-9_]*).*/\1/' | sort -u >"$exported"
    ;;
*.dll)
    objdump=${OBJDUMP:-objdump}
    "$objdump" -p "$library" |
        awk '/^\[Ordinal\/Name Pointer\] Table/ {table=1; next} table && NF == 0 {table=0}
             table && /\[/ {print $NF}' | sort -u >"$exported"
    ;;
*)
    nm -D --defined-only "$library" | awk '$2 ~ /^[TDBRVWiu]$/ {print $3}' |
        grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' | sort -u >"$exported"
    ;;
esac

status=0
missing=$(comm -23 "$listed" "$exported")
extra=$(comm -13 "$listed" "$exported")
if [ -n "$missing" ]; then
    echo "listed in $(basename "$def_file") but not exported by $(basename "$library"):"
    echo "$missing" | sed 's/^/  /'
    status=1
fi
if [ -n "$extra" ]; then
    echo "exported by $(basename "$library") but not listed in $(basename "$def_file"):"
    echo "$extra" | sed 's/^/  /'
    status=1
fi
[ $status -eq 0 ] && echo "exports of $(basename "$library") match $(basename "$def_file"): $(wc -l <"$listed") names"
exit $status
