#!/usr/bin/env bash
# Sets up, builds and runs every test: a format check of the sources, the native build, the
# address and thread sanitizer builds, the i386 Linux build (every test run through
# qemu-user), the 32-bit Windows build, whose tests run under wine32, and the 64-bit Windows
# build, whose tests run under wine64, each in a fresh prefix of its own. Right after the dev
# build's tests, the Python package's tests run against that build (stage "python"). Each
# stage says how long it took.
#   scripts/test.sh [PRESET...]   (default: dev asan tsan linux32 mingw32 mingw64)
#   scripts/test.sh python        only the Python tests, against an existing dev build
#   KSYM_SKIP_WINDOWS=1 scripts/test.sh   leaves the Windows builds out, and says so
#   KSYM_SKIP_LINUX32=1 scripts/test.sh   leaves the i386 build out, and says so
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

presets=("$@")
if [ ${#presets[@]} -eq 0 ]; then
    presets=(dev asan tsan)
    if [ "${KSYM_SKIP_LINUX32:-0}" = 1 ]; then
        echo "== linux32: SKIPPED because KSYM_SKIP_LINUX32=1"
    else
        presets+=(linux32)
    fi
    if [ "${KSYM_SKIP_WINDOWS:-0}" = 1 ]; then
        echo "== mingw32, mingw64: SKIPPED because KSYM_SKIP_WINDOWS=1"
    else
        presets+=(mingw32 mingw64)
    fi
fi

# Runs one stage and says how long it took.
stage() {
    local name=$1
    shift
    local start=$SECONDS
    "$@"
    echo "== $name: done in $((SECONDS - start)) s"
}

# The tests of a Windows build under wine, in a fresh prefix (one machine with one registry):
# the programs run one after the other, since several of them change the library's
# configuration key. Then, in the same prefix, its ksym.exe against a native plcsim station
# (the dev build's, when there is one), and its archive (cpack, kept under build/PRESET/package)
# as a user unpacks and builds against it.
#   wine_tests PRESET WINE
wine_tests() {
    local preset=$1 wine=$2 status=0 start=$SECONDS
    echo "== $preset: test under $(basename "$wine")"
    WINEPREFIX=$(mktemp -d /tmp/ksym-wine.XXXXXX)
    export WINEPREFIX WINEDEBUG=-all
    "$wine" wineboot -i >/dev/null 2>&1 || true
    ctest --preset "$preset" -j 1 || status=$?
    if [ $status -eq 0 ]; then
        echo "== $preset: the archive, and ksym.exe against a native station"
        (cd "build/$preset" && cpack >/dev/null) || status=$?
        KSYM_EXE="build/$preset/bin/ksym.exe" KSYM_PLCSIM=build/dev/tools/plcsim/plcsim \
            KSYM_ARCHIVE=$(ls "build/$preset"/package/KSymbol-*.zip) KSYM_WINE="$wine" \
            /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/windows || status=$?
    fi
    /usr/bin/wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
    unset WINEPREFIX
    echo "== $preset: test: done in $((SECONDS - start)) s"
    return $status
}

# The Python package's tests (python/tests) against the dev build's library and programs,
# with Debian's Python and pytest; the wheel of that build too.
python_tests() {
    cmake --build --preset dev --target python-wheel
    KSYMBOL_LIBRARY=build/dev/libksymbol.so \
        KSYM_PLCSIM=build/dev/tools/plcsim/plcsim \
        KSYM_TOOL=build/dev/tools/ksym/ksym \
        KSYM_WHEEL_DIR=build/dev/python/dist \
        /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests
}

# The Windows wheel of a mingw build: built and its contents checked, not run.
windows_wheel() {
    cmake --build --preset "$1" --target python-wheel &&
        /usr/bin/python3 -c 'import glob, sys, zipfile
wheels = glob.glob(sys.argv[1] + "/ksymbol-*-" + sys.argv[2] + ".whl")
names = zipfile.ZipFile(wheels[0]).namelist() if len(wheels) == 1 else []
missing = [d for d in ("KSymbol.dll", "KClient.dll", "KUtil.dll")
           if "ksymbol/_libs/" + d not in names]
sys.exit("the wheel %s lacks %s" % (wheels, missing) if missing or not names else 0)' \
            "build/$1/python/dist" "$2"
}

echo "== format check"
git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

for preset in "${presets[@]}"; do
    case "$preset" in
    linux32)
        # The build runs some of its own programs (test discovery, the sample project), so
        # qemu-user serves the build as well as the tests.
        stage "linux32: build and test through qemu-user" scripts/with-i386.sh bash -c \
            'echo "== linux32: build" && scripts/build.sh linux32 &&
             echo "== linux32: test" && ctest --preset linux32 -j 2'
        ;;
    mingw32)
        echo "== mingw32: build"
        stage "mingw32: build" scripts/build.sh mingw32
        echo "== mingw32: built; layouts checked at compile time, export and import tables checked"
        stage "mingw32: python wheel (built, not run)" windows_wheel mingw32 win32
        wine_tests mingw32 /usr/bin/wine
        ;;
    mingw64)
        echo "== mingw64: build"
        stage "mingw64: build" scripts/build.sh mingw64
        wine_tests mingw64 /usr/lib/wine/wine64
        ;;
    python)
        echo "== python: test"
        stage "python: test" python_tests
        ;;
    *)
        echo "== $preset: build"
        stage "$preset: build" scripts/build.sh "$preset"
        echo "== $preset: test"
        stage "$preset: test" ctest --preset "$preset" -j 2
        if [ "$preset" = dev ]; then
            echo "== python: test"
            stage "python: test" python_tests
        fi
        ;;
    esac
done
echo "== all stages passed in $SECONDS s"
