#!/usr/bin/env bash
# Sets up, builds and runs every test: a format check of the sources, the native build, the
# address and thread sanitizer builds, the 32-bit Windows build (built and its DLL's tables
# checked; this machine cannot run 32-bit code) and the 64-bit Windows build, whose tests run
# under wine64 in a fresh prefix.
#   scripts/test.sh [PRESET...]   (default: dev asan tsan mingw32 mingw64)
#   KSYM_SKIP_WINDOWS=1 scripts/test.sh   leaves the Windows builds out, and says so
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

presets=("$@")
if [ ${#presets[@]} -eq 0 ]; then
    presets=(dev asan tsan)
    if [ "${KSYM_SKIP_WINDOWS:-0}" = 1 ]; then
        echo "== mingw32, mingw64: SKIPPED because KSYM_SKIP_WINDOWS=1"
    else
        presets+=(mingw32 mingw64)
    fi
fi

echo "== format check"
git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

for preset in "${presets[@]}"; do
    echo "== $preset: build"
    scripts/build.sh "$preset"
    case "$preset" in
    mingw32)
        echo "== mingw32: built; layouts checked at compile time, export and import tables checked"
        ;;
    mingw64)
        echo "== mingw64: test under wine64"
        WINEPREFIX=$(mktemp -d /tmp/ksym-wine.XXXXXX)
        export WINEPREFIX WINEDEBUG=-all
        /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
        status=0
        # One prefix is one machine with one registry: the programs run one after the other,
        # since several of them change the library's configuration key.
        ctest --preset mingw64 -j 1 || status=$?
        /usr/bin/wineserver -k >/dev/null 2>&1 || true
        rm -rf "$WINEPREFIX"
        [ $status -eq 0 ] || exit $status
        ;;
    *)
        echo "== $preset: test"
        ctest --preset "$preset" -j 2
        ;;
    esac
done
