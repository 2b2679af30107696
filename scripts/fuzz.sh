#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, address and undefined-behaviour sanitizers) and
# runs each fuzz target, one after the other, on a copy of its seed corpus, so that the
# corpora kept in the repository do not grow. With 0 seconds every seed runs once, as a
# regression check.
#   scripts/fuzz.sh [SECONDS]     (default 60 seconds per target)
# Inputs that crash, leak or break an invariant are saved as build/fuzz/artifacts/TARGET-*.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
case "$seconds" in
'' | *[!0-9]*)
    echo "usage: scripts/fuzz.sh [SECONDS]" >&2
    exit 2
    ;;
esac

KSYM_SKIP_WINDOWS=1 KSYM_WITH_FUZZ=1 scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work=$(mktemp -d /tmp/ksym-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p build/fuzz/artifacts
status=0
for target in sdb_reader loader_reply var_reply station_frame client_receive station_request \
    registry_file sdb_description value_text; do
    cp -r "fuzz/corpus/$target" "$work/$target"
    if [ "$seconds" -eq 0 ]; then
        options=(-runs=0)
        echo "== $target: every seed once"
    else
        options=(-max_total_time="$seconds" -max_len=4096 -timeout=10)
        echo "== $target: $seconds s"
    fi
    "build/fuzz/fuzz/${target}_fuzz" "${options[@]}" -print_final_stats=1 \
        -artifact_prefix="build/fuzz/artifacts/$target-" "$work/$target" || status=$?
done
exit $status
