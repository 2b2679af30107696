#!/usr/bin/env bash
# Checks that a Windows build of KSymbol takes every client function from KClient.dll and
# every utility function from KUtil.dll, and names no other module of ours; and that of
# KClient.dll it takes only the twelve functions of the client's interface, so that any
# client library that exports those serves it.
# Usage: OBJDUMP=... check_imports.sh KSymbol.dll
set -euo pipefail
library=$1
objdump=${OBJDUMP:-objdump}
# "DLL Name: X" opens a module's import list; the names follow as "hint name" lines.
imports=$("$objdump" -p "$library" |
    awk '/DLL Name:/ {dll=$3; next} dll && /^\t[0-9a-f]+\t *[0-9]+ +[A-Za-z_?]/ {print dll, $NF}
         /^$/ {if (dll) dll=""}')
interface=" KClientOpenChannelEx KClientKOpenChannelEx KClientCloseChannel KClientWrite
 KClientRead KClientDllKGetDataSize KClientGetReplyStatus KClientGetDWord KClientGetProjectName
 KClientSetLastError KClientGetLastError KClientDllKDebugOut "
status=0
while read -r dll name; do
    if [ "$dll" = KClient.dll ] && [[ "$interface" != *" $name"[[:space:]]* ]]; then
        echo "$name is taken from KClient.dll, beyond the client's interface"
        status=1
    fi
    case "$name" in
    KClient*) [ "$dll" = KClient.dll ] || { echo "$name comes from $dll, not KClient.dll"; status=1; } ;;
    KUtil* | *KSerDev* | *KString*) [ "$dll" = KUtil.dll ] || { echo "$name comes from $dll, not KUtil.dll"; status=1; } ;;
    esac
done <<<"$imports"
grep -q '^KClient.dll KClient' <<<"$imports" || { echo "no import from KClient.dll"; status=1; }
[ $status -eq 0 ] && echo "imports of $(basename "$library"): client and utility functions from KClient.dll and KUtil.dll"
exit $status
